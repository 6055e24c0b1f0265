// Stand-in for the sign-in screen until it is built: it puts the token phase's status
// label into the window, so that the window has its first control before it is shown,
// and shows the status texts it is given. It signs in nowhere yet.
#include <windows.h>

#include "foundation/util.h"
#include "screens/sign_in.h"
#include "shell/shell_state.h"

namespace {

HWND status_label = nullptr;

} // namespace

void sign_in_init() {
    current_screen = 0;
    status_label = CreateWindowExA(0, "STATIC", "", WS_CHILD | WS_VISIBLE, 50, 79, 200,
                                   default_font_height, main_window, nullptr, instance, nullptr);
    system_assert_("CreateWindow", status_label);
    SendMessageA(status_label, WM_SETFONT, reinterpret_cast<WPARAM>(default_font), 0);
}

void sign_in_process_message(unsigned, unsigned) {}

void sign_in_update_status(const char* text) {
    SetWindowTextA(status_label, text);
}
