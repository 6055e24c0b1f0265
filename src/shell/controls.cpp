// Creating the screens' controls, one way for every screen.
#include "foundation/util.h"
#include "shell/main_thread.h"

HWND create_control(const char* window_class, const char* text, DWORD style, int x, int y,
                    int width, int height, int id, HFONT font, DWORD extended_style) {
    const HWND control =
        CreateWindowExA(extended_style, window_class, text, style, x, y, width, height, main_window,
                        reinterpret_cast<HMENU>(INT_PTR{id}), instance, nullptr);
    system_assert_(extended_style != 0 ? "CreateWindowEx" : "CreateWindow", control);
    if (font != nullptr) {
        SendMessageA(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), 0);
    }
    return control;
}
