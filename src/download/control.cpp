// The download's state machine: pause and unpause, the stop question, and what the
// window's thread does with each way a worker stops (a pending interruption, an error
// that pauses with a box, a network failure that reconnects after 5 seconds).
#include <windows.h>

#include <cstdlib>

#include "download/control.h"
#include "download/product.h"
#include "download/state.h"
#include "foundation/util.h"
#include "net/net.h"
#include "resources/resource.h"
#include "resources/token_block.h"
#include "shell/main_thread.h"

namespace {

constexpr UINT_PTR reconnect_timer = 2;
constexpr UINT reconnect_period_ms = 5000;
constexpr unsigned stop_id = 100;
constexpr unsigned pause_id = 101;

constexpr const char* stop_question =
    "You are about to stop the download. Do you want to keep the downloaded files? Press Yes "
    "to keep the files so you can continue the download later. Press No to delete the files to "
    "free up disk space.";

// Runs the operation once the worker has stopped: at once when none runs, else it is
// left pending and the worker's exchange is broken off, whether it is connecting,
// waiting for the answer or reading.
void interrupt_download(void (*operation)()) {
    if (state != 2) {
        operation();
        return;
    }
    EnterCriticalSection(&critical_section);
    interrupted_callback = operation;
    if (request_context != nullptr) {
        net_abort(request_context); // closes at most once, whoever comes first
    }
    LeaveCriticalSection(&critical_section);
}

void close_open_file() {
    if (current_file_handle != INVALID_HANDLE_VALUE) {
        CloseHandle(current_file_handle);
        current_file_handle = INVALID_HANDLE_VALUE;
    }
}

void (*take_interrupted_callback())() {
    EnterCriticalSection(&critical_section);
    void (*operation)() = interrupted_callback;
    interrupted_callback = nullptr;
    LeaveCriticalSection(&critical_section);
    return operation;
}

// The buyer's stop is being carried out. The reconnect wait ends before anything is
// removed, and nothing starts again: a removal that shows a progress window (Windows'
// does) handles messages meanwhile, timers and clicks included, and an attempt started
// then would recreate the folders and send a request after the buyer said stop.
void begin_stopping() {
    kill_main_timer(reconnect_timer);
    state = 4;
}

void CALLBACK reconnect_timer_proc(HWND, UINT, UINT_PTR, DWORD) {
    if (state != 3) {
        return;
    }
    kill_main_timer(reconnect_timer);
    set_status("Initializing...", false);
    start_thread();
    make_status_text();
}

} // namespace

int (*remove_product_files)(const wchar_t*, const char*) = delete_product_files;

void pause_callback() {
    state = 1;
    set_status("Paused.", false);
    make_status_text();
    SetWindowTextA(pause_button, "Unpause");
}

void stop_and_keep_callback() {
    begin_stopping();
    PostQuitMessage(0);
}

void stop_and_delete_callback() {
    begin_stopping();
    remove_product_files(download_dir, product_identifier());
    PostQuitMessage(0);
}

void download_process_message(unsigned id, unsigned code) {
    if (code != 0 || completed || state == 4) {
        return;
    }
    if (id == stop_id) {
        download_stop();
    } else if (id == pause_id) {
        if (state == 1) {
            set_status("Initializing...", false);
            start_thread();
            make_status_text();
            SetWindowTextA(pause_button, "Pause");
            return;
        }
        if (state == 3) {
            kill_main_timer(reconnect_timer); // pause_callback releases the reconnect text
        }
        interrupt_download(pause_callback);
    }
}

void download_stop() {
    if (state == 4) {
        return; // asked and answered
    }
    const int answer = MessageBoxA(main_window, stop_question, "Quarryvale Downloader",
                                   MB_YESNOCANCEL | MB_ICONQUESTION);
    // The download may have completed while the question was open: the installer has
    // its files now, and pulling them away or ending would break it.
    if (completed) {
        return;
    }
    if (answer == IDYES) {
        interrupt_download(stop_and_keep_callback);
    } else if (answer == IDNO) {
        interrupt_download(stop_and_delete_callback);
    }
}

void on_error() {
    handle_queued_status();
    close_open_file();
    pause_callback();
    show_error(error_message);
    std::free(error_message);
    error_message = nullptr;
}

void on_net_error() {
    handle_queued_status();
    close_open_file();
    if (void (*operation)() = take_interrupted_callback()) {
        operation();
        return;
    }
    state = 3;
    set_status(my_strdup(format_string("%1!s!. Reconnecting in 5 seconds...",
                                       net_format_error(last_net_error))
                             .c_str()),
               true);
    make_status_text();
    set_main_timer(reconnect_timer, reconnect_period_ms, reconnect_timer_proc);
}

void run_interrupted_callback() {
    handle_queued_status();
    if (void (*operation)() = take_interrupted_callback()) {
        operation();
    }
}
