// The form query: posts form fields to the store's sign-in endpoint over HTTPS on a
// worker thread of its own, collects the whole response and hands control back to the
// sign-in screen on the window's thread.
#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>

#include "net/form_body.h"
#include "net/net.h"

// The record of one query. Until the completion runs only the worker writes it; the
// completion owns error_text and response.
struct query_context {
    std::optional<std::string> error_text; // set when the query failed
    std::string body;                      // the encoded form, wiped once sent
    char* response = nullptr;              // body bytes and an added NUL (my_malloc)
    std::int32_t response_length = 0;      // the added NUL not counted
    bool response_too_long = false;        // the answer passed longest_body: no response
};

// Encodes the fields (they may die when this returns) and starts the worker.
void query(query_context* context, const query_field* fields);

// The completion of every query, run on the window's thread while the query's worker
// waits. The sign-in screen, the one that asks, defines it; tests of the query link
// their own.
void sign_in_query_done();
