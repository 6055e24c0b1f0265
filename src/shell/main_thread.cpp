// The one way worker threads run code on the window's thread, and the timer requests
// built on it. Kept apart from the program's start-up so that tests can link it.
#include <atomic>
#include <mutex>

#include "foundation/util.h"
#include "shell/main_thread.h"

namespace {

// A worker's timer request, read on the window's thread while the worker waits in
// call_in_main_thread. The mutex keeps requests of several workers apart; the window's
// thread never takes it, so holding it across the call cannot deadlock.
std::mutex request_mutex;
struct timer_request {
    UINT_PTR id = 0;
    UINT period = 0;
    TIMERPROC callback = nullptr;
} request;

bool on_window_thread() {
    return GetWindowThreadProcessId(main_window, nullptr) == GetCurrentThreadId();
}

std::atomic<DWORD> set_timer_thread{0};
std::atomic<DWORD> kill_timer_thread{0};

void start_timer_now(UINT_PTR id, UINT period, TIMERPROC callback) {
    set_timer_thread = GetCurrentThreadId();
    system_assert_("SetTimer", SetTimer(main_window, id, period, callback));
}

void kill_timer_now(UINT_PTR id) {
    kill_timer_thread = GetCurrentThreadId();
    KillTimer(main_window, id);
}

void start_requested_timer() {
    start_timer_now(request.id, request.period, request.callback);
}

void kill_requested_timer() {
    kill_timer_now(request.id);
}

} // namespace

void call_in_main_thread(void (*function)()) {
    system_assert_("SendMessage",
                   SendMessageA(main_window, call_message, 0, reinterpret_cast<LPARAM>(function)));
}

LRESULT on_call_message(LPARAM function) {
    reinterpret_cast<void (*)()>(function)();
    return 1;
}

void handle_queued_status() {
    MSG message;
    while (PeekMessageA(&message, main_window, status_message, status_message, PM_REMOVE)) {
        DispatchMessageA(&message);
    }
}

void set_main_timer(UINT_PTR id, UINT period, TIMERPROC callback) {
    if (on_window_thread()) {
        start_timer_now(id, period, callback);
        return;
    }
    const std::lock_guard<std::mutex> lock(request_mutex);
    request = {id, period, callback};
    call_in_main_thread(start_requested_timer);
}

void kill_main_timer(UINT_PTR id) {
    if (on_window_thread()) {
        kill_timer_now(id);
        return;
    }
    const std::lock_guard<std::mutex> lock(request_mutex);
    request = {id, 0, nullptr};
    call_in_main_thread(kill_requested_timer);
}

main_timer_threads last_main_timer_threads() {
    return {set_timer_thread.load(), kill_timer_thread.load()};
}
