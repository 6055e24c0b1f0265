// The last screen of a run: a heading and three choices with OK. The program ends here
// directly, without leaving the message loop first.
#include "screens/finished.h"

#include <windows.h>

#include <cstdlib>

#include "download/product.h"
#include "foundation/util.h"
#include "resources/token_block.h"
#include "shell/main_thread.h"

namespace {

constexpr unsigned ok_id = 100;

HWND title_label = nullptr;
HWND radio1 = nullptr;
HWND radio2 = nullptr;
HWND radio3 = nullptr;
HWND button = nullptr;

bool checked(HWND radio) {
    return SendMessageA(radio, BM_GETCHECK, 0, 0) == BST_CHECKED;
}

} // namespace

void finished_init() {
    current_screen = 3;
    const int h = default_font_height;
    // No WS_GROUP anywhere: the three automatic radio buttons form one group.
    constexpr DWORD radio_style = WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_AUTORADIOBUTTON;
    const HFONT f = default_font;
    int y = 41;
    title_label = create_control(
        "STATIC", format_string("Installation finished - %1!s!", download_title()).c_str(),
        WS_CHILD | WS_VISIBLE, 17, y, 446, 3 * h / 2, 0, title_font);
    y += static_cast<int>(1.25 * h) + 10;
    radio1 = create_control("BUTTON",
                            "Remove temporary files (Recommended if installation was successful)",
                            radio_style, 17, y, 400, h, 0, f);
    y += h + 6;
    radio2 = create_control("BUTTON",
                            "Keep temporary files (If you want to run the installer again later)",
                            radio_style, 17, y, 400, h, 0, f);
    y += h + 6;
    radio3 = create_control("BUTTON", "Restart installer", radio_style, 17, y, 400, h, 0, f);
    y += h + 10;
    button = create_control("BUTTON", "OK", WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON,
                            17, y, 100, h + 14, ok_id, f);
    SendMessageA(radio1, BM_SETCHECK, BST_CHECKED, 0);
}

void finished_process_message(unsigned id, unsigned code) {
    // The install screen shares this handler and has no controls of its own.
    if (id != ok_id || code != 0 || button == nullptr) {
        return;
    }
    if (checked(radio1)) {
        delete_product_files(download_dir, product_identifier());
        std::exit(0);
    }
    if (checked(radio2)) {
        std::exit(0);
    }
    for (HWND control : {title_label, radio1, radio2, radio3, button}) {
        DestroyWindow(control);
    }
    button = nullptr;
    hand_over(next_screen::install);
}
