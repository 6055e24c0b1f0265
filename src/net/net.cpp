// WinINet exchanges with blocking calls on top of the platform's asynchronous mode.
//
// Why asynchronous: a synchronous InternetReadFile blocked on a stalled server is not
// woken by InternetCloseHandle from another thread on every system, while a waiter on
// our own abort event always is. The price is lifetime care: after an abort the
// platform may still finish the pending read, writing into the read buffer and the
// count and reporting completion, until it reports the request handle closing. So
// everything it writes into lives in a net_exchange that the record and the platform
// release together, reads go through that buffer rather than the caller's, and a
// completion that arrives after the abort is never looked at.
#include "net/net.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "net/error_text.h"
#include "shell/main_thread.h"

struct net_exchange {
    std::atomic<int> references{1};
    // Every check of these is a round trip to the system under Wine, once per read:
    // the counter and the flag answer the common case, the events wake a waiter.
    HANDLE completed = nullptr; // auto reset; set by each of the platform's completions
    HANDLE aborted = nullptr;   // manual reset; set once by the side that closes
    std::atomic<unsigned> completions{0};
    std::atomic<bool> abort_flag{false};
    unsigned awaited = 0; // the completion count that ends the pending call
    INTERNET_ASYNC_RESULT result{};
    std::vector<char> buffer;    // what the platform reads into
    INTERNET_BUFFERSA buffers{}; // and where it says how much
    std::string headers;         // the platform may read these while sending
    std::string body;
    DWORD available = 0; // what the platform says is there, written when it completes
    std::uint64_t received = 0;
    std::uint64_t expected = 0;
    bool has_length = false;
};

namespace {

constexpr const char* agent = "Quarryvale Downloader";
constexpr DWORD request_flags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE;

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

// Guards the pair (internet_handle, exchange) of every record against a close from
// another thread while the owner swaps them.
SRWLOCK record_lock = SRWLOCK_INIT;

HANDLE create_event(BOOL manual_reset) {
    if (planned_to_fail(net_step::create_event)) {
        return nullptr;
    }
    return CreateEventA(nullptr, manual_reset, FALSE, nullptr);
}

// A new exchange, or null with the system's error code: running out of handles is a
// failed request like any other, not a reason to end the program.
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

// The completion events are set from the status callback only, so a request without
// it would leave its caller waiting for ever.
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

// Waits for the pending operation: 0 once it has completed, else why it did not: a
// close from another thread (the cancelled operation) or nothing received within the
// stall limit (a time-out). Every pending step completes as soon as anything arrives,
// so the limit measures silence, never a slow but living connection.
DWORD wait_for_completion(net_exchange* x) {
    const HANDLE events[2] = {x->aborted, x->completed};
    const DWORD limit = stall_limit_ms.load();
    const ULONGLONG started = GetTickCount64();
    ++waiting_calls;
    DWORD woken = WAIT_OBJECT_0 + 1;
    while (woken == WAIT_OBJECT_0 + 1 && x->completions.load() < x->awaited) {
        const ULONGLONG waited = GetTickCount64() - started;
        woken = waited >= limit
                    ? WAIT_TIMEOUT
                    : WaitForMultipleObjects(2, events, FALSE, static_cast<DWORD>(limit - waited));
    }
    --waiting_calls;
    if (woken == WAIT_OBJECT_0 + 1) {
        return 0;
    }
    return woken == WAIT_TIMEOUT ? ERROR_INTERNET_TIMEOUT : ERROR_INTERNET_OPERATION_CANCELLED;
}

bool is_aborted(net_exchange* x) {
    return x->abort_flag.load();
}

// Makes a platform call on the exchange's handles unless the exchange has been closed.
// A close from another thread waits until the call has been issued, so it either lands
// before it (and the call is never made on a closed handle, whose value may already
// name another exchange's) or after it (and aborts it like any pending call).
template <class Call> BOOL issue(net_exchange* x, DWORD& error, const Call& call) {
    BOOL ok = FALSE;
    AcquireSRWLockShared(&record_lock);
    if (is_aborted(x)) {
        error = ERROR_INTERNET_OPERATION_CANCELLED;
    } else {
        x->awaited = x->completions.load() + 1;
        ok = call();
        if (!ok) {
            error = GetLastError();
        }
    }
    ReleaseSRWLockShared(&record_lock);
    return ok;
}

// Finishes a platform call that may have gone asynchronous. Sets error and returns
// false on failure, including an abort.
bool finish(net_exchange* x, BOOL ok, DWORD& error) {
    if (ok) {
        return true;
    }
    if (error != ERROR_IO_PENDING) {
        return false;
    }
    if (const DWORD why = wait_for_completion(x); why != 0) {
        error = why;
        return false;
    }
    if (x->result.dwResult != 0) {
        return true;
    }
    error = x->result.dwError != 0 ? x->result.dwError : ERROR_INTERNET_INTERNAL_ERROR;
    return false;
}

int fail(net_context* context, DWORD error) {
    // A step that fails because another thread closed the exchange meanwhile sees a
    // closed handle; what happened is that the operation was cancelled.
    net_exchange* const x = context->exchange;
    context->error_code = x != nullptr && is_aborted(x)
                              ? static_cast<DWORD>(ERROR_INTERNET_OPERATION_CANCELLED)
                              : error;
    net_close(context);
    return 1;
}

void read_content_length(net_exchange* x, HINTERNET request) {
    char text[32];
    DWORD size = sizeof text;
    if (HttpQueryInfoA(request, HTTP_QUERY_CONTENT_LENGTH, text, &size, nullptr) && size > 0 &&
        size < sizeof text) {
        text[size] = '\0';
        char* end = nullptr;
        const unsigned long long value = std::strtoull(text, &end, 10);
        x->has_length = end != text;
        x->expected = value;
    }
}

// Under Wine, closing a request whose body has not been read to its end first reads
// the rest of it off the socket, a kilobyte at a time, for as long as the server keeps
// sending: a pause in the middle of a 2 GB part held the window's thread for half a
// minute. So the close runs on a short-lived thread of its own and nobody waits for it;
// the abort event has already told the reader.
DWORD WINAPI close_handle_proc(LPVOID handle) {
    InternetCloseHandle(static_cast<HINTERNET>(handle));
    return 0;
}

void close_without_waiting(HINTERNET internet) {
    const HANDLE thread = CreateThread(nullptr, 0, close_handle_proc, internet, 0, nullptr);
    if (thread == nullptr) {
        InternetCloseHandle(internet);
        return;
    }
    CloseHandle(thread);
}

} // namespace

net_context::~net_context() {
    net_close(this);
    release(exchange);
}

int net_request(net_context* context, int secure, const char* verb, const char* host,
                const char* path, const char* headers, const char* body) {
    // A record is reused only once closed; close it anyway rather than leak a handle.
    // The platform may still hold the previous exchange; the record lets go of it.
    net_close(context);
    AcquireSRWLockExclusive(&record_lock);
    net_exchange* old = context->exchange;
    context->exchange = nullptr;
    const bool abandoned = context->abort_requested;
    ReleaseSRWLockExclusive(&record_lock);
    release(old);
    if (abandoned) {
        context->error_code = ERROR_INTERNET_OPERATION_CANCELLED;
        return 1;
    }

    DWORD error = 0;
    net_exchange* const x = new_exchange(error);
    if (x == nullptr) {
        context->error_code = error;
        return 1;
    }
    // Until the status callback is registered nothing but this thread knows x.
    const auto give_up = [&](DWORD code, HINTERNET internet) {
        context->error_code = code;
        if (internet != nullptr) {
            InternetCloseHandle(internet);
        }
        release(x);
        return 1;
    };
    const HINTERNET internet =
        InternetOpenA(agent, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, INTERNET_FLAG_ASYNC);
    if (internet == nullptr) {
        return give_up(GetLastError(), nullptr);
    }
    const HINTERNET connection = InternetConnectA(
        internet, host, secure ? INTERNET_DEFAULT_HTTPS_PORT : INTERNET_DEFAULT_HTTP_PORT, nullptr,
        nullptr, INTERNET_SERVICE_HTTP, 0, 0);
    if (connection == nullptr) {
        return give_up(GetLastError(), internet);
    }
    const HINTERNET request = HttpOpenRequestA(connection, verb, path, nullptr, nullptr, nullptr,
                                               request_flags | (secure ? INTERNET_FLAG_SECURE : 0),
                                               reinterpret_cast<DWORD_PTR>(x));
    if (request == nullptr) {
        return give_up(GetLastError(), internet);
    }
    if (!register_status_callback(request, error)) {
        return give_up(error, internet);
    }
    // From here the platform holds a reference that its closing notification returns.
    ++x->references;

    // An abort that came while the handles were being opened found nothing to close:
    // it is honoured here, before anything goes out.
    AcquireSRWLockExclusive(&record_lock);
    const bool aborted_meanwhile = context->abort_requested;
    if (!aborted_meanwhile) {
        context->exchange = x;
        context->request_handle = request;
        context->internet_handle = internet;
    }
    ReleaseSRWLockExclusive(&record_lock);
    if (aborted_meanwhile) {
        return give_up(ERROR_INTERNET_OPERATION_CANCELLED, internet);
    }

    if (headers != nullptr) {
        x->headers = headers;
    }
    if (body != nullptr) {
        x->body = body;
    }
    const bool sent =
        finish(x,
               issue(x, error,
                     [&] {
                         return HttpSendRequestA(request,
                                                 headers != nullptr ? x->headers.c_str() : nullptr,
                                                 headers != nullptr ? static_cast<DWORD>(-1) : 0,
                                                 body != nullptr ? x->body.data() : nullptr,
                                                 static_cast<DWORD>(x->body.size()));
                     }),
               error);
    if (error != ERROR_INTERNET_OPERATION_CANCELLED) {
        // The platform is done with the body (it may hold a password).
        wipe(x->body);
    }
    if (!sent) {
        return fail(context, error);
    }

    DWORD status = 0;
    const BOOL answered = issue(x, error, [&] {
        DWORD size = sizeof status;
        const BOOL ok = HttpQueryInfoA(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER,
                                       &status, &size, nullptr);
        if (ok) {
            read_content_length(x, request);
        }
        return ok;
    });
    if (!answered) {
        return fail(context, error);
    }
    context->status_code = status;
    return 0;
}

int net_read(net_context* context, void* buffer, std::uint32_t size, std::uint32_t* count) {
    net_exchange* const x = context->exchange;
    if (x == nullptr) {
        context->error_code = ERROR_INVALID_HANDLE;
        return 1;
    }
    // Closed, by another thread or after a failure: the platform may still complete an
    // aborted read into the exchange's buffer, so it is not touched again.
    if (is_aborted(x)) {
        context->error_code = ERROR_INTERNET_OPERATION_CANCELLED;
        return 1;
    }
    if (x->buffer.size() < size) {
        x->buffer.resize(size);
    }
    const HINTERNET request = context->request_handle;
    DWORD error = 0;
    DWORD n = 0;
    for (;;) {
        // InternetReadFileExA, not InternetReadFile: under Wine the latter zeroes the
        // count after it has queued the read, and a read that completes at once on the
        // platform's thread then loses its count (and the caller its data). The Ex form
        // writes the count into the buffer record only when the read completes.
        x->buffers = INTERNET_BUFFERSA{};
        x->buffers.dwStructSize = sizeof x->buffers;
        x->buffers.lpvBuffer = x->buffer.data();
        x->buffers.dwBufferLength = size;
        // Without IRF_NO_WAIT a read waits until the whole buffer is full, so a trickle
        // would look like silence to the stall limit. With it, whatever has arrived comes
        // back at once, and with nothing there the call completes when something does.
        const BOOL ok = issue(
            x, error, [&] { return InternetReadFileExA(request, &x->buffers, IRF_NO_WAIT, 0); });
        if (!ok) {
            // Under Wine a read without waiting that finds nothing goes pending until
            // something arrives and delivers nothing itself (measured); Windows answers
            // at once with what it has. Either way the next read takes what came.
            if (!finish(x, ok, error)) {
                return fail(context, error);
            }
            continue;
        }
        n = x->buffers.dwBufferLength;
        if (n != 0) {
            break;
        }
        // Nothing there now is the end only if nothing more will come.
        const BOOL asked = issue(
            x, error, [&] { return InternetQueryDataAvailable(request, &x->available, 0, 0); });
        if (!finish(x, asked, error)) {
            return fail(context, error);
        }
        if (x->available == 0) {
            break;
        }
    }
    if (n == 0 && x->has_length && x->received < x->expected) {
        // The connection ended early: a truncated body must never pass for a whole one.
        return fail(context, ERROR_INTERNET_CONNECTION_RESET);
    }
    if (n > size) {
        return fail(context, ERROR_INTERNET_INTERNAL_ERROR);
    }
    std::memcpy(buffer, x->buffer.data(), n);
    x->received += n;
    *count = n;
    return 0;
}

void net_close(net_context* context) {
    AcquireSRWLockExclusive(&record_lock);
    const HINTERNET internet = context->internet_handle;
    context->internet_handle = nullptr;
    net_exchange* const x = context->exchange;
    if (internet != nullptr && x != nullptr) {
        x->abort_flag = true;
        SetEvent(x->aborted);
    }
    ReleaseSRWLockExclusive(&record_lock);
    // Only the side that took the handle closes it; the exchange stays alive until the
    // platform reports the request handle closing.
    if (internet != nullptr) {
        close_without_waiting(internet);
    }
}

void net_abort(net_context* context) {
    AcquireSRWLockExclusive(&record_lock);
    context->abort_requested = true;
    ReleaseSRWLockExclusive(&record_lock);
    net_close(context);
}

std::string net_format_error(std::uint32_t code) {
    char* buffer = nullptr;
    const DWORD length = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS |
            FORMAT_MESSAGE_FROM_HMODULE,
        GetModuleHandleA("wininet.dll"), code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
        reinterpret_cast<LPSTR>(&buffer), 0, nullptr);
    if (length == 0 || buffer == nullptr) {
        return unknown_network_error(code);
    }
    std::string text(buffer, length);
    LocalFree(buffer);
    trim_error_text(text);
    return text;
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
