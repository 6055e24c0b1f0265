// The exchange record under net.cpp: what the platform writes into while a step is
// pending, its lifetime (released by the record and by the platform's closing
// notification, whichever comes last), and the bounded waits on it. net.cpp builds the
// requests and reads on top; nothing else includes this header.
//
// Why asynchronous: a synchronous InternetReadFile blocked on a stalled server is not
// woken by InternetCloseHandle from another thread on every system, while a waiter on
// our own abort event always is. The price is lifetime care: after an abort the
// platform may still finish the pending read, writing into the read buffer and the
// count and reporting completion, until it reports the request handle closing. So
// everything it writes into lives in a net_exchange that the record and the platform
// release together, reads go through that buffer rather than the caller's, and a
// completion that arrives after the abort is never looked at.
#pragma once

#include <windows.h>
#include <wininet.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "net/net.h"

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
    // A read may stay pending from one net_read to the next, so that what came before it
    // reaches the caller now rather than with the next bytes: the waiting read for one
    // byte (it lands here, apart from the buffer the caller's bytes are assembled in), or
    // a read without waiting that found nothing (it brings nothing itself).
    char first_byte = 0;
    INTERNET_BUFFERSA first_buffers{};
    bool left_pending = false;
    bool left_brings_nothing = false;
    ULONGLONG left_since = 0; // when it went out: the silence counts from then
    std::string headers;      // the platform may read these while sending
    std::string body;
    DWORD available = 0; // what the platform says is there, written when it completes
    std::uint64_t received = 0;
    std::uint64_t expected = 0;
    bool has_length = false;
    DWORD deferred_error = 0;    // a read's failure that the next read reports
    bool secure = false;         // over TLS
    bool last_read_full = false; // the last net_read filled the caller's buffer
};

// Guards the pair (internet_handle, exchange) of every record against a close from
// another thread while the owner swaps them.
extern SRWLOCK record_lock;

// A new exchange, or null with the system's error code: running out of handles is a
// failed request like any other, not a reason to end the program.
net_exchange* new_exchange(DWORD& error);
// Lets go of one reference; the last one frees the exchange.
void release(net_exchange* x);
// The completion events are set from the status callback only, so a request without
// it would leave its caller waiting for ever.
bool register_status_callback(HINTERNET request, DWORD& error);

inline bool is_aborted(net_exchange* x) {
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
// false on failure, including an abort and a wait that outlasted the stall limit.
bool finish(net_exchange* x, BOOL ok, DWORD& error);

// Waits for the pending step until limit milliseconds after since (GetTickCount64):
// 0 once it has completed, WAIT_TIMEOUT when the time ran out first (the step stays
// pending), ERROR_INTERNET_OPERATION_CANCELLED after a close.
DWORD await_completion(net_exchange* x, ULONGLONG since, DWORD limit);

// The stall limit in milliseconds.
DWORD stall_limit();

// Closes an Internet handle (and with it everything under it) without waiting for the
// platform to wind the connection down.
void close_without_waiting(HINTERNET internet);

// What the platform's own receive time-out is set to: somewhat longer than the stall
// limit, so that it only ever ends a receive the program has already given up on.
DWORD receive_timeout_ms();

void wipe(std::string& text);
