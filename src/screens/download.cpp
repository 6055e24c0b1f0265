// The download screen: the title, one status line (a status text, or the rate, the
// amount done and the time left), a progress bar, and the Stop and Pause buttons. It
// also holds the module's shared state (screens/download_internal.h).
#include "screens/download.h"

#include <windows.h>

#include <commctrl.h>

#include <cstdlib>
#include <cwchar>

#include "foundation/path_win.h"
#include "foundation/util.h"
#include "screens/download_internal.h"
#include "screens/install.h"
#include "shell/main_thread.h"

wchar_t download_dir[MAX_PATH + 32];

product_specification& product = *new product_specification;
CRITICAL_SECTION critical_section;

std::int64_t done_size = 0;
const char* current_file = nullptr;
HANDLE current_file_handle = INVALID_HANDLE_VALUE;
std::int64_t current_file_size = 0;
std::int64_t current_file_size_left = 0;
char* error_message = nullptr;
std::uint32_t last_net_error = 0;

void (*interrupted_callback)() = nullptr;
net_context* request_context = nullptr;

int state = 0;
const char* status = nullptr;
bool status_owned = false;
bool screen_open = false;
bool completed = false;
std::int64_t ui_done_size = 0;
HWND pause_button = nullptr;

namespace {

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

const char* download_title() {
    return product.download_title;
}

const char* download_executable() {
    return product.download_executable;
}

void download(char* response, std::size_t length) {
    std::wstring directory;
    // A cut-off name would put the files somewhere else: treat it as the failure it is.
    system_assert_("GetModuleFileName", program_directory(directory));
    directory += L"Quarryvale temporary files";
    std::wmemcpy(download_dir, directory.c_str(), directory.size() + 1);

    current_screen = 1;
    status = "Initializing...";
    if (!parse_product_specification(response, length, product)) {
        show_error(cannot_understand_text);
        return;
    }
    hashes = published_hashes(product);
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
    install_init();
}
