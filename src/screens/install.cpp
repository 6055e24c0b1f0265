// Stand-in for the install screen until the installer launch is built: it shows the
// screen's one line, so that the hand-over from the download can be seen, and waits.
#include "screens/install.h"

#include <windows.h>

#include "foundation/util.h"
#include "screens/download.h"
#include "shell/main_thread.h"

void install_init() {
    current_screen = 3;
    const HWND title_label = CreateWindowExA(
        0, "STATIC", format_string("Launching %1!s! installer...", download_title()).c_str(),
        WS_CHILD | WS_VISIBLE, 17, 41, 446, 3 * default_font_height / 2, main_window, nullptr,
        instance, nullptr);
    system_assert_("CreateWindow", title_label);
    SendMessageA(title_label, WM_SETFONT, reinterpret_cast<WPARAM>(title_font), 0);
}
