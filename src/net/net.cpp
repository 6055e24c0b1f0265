// WinINet exchanges with blocking calls on top of the platform's asynchronous mode:
// opening and sending a request (and following the redirects its caller allows),
// reading its body, closing it. The exchange record, its lifetime and its bounded waits
// are in net_exchange.cpp.
#include "net/net.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include "net/error_text.h"
#include "net/net_exchange.h"

namespace {

constexpr const char* agent = "Quarryvale Downloader";
// Redirects are never the platform's to follow: it would follow one from https to
// plain http without a word, and send a sign-in's password on to wherever a 307 says.
// A download follows redirects to any host, port or address, so no request carries what
// the platform keeps for the buyer: no cookies (a server's, kept for the whole run, would
// go to whatever shares its name), no Windows sign-in (a 401 asking for NTLM or
// Negotiate would otherwise be answered with the buyer's own logon) and no dialog.
constexpr DWORD request_flags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE |
                                INTERNET_FLAG_NO_AUTO_REDIRECT | INTERNET_FLAG_NO_COOKIES |
                                INTERNET_FLAG_NO_AUTH | INTERNET_FLAG_NO_UI;
// A chain longer than this is a loop, or nothing a download server should do.
constexpr int redirect_hops = 8;
// Only the reading thread counts; the benchmark reads them after that thread has ended.
net_read_counts counts;

int fail(net_context* context, DWORD error) {
    // A step that fails because another thread closed the exchange meanwhile sees a
    // closed handle; what happened is that the operation was cancelled.
    net_exchange* const x = context->exchange;
    context->error_code = x != nullptr && is_aborted(x)
                              ? static_cast<DWORD>(ERROR_INTERNET_OPERATION_CANCELLED)
                              : error;
    // The platform's reader may have thrown away part of a record: nothing is read from
    // or sent on this exchange again.
    net_close(context);
    return 1;
}

// A header's value as text; empty when the answer has none.
std::string query_header(HINTERNET request, DWORD which) {
    std::string text(256, '\0');
    for (;;) {
        DWORD size = static_cast<DWORD>(text.size());
        if (HttpQueryInfoA(request, which, text.data(), &size, nullptr)) {
            text.resize(size < text.size() ? size : text.size());
            return text;
        }
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || size <= text.size() || size > 65536) {
            return {};
        }
        text.resize(size);
    }
}

void read_content_length(net_exchange* x, HINTERNET request) {
    const std::string text = query_header(request, HTTP_QUERY_CONTENT_LENGTH);
    char* end = nullptr;
    const unsigned long long value = std::strtoull(text.c_str(), &end, 10);
    x->has_length = !text.empty() && end != text.c_str();
    x->expected = value;
}

// "bytes FIRST-LAST/TOTAL": FIRST, or -1 for anything else.
std::int64_t range_start_of(const std::string& text) {
    constexpr char unit[] = "bytes ";
    if (text.compare(0, sizeof unit - 1, unit) != 0) {
        return -1;
    }
    const char* const digits = text.c_str() + sizeof unit - 1;
    char* end = nullptr;
    const long long value = std::strtoll(digits, &end, 10);
    return end != digits && *end == '-' && value >= 0 ? value : -1;
}

bool is_redirect(std::uint32_t status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// Where one exchange goes.
struct target {
    bool secure = false;
    INTERNET_PORT port = 0;
    std::string host;
    std::string path;
};

// The target a Location names, seen from the one that answered it: a path on the same
// server, or an absolute http or https address. False for anything else.
bool resolve_location(const std::string& location, target& where) {
    if (!location.empty() && location[0] == '/' && (location.size() < 2 || location[1] != '/')) {
        where.path = location;
        return true;
    }
    URL_COMPONENTSA parts{};
    parts.dwStructSize = sizeof parts;
    parts.dwHostNameLength = 1;
    parts.dwUrlPathLength = 1;
    parts.dwExtraInfoLength = 1;
    if (!InternetCrackUrlA(location.c_str(), static_cast<DWORD>(location.size()), 0, &parts) ||
        (parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS) ||
        parts.lpszHostName == nullptr || parts.dwHostNameLength == 0) {
        return false;
    }
    where.secure = parts.nScheme == INTERNET_SCHEME_HTTPS;
    where.port = parts.nPort;
    where.host.assign(parts.lpszHostName, parts.dwHostNameLength);
    where.path.clear();
    if (parts.lpszUrlPath != nullptr) {
        where.path.assign(parts.lpszUrlPath, parts.dwUrlPathLength);
    }
    if (parts.lpszExtraInfo != nullptr) {
        where.path.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
    }
    if (where.path.empty()) {
        where.path = "/";
    }
    return true;
}

// One exchange: open, send, read the answer's status and headers. location receives
// the answer's Location when the status is a redirect.
int exchange(net_context* context, const target& where, const char* verb, const char* headers,
             const char* body, std::string* location) {
    // A record is reused only once closed; close it anyway rather than leak a handle.
    // The platform may still hold the previous exchange; the record lets go of it.
    net_close(context);
    AcquireSRWLockExclusive(&record_lock);
    net_exchange* old = context->exchange;
    context->exchange = nullptr;
    const bool abandoned = context->abort_requested;
    ReleaseSRWLockExclusive(&record_lock);
    release(old);
    context->status_code = 0;
    context->range_start = -1;
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
    x->secure = where.secure;
    // Until the status callback is registered nothing but this thread knows x.
    const auto give_up = [&](DWORD code, HINTERNET internet) {
        context->error_code = code;
        if (internet != nullptr) {
            InternetCloseHandle(internet);
        }
        release(x);
        return 1;
    };
    // Each exchange has a session of its own, so closing it never waits on another's.
    const HINTERNET internet =
        InternetOpenA(agent, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, INTERNET_FLAG_ASYNC);
    if (internet == nullptr) {
        return give_up(GetLastError(), nullptr);
    }
    const HINTERNET connection = InternetConnectA(internet, where.host.c_str(), where.port, nullptr,
                                                  nullptr, INTERNET_SERVICE_HTTP, 0, 0);
    if (connection == nullptr) {
        return give_up(GetLastError(), internet);
    }
    const HINTERNET request = HttpOpenRequestA(
        connection, verb, where.path.c_str(), nullptr, nullptr, nullptr,
        request_flags | (where.secure ? INTERNET_FLAG_SECURE : 0), reinterpret_cast<DWORD_PTR>(x));
    if (request == nullptr) {
        return give_up(GetLastError(), internet);
    }
    // The platform's receive time-out is none by default, so a receive the program has
    // given up on would keep a platform thread and its socket for good. Set a quarter
    // longer than the stall limit, it only ever ends a receive the program's own limit
    // has already abandoned: on a living exchange the limit fires first, and a receive
    // that ends in this time-out (and may lose a partial record) is never read again.
    DWORD timeout = receive_timeout_ms();
    InternetSetOptionA(request, INTERNET_OPTION_RECEIVE_TIMEOUT, &timeout, sizeof timeout);
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
    std::int64_t range_start = -1;
    const BOOL answered = issue(x, error, [&] {
        DWORD size = sizeof status;
        const BOOL ok = HttpQueryInfoA(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER,
                                       &status, &size, nullptr);
        if (ok) {
            read_content_length(x, request);
            range_start = range_start_of(query_header(request, HTTP_QUERY_CONTENT_RANGE));
            if (location != nullptr && is_redirect(status)) {
                *location = query_header(request, HTTP_QUERY_LOCATION);
            }
        }
        return ok;
    });
    if (!answered) {
        return fail(context, error);
    }
    context->status_code = status;
    context->range_start = range_start;
    return 0;
}

} // namespace

net_context::~net_context() {
    net_close(this);
    release(exchange);
}

int net_request(net_context* context, int secure, const char* verb, const char* host,
                const char* path, const char* headers, const char* body, net_redirects follow) {
    target where;
    where.secure = secure != 0;
    where.port = where.secure ? INTERNET_DEFAULT_HTTPS_PORT : INTERNET_DEFAULT_HTTP_PORT;
    where.host = host;
    where.path = path;
    std::string location;
    const bool following = follow == net_redirects::upgrading;
    for (int hop = 0;; ++hop) {
        location.clear();
        if (exchange(context, where, verb, headers, body, following ? &location : nullptr) != 0) {
            return 1;
        }
        if (!following || !is_redirect(context->status_code)) {
            return 0;
        }
        const bool was_secure = where.secure;
        if (hop == redirect_hops || !resolve_location(location, where)) {
            return fail(context, ERROR_HTTP_REDIRECT_FAILED);
        }
        if (was_secure && !where.secure) {
            // What the store named https must never arrive over plain http.
            return fail(context, ERROR_INTERNET_HTTPS_TO_HTTP_ON_REDIR);
        }
    }
}

net_read_counts net_counts() {
    return counts;
}

int net_read(net_context* context, void* buffer, std::uint32_t size, std::uint32_t* count) {
    ++counts.reads;
    net_exchange* const x = context->exchange;
    if (x == nullptr) {
        context->error_code = ERROR_INVALID_HANDLE;
        return 1;
    }
    if (x->deferred_error != 0) {
        context->error_code = x->deferred_error;
        x->deferred_error = 0;
        return 1;
    }
    // Closed, by another thread or after a failure: the platform may still complete an
    // aborted read into the exchange's buffer, so it is not touched again.
    if (is_aborted(x)) {
        context->error_code = ERROR_INTERNET_OPERATION_CANCELLED;
        return 1;
    }
    if (size == 0) {
        // Nothing to read into: not even the one byte that the first read waits for.
        context->error_code = ERROR_INVALID_PARAMETER;
        return 1;
    }
    const HINTERNET request = context->request_handle;
    DWORD error = 0;
    // InternetReadFileExA, not InternetReadFile: under Wine the latter zeroes the count
    // after it has queued the read, and a read that completes at once on the platform's
    // thread then loses its count (and the caller its data). The Ex form writes the
    // count into the buffer record only when the read completes.
    const auto start_read = [&](INTERNET_BUFFERSA& record, void* into, DWORD length, DWORD flags) {
        record = INTERNET_BUFFERSA{};
        record.dwStructSize = sizeof record;
        record.lpvBuffer = into;
        record.dwBufferLength = length;
        const BOOL ok =
            issue(x, error, [&] { return InternetReadFileExA(request, &record, flags, 0); });
        ++counts.platform_reads;
        counts.pending += !ok && error == ERROR_IO_PENDING;
        return ok;
    };
    // A waiting read for one byte, then one without waiting for whatever else is there.
    // The first completes at once when anything has arrived, else when something does,
    // so a trickle is seen at once and only silence meets the stall limit. Why not one
    // read without waiting: under Wine one that finds nothing goes pending in a refill
    // that, when it fails (a TLS record it cannot decrypt, a reset), drains the rest of
    // the body from the same socket; on a TLS stream out of step that drain meets a
    // record length the reader's buffer cannot hold, and Wine ends the process. A
    // waiting read that fails closes its connection instead, unread.
    //
    // No byte that has come waits for the next ones: a read that goes pending after some
    // bytes of this call stays pending for the next call, and these bytes go to the
    // caller now. The read left pending: 1 once it has completed (got: what it brought),
    // 0 while it is still pending after patience milliseconds, -1 on failure with error
    // set. With INFINITE patience the stall limit bounds the wait, counted from when the
    // read went out.
    const auto complete_left = [&](DWORD patience, DWORD& got) {
        const bool until_silence = patience == INFINITE;
        const DWORD why = await_completion(x, until_silence ? x->left_since : GetTickCount64(),
                                           until_silence ? stall_limit() : patience);
        if (why == WAIT_TIMEOUT && !until_silence) {
            return 0;
        }
        x->left_pending = false;
        if (why != 0) {
            error = why == WAIT_TIMEOUT ? static_cast<DWORD>(ERROR_INTERNET_TIMEOUT) : why;
            return -1;
        }
        if (x->result.dwResult == 0) {
            error = x->result.dwError != 0 ? x->result.dwError : ERROR_INTERNET_INTERNAL_ERROR;
            return -1;
        }
        got = x->left_brings_nothing ? 0 : x->first_buffers.dwBufferLength;
        return 1;
    };
    const auto leave_pending = [&](bool brings_nothing) {
        x->left_pending = true;
        x->left_brings_nothing = brings_nothing;
        x->left_since = GetTickCount64();
    };
    const auto first_byte = [&](DWORD patience, DWORD& got) {
        if (x->left_pending) {
            return complete_left(patience, got);
        }
        if (start_read(x->first_buffers, &x->first_byte, 1, 0)) {
            got = x->first_buffers.dwBufferLength;
            return 1;
        }
        if (error != ERROR_IO_PENDING) {
            return -1;
        }
        leave_pending(false);
        return complete_left(patience, got);
    };
    // A read without waiting left pending by the call before has found nothing; once it
    // completes, what it waited for is the platform's to hand out.
    if (x->left_pending && x->left_brings_nothing) {
        DWORD nothing = 0;
        if (complete_left(INFINITE, nothing) < 0) {
            return fail(context, error);
        }
    }
    // Not before: a read left pending may still write into the buffer it was given.
    if (x->buffer.size() < size) {
        x->buffer.resize(size);
    }
    // Over TLS the read without waiting ends at a record (16 KB) whenever the reader has
    // caught up with the server, and every read costs the caller a hand-over to the
    // window's thread. So while the stream runs at full speed (a read brought half the
    // buffer or more) the pair runs once more, its one-byte read waiting a moment only:
    // on such a stream the next record is microseconds away, and when the server has
    // gone quiet instead, what has come goes to the caller after that moment.
    constexpr DWORD second_helping_ms = 50;
    DWORD n = 0;
    bool ok = true;
    // Over plain HTTP the platform takes the one-byte read from the socket by itself, a
    // receive as costly under Wine as the one for the rest (two round trips to the
    // server each). While the body comes at full speed the next bytes are almost always
    // there, so the read without waiting goes first; it finds nothing only where the
    // server has paused, and then it waits for the next bytes as the one that is left
    // pending does. Over TLS the one-byte read takes its byte from a decrypted record
    // and costs little, and a read without waiting that finds nothing could meet the
    // drain above: it keeps the pair.
    if (!x->secure && x->last_read_full) {
        ok = start_read(x->buffers, x->buffer.data(), size, IRF_NO_WAIT);
        if (ok) {
            n = x->buffers.dwBufferLength;
        } else if (error == ERROR_IO_PENDING) {
            leave_pending(true);
            DWORD nothing = 0;
            ok = complete_left(INFINITE, nothing) >= 0;
        }
    }
    // The pair, unless the read without waiting that went first has brought bytes.
    const bool taken = n != 0;
    for (int pass = 0; ok && !taken && pass < 2; ++pass) {
        DWORD got = 0;
        const int first = first_byte(pass == 0 ? INFINITE : second_helping_ms, got);
        ok = first >= 0;
        if (first <= 0 || got == 0) {
            break;
        }
        x->buffer[n++] = x->first_byte;
        if (n < size) {
            if (!start_read(x->buffers, x->buffer.data() + n, size - n, IRF_NO_WAIT)) {
                // Pending: under Wine it found nothing and waits for data to arrive, then
                // delivers none (measured; its count stays the length asked).
                ok = error == ERROR_IO_PENDING;
                if (ok) {
                    leave_pending(true);
                }
                break;
            }
            got = x->buffers.dwBufferLength;
            n += got;
        }
        if (got == 0 || n < size / 2 || n >= size ||
            (x->has_length && x->received + n >= x->expected)) {
            break;
        }
    }
    if (!ok && n == 0) {
        return fail(context, error);
    }
    if (!ok) {
        // What came before the failure is the caller's; the failure is the next read's.
        x->deferred_error = error;
        net_close(context);
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
    x->last_read_full = n == size;
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
