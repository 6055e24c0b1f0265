// The driver's side of qv-probe.dll: hooks that load it into the program under test, and
// the message-only window its answers are posted to.
#pragma once

#include <windows.h>

#include <map>
#include <string>
#include <vector>

struct font_info {
    int cell_height;
    int character_height;
    int weight;
};

// Fonts of the given controls, read inside their process; controls that did not answer
// within the time-out are absent.
std::map<HWND, font_info> probe_fonts(const std::vector<HWND>& controls);

// Watches the thread (of a process started suspended) for the first showing of its
// main window; false if the hook could not be set.
bool watch_show(DWORD thread);

// The number of child windows the main window had when it was shown, once the report has
// arrived (waiting until the deadline); -1 if none came.
int children_at_show(HWND window, ULONGLONG deadline);

// The window's system menu, read inside its process: one line per item,
// "id<TAB>separator (0 or 1)<TAB>text"; empty if no answer came.
std::string probe_system_menu(HWND window);
