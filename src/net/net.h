// One HTTP exchange over WinINet: open a request, send it, read the status, read the
// body piece by piece, close. Progress texts go to the main window as status messages.
//
// The exchange runs asynchronously underneath, with an abort event beside the
// completion event, so that net_close from another thread ends a read that a stalled
// server would otherwise keep blocked for ever. The callers see blocking calls.
#pragma once

#include <windows.h>
#include <wininet.h>

#include <cstdint>
#include <string>

struct net_exchange;

// The record of one exchange, owned by the caller for the exchange's duration and
// reusable for the next request once closed.
struct net_context {
    std::uint32_t error_code = 0;        // of the step that failed; read only after a failure
    HINTERNET internet_handle = nullptr; // non-null while the exchange is open
    HINTERNET request_handle = nullptr;  // not used after net_close
    std::uint32_t status_code = 0;       // set when net_request succeeds
    // Where the answer's Content-Range says its body begins; -1 when it names none.
    std::int64_t range_start = -1;
    bool abort_requested = false; // net_abort: this record opens nothing more
    // What the platform may still write into after a close: released by this record and
    // by the platform's closing notification, whichever comes last.
    net_exchange* exchange = nullptr;

    net_context() = default;
    net_context(const net_context&) = delete;
    net_context& operator=(const net_context&) = delete;
    ~net_context();
};

// Which redirects a request follows. None: a 3xx is an answer like any other (a
// password is never sent on to another place). Upgrading: those that keep the scheme
// or go from http to https, a few hops at most; one from https to http fails with
// ERROR_INTERNET_HTTPS_TO_HTTP_ON_REDIR before anything is asked of the plain server.
enum class net_redirects { none, upgrading };

// 0 on success (any HTTP status), 1 on failure with error_code set and nothing open.
// secure: HTTPS on port 443, else HTTP on port 80. headers: one header line without a
// line end, or null. body: NUL-terminated, or null for an empty body.
int net_request(net_context* context, int secure, const char* verb, const char* host,
                const char* path, const char* headers, const char* body,
                net_redirects follow = net_redirects::none);

// Reads up to size bytes: what has arrived, or the first bytes that arrive; a count of 0
// is the end of the body. 1 on failure, and then the exchange is closed and count is not
// written. A body that ends before its Content-Length is a failure.
//
// Every wait of net_request and net_read is bounded by the stall limit (60 s): an
// exchange that receives nothing for that long, neither the answer's headers nor a byte
// of the body, fails with ERROR_INTERNET_TIMEOUT as a dropped connection would. After a
// failed read nothing is read from or sent on that exchange again.
int net_read(net_context* context, void* buffer, std::uint32_t size, std::uint32_t* count);

// Closes the exchange once, from any thread; a read blocked on it then fails.
void net_close(net_context* context);

// Breaks off the record's exchange from another thread at any point: one waiting for
// the connection or the answer's headers, one being read, or one still being opened.
// The step under way and every later net_request on the record fail with the cancelled
// operation's code, so the owner needs a new record for its next exchange.
void net_abort(net_context* context);

// The platform's text for a network error code, without its final period and line end.
std::string net_format_error(std::uint32_t code);

void CALLBACK status_callback(HINTERNET handle, DWORD_PTR context, DWORD status, LPVOID information,
                              DWORD length);

// Test seams.
// Exchanges whose memory is still held by a record or by the platform.
int net_live_exchanges();
// Calls now blocked until the platform completes a pending step or a close ends it.
int net_waiting_calls();
// Steps that the platform practically never fails: the count-th call of step from now
// fails with error as the platform's own failure would. The shipped program never
// plans one.
enum class net_step { create_event, set_status_callback };
void net_fail_step(net_step step, std::uint32_t error, int count = 1);
// The stall limit in milliseconds; 0 restores the shipped 60 s. The platform's own
// receive time-out follows it, a quarter longer.
void net_set_stall_limit(std::uint32_t milliseconds);
