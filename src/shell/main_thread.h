// The one door from the shell for the other modules: the shell's state, the two private
// window messages, and the ways worker threads reach the window's thread (a sent call
// they wait for, posted status texts, timers that belong to the window's thread).
#pragma once

#include <windows.h>

#include "shell/shell_state.h"

// Runs the function (address in lParam) on the window's thread; answers 1.
inline constexpr UINT call_message = WM_USER + 1;
// A constant text or null (lParam) for the current screen's status operation.
inline constexpr UINT status_message = WM_USER + 2;
// The screen that takes over (wParam, a next_screen) from the one that ends.
inline constexpr UINT screen_message = WM_USER + 3;

// The screens that follow another one. A screen that ends names its successor here and
// the window procedure, which knows every screen, starts it: so no screen includes the
// header of the screen after it, and the install and finished screens can name each
// other.
enum class next_screen : WPARAM { install, finished };

// On the window's thread only: starts the next screen and returns once it has started.
inline void hand_over(next_screen next) {
    SendMessageA(main_window, screen_message, static_cast<WPARAM>(next), 0);
}

// Runs function on the window's thread and returns when it has returned. Only for
// worker threads; ends the program if the window no longer exists.
void call_in_main_thread(void (*function)());

// Posts a status text from any thread. Only constant texts or null: the window's
// thread reads the text later.
inline void post_status(const char* text) {
    PostMessageA(main_window, status_message, 0, reinterpret_cast<LPARAM>(text));
}

// Starts (or restarts) timer id on main_window, and stops it. SetTimer and KillTimer
// belong to the thread that owns the window, so these may be called from any thread:
// on the window's thread they act at once, from a worker they are carried out on the
// window's thread through call_in_main_thread and return when done. Not to be called
// while holding a lock the window's thread may take. A failure to start is fatal
// ("SetTimer").
void set_main_timer(UINT_PTR id, UINT period, TIMERPROC callback);
void kill_main_timer(UINT_PTR id);

// Test seam: the threads that last called SetTimer and KillTimer for these timers (0
// before the first call). Some systems let any thread set a window's timers, so
// whether they ran on the window's thread cannot be told from the timers themselves.
struct main_timer_threads {
    DWORD set_timer = 0;
    DWORD kill_timer = 0;
};
main_timer_threads last_main_timer_threads();

// Status texts are posted while completions are sent, and a thread handles sent messages
// before posted ones: texts posted before a completion may still wait in the queue. A
// completion that changes screens or clears a status label calls this first, on the
// window's thread, so that those texts are handled in order and none lands afterwards.
void handle_queued_status();

// A child control of main_window, in font (none: the system's), without redrawing. A
// failure is fatal ("CreateWindow", or "CreateWindowEx" with an extended style).
HWND create_control(const char* window_class, const char* text, DWORD style, int x, int y,
                    int width, int height, int id, HFONT font, DWORD extended_style = 0);

// The window procedure's answer to call_message: runs the function whose address is in
// lParam and answers 1.
LRESULT on_call_message(LPARAM function);
