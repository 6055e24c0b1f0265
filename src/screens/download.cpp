// The download screen: the title, one status line (a status text, or the rate, the
// amount done and the time left), a progress bar, and the Stop and Pause buttons. What
// it shows comes from the download itself (src/download/), whose worker and state
// machine call the screen's side of download/state.h.
#include "screens/download.h"

#include <windows.h>

#include <commctrl.h>

#include <cstdlib>

#include "download/product.h"
#include "download/state.h"
#include "foundation/util.h"
#include "screens/download_status.h"
#include "shell/main_thread.h"

bool screen_open = false;
HWND pause_button = nullptr;

namespace {

const char* status = nullptr;  // shown before the progress text; null while the rate shows
bool status_owned = false;     // status is the reconnect text, released by whoever replaces it
std::int64_t ui_done_size = 0; // the window's copy of done_size

constexpr UINT_PTR refresh_timer = 1;
constexpr UINT refresh_period_ms = 50;

HWND title_label = nullptr;
HWND status_label = nullptr;
HWND progress_bar = nullptr;
HWND stop_button = nullptr;

rate_history history{};
int ticks = 0; // refresh ticks left before the next text refresh

void CALLBACK timer_proc(HWND, UINT, UINT_PTR, DWORD now) {
    if (status != nullptr) {
        return;
    }
    SendMessageA(progress_bar, PBM_SETPOS, bar_position(ui_done_size, product.total_size), 0);
    if (ticks > 0) {
        --ticks;
        return;
    }
    ticks = 4;
    make_status_text();
    record_sample(history, ui_done_size, now);
}

void create_screen() {
    const download_layout l = layout_for(default_font_height);
    constexpr DWORD label_style = WS_CHILD | WS_VISIBLE;
    constexpr DWORD button_style = WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON;
    title_label =
        create_control("STATIC", format_string("Downloading %1!s!", product.download_title).c_str(),
                       label_style, 16, l.title_y, 448, l.title_height, 0, title_font);
    status_label = create_control("STATIC", status, label_style, 16, l.status_y, 448,
                                  default_font_height, 0, default_font);
    progress_bar = create_control(PROGRESS_CLASSA, nullptr, label_style, 16, l.bar_y, 448,
                                  l.bar_height, 0, nullptr);
    stop_button = create_control("BUTTON", "Stop", button_style, 258, l.buttons_y, 100,
                                 l.button_height, 100, default_font);
    pause_button = create_control("BUTTON", "Pause", button_style, 364, l.buttons_y, 100,
                                  l.button_height, 101, default_font);
    SendMessageA(progress_bar, PBM_SETRANGE, 0, MAKELPARAM(0, 65535));
}

} // namespace

void download(char* response, std::size_t length) {
    const bool readable = read_product(response, length);
    current_screen = 1;
    status = "Initializing...";
    if (!readable) {
        show_error(cannot_understand_text);
        return;
    }
    const INITCOMMONCONTROLSEX classes{sizeof(INITCOMMONCONTROLSEX), ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&classes);
    create_screen();
    screen_open = true;
    InitializeCriticalSection(&critical_section);
    start_thread();
}

// Keeps the refresh timer running exactly while no status text is shown.
void set_status(const char* text, bool owned) {
    if (text != nullptr && status == nullptr) {
        KillTimer(main_window, refresh_timer);
    } else if (text == nullptr && status != nullptr) {
        history.length = 0;
        history.offset = 0;
        ticks = 4;
        set_main_timer(refresh_timer, refresh_period_ms, timer_proc);
    }
    if (status_owned) {
        std::free(const_cast<char*>(status));
    }
    status = text;
    status_owned = owned;
}

void download_update_status(const char* text) {
    // Texts of an attempt that has ended, or of a screen that is gone, are stale.
    if (!screen_open || state != 2) {
        return;
    }
    set_status(text, false);
    make_status_text();
}

void make_status_text() {
    const std::int32_t rate =
        status != nullptr ? 0 : rate_since_oldest(history, ui_done_size, GetTickCount());
    SetWindowTextA(status_label,
                   status_line(status, ui_done_size, product.total_size, rate).c_str());
}

void on_progress() {
    ui_done_size = done_size;
}

void on_done() {
    handle_queued_status();
    set_status("", false); // stops the refresh timer before the next screen may use it
    screen_open = false;
    completed = true;
    state = 0; // nothing runs any more; only the completed flag keeps answers away
    for (HWND control : {title_label, status_label, progress_bar, stop_button, pause_button}) {
        DestroyWindow(control);
    }
    // A stop that was asked for while the last bytes arrived still ends the program.
    void (*pending)() = interrupted_callback;
    DeleteCriticalSection(&critical_section);
    if (pending == stop_and_keep_callback || pending == stop_and_delete_callback) {
        pending();
        return;
    }
    hand_over(next_screen::install);
}
