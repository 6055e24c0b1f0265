// What the application shell offers to the other modules: the two private window
// messages and the one way a worker thread may run code on the window's thread.
#pragma once

#include <windows.h>

#include "shell/shell_state.h"

// Runs the function (address in lParam) on the window's thread; answers 1.
inline constexpr UINT call_message = WM_USER + 1;
// A constant text or null (lParam) for the current screen's status operation.
inline constexpr UINT status_message = WM_USER + 2;

// Runs function on the window's thread and returns when it has returned. Only for
// worker threads; ends the program if the window no longer exists.
void call_in_main_thread(void (*function)());

// Posts a status text from any thread. Only constant texts or null: the window's
// thread reads the text later.
inline void post_status(const char* text) {
    PostMessageA(main_window, status_message, 0, reinterpret_cast<LPARAM>(text));
}
