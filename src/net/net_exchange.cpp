// The exchange record's lifetime, its bounded waits, and the platform's notifications
// that feed them (see net_exchange.h).
#include "net/net_exchange.h"

#include "shell/main_thread.h"

SRWLOCK record_lock = SRWLOCK_INIT;

namespace {

std::atomic<int> live_exchanges{0};
std::atomic<int> waiting_calls{0};

// A connection that stays silent this long is as good as dropped: a NAT or proxy that
// forgets it sends no reset, and the platform's own receive time-out never fires.
constexpr DWORD default_stall_limit_ms = 60000;
std::atomic<DWORD> stall_limit_ms{default_stall_limit_ms};

// Steps that tests make fail on purpose: the count-th next call of each fails.
struct planned_failure {
    std::atomic<int> countdown{0};
    std::atomic<DWORD> error{0};
};
planned_failure planned[2];

// True, with the last error set as the system would, when this call is to fail.
bool planned_to_fail(net_step step) {
    planned_failure& plan = planned[static_cast<int>(step)];
    if (plan.countdown.load() <= 0 || --plan.countdown != 0) {
        return false;
    }
    SetLastError(plan.error);
    return true;
}

HANDLE create_event(BOOL manual_reset) {
    if (planned_to_fail(net_step::create_event)) {
        return nullptr;
    }
    return CreateEventA(nullptr, manual_reset, FALSE, nullptr);
}

} // namespace

// Every pending step completes as soon as anything arrives, so the stall limit measures
// silence, never a slow but living connection.
DWORD await_completion(net_exchange* x, ULONGLONG since, DWORD limit) {
    const HANDLE events[2] = {x->aborted, x->completed};
    ++waiting_calls;
    DWORD woken = WAIT_OBJECT_0 + 1;
    while (woken == WAIT_OBJECT_0 + 1 && x->completions.load() < x->awaited) {
        const ULONGLONG waited = GetTickCount64() - since;
        woken = waited >= limit
                    ? WAIT_TIMEOUT
                    : WaitForMultipleObjects(2, events, FALSE, static_cast<DWORD>(limit - waited));
    }
    --waiting_calls;
    if (woken == WAIT_OBJECT_0 + 1) {
        return 0;
    }
    return woken == WAIT_TIMEOUT ? static_cast<DWORD>(WAIT_TIMEOUT)
                                 : static_cast<DWORD>(ERROR_INTERNET_OPERATION_CANCELLED);
}

DWORD stall_limit() {
    return stall_limit_ms.load();
}

namespace {

// Under Wine, closing a request whose body has not been read to its end first reads
// the rest of it off the socket, a kilobyte at a time, for as long as the server keeps
// sending: a pause in the middle of a 2 GB part held the window's thread for half a
// minute. So the close runs on a short-lived thread of its own and nobody waits for it;
// the abort event has already told the reader.
DWORD WINAPI close_handle_proc(LPVOID handle) {
    InternetCloseHandle(static_cast<HINTERNET>(handle));
    return 0;
}

} // namespace

net_exchange* new_exchange(DWORD& error) {
    auto* x = new net_exchange;
    x->completed = create_event(FALSE);
    x->aborted = x->completed != nullptr ? create_event(TRUE) : nullptr;
    if (x->aborted == nullptr) {
        error = GetLastError();
        if (x->completed != nullptr) {
            CloseHandle(x->completed);
        }
        delete x;
        return nullptr;
    }
    ++live_exchanges;
    return x;
}

bool register_status_callback(HINTERNET request, DWORD& error) {
    SetLastError(0);
    if (!planned_to_fail(net_step::set_status_callback) &&
        InternetSetStatusCallback(request, status_callback) != INTERNET_INVALID_STATUS_CALLBACK) {
        return true;
    }
    error = GetLastError();
    // The one documented cause is a handle the platform does not know, and not every
    // platform says so.
    if (error == 0) {
        error = ERROR_INVALID_HANDLE;
    }
    return false;
}

void wipe(std::string& text) {
    if (!text.empty()) {
        SecureZeroMemory(text.data(), text.size());
    }
    text.clear();
}

void release(net_exchange* x) {
    if (x != nullptr && --x->references == 0) {
        wipe(x->body);
        CloseHandle(x->completed);
        CloseHandle(x->aborted);
        delete x;
        --live_exchanges;
    }
}

bool finish(net_exchange* x, BOOL ok, DWORD& error) {
    if (ok) {
        return true;
    }
    if (error != ERROR_IO_PENDING) {
        return false;
    }
    if (const DWORD why = await_completion(x, GetTickCount64(), stall_limit()); why != 0) {
        // A close from another thread, or nothing received within the stall limit.
        error = why == WAIT_TIMEOUT ? static_cast<DWORD>(ERROR_INTERNET_TIMEOUT) : why;
        return false;
    }
    if (x->result.dwResult != 0) {
        return true;
    }
    error = x->result.dwError != 0 ? x->result.dwError : ERROR_INTERNET_INTERNAL_ERROR;
    return false;
}

void close_without_waiting(HINTERNET internet) {
    const HANDLE thread = CreateThread(nullptr, 0, close_handle_proc, internet, 0, nullptr);
    if (thread == nullptr) {
        InternetCloseHandle(internet);
        return;
    }
    CloseHandle(thread);
}

DWORD receive_timeout_ms() {
    // A quarter more than the limit: 75 s for the shipped minute.
    const DWORD limit = stall_limit_ms.load();
    return limit + limit / 4;
}

void CALLBACK status_callback(HINTERNET, DWORD_PTR context, DWORD status, LPVOID information,
                              DWORD length) {
    auto* const x = reinterpret_cast<net_exchange*>(context);
    switch (status) {
    case INTERNET_STATUS_RESOLVING_NAME:
        post_status("Resolving name...");
        break;
    case INTERNET_STATUS_CONNECTING_TO_SERVER:
        post_status("Connecting to server...");
        break;
    case INTERNET_STATUS_SENDING_REQUEST:
        post_status("Sending request...");
        break;
    case INTERNET_STATUS_REQUEST_SENT:
        post_status("Recieving response...");
        break;
    case INTERNET_STATUS_REQUEST_COMPLETE:
        if (x != nullptr) {
            if (information != nullptr && length >= sizeof(INTERNET_ASYNC_RESULT)) {
                x->result = *static_cast<const INTERNET_ASYNC_RESULT*>(information);
            } else {
                x->result = INTERNET_ASYNC_RESULT{0, ERROR_INTERNET_INTERNAL_ERROR};
            }
            ++x->completions;
            SetEvent(x->completed);
        }
        break;
    case INTERNET_STATUS_HANDLE_CLOSING:
        release(x);
        break;
    default:
        break;
    }
}

int net_live_exchanges() {
    return live_exchanges.load();
}

int net_waiting_calls() {
    return waiting_calls.load();
}

void net_fail_step(net_step step, std::uint32_t error, int count) {
    planned_failure& plan = planned[static_cast<int>(step)];
    plan.error = error;
    plan.countdown = count;
}

void net_set_stall_limit(std::uint32_t milliseconds) {
    stall_limit_ms = milliseconds != 0 ? milliseconds : default_stall_limit_ms;
}
