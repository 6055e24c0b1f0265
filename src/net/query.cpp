// The form query's worker and its exchange with the store.
#include "net/query.h"

#include <cstdlib>

#include "foundation/util.h"
#include "shell/main_thread.h"

namespace {

constexpr const char* sign_in_path = "/downloader_sign_in";
constexpr const char* form_header = "Content-Type: application/x-www-form-urlencoded";
constexpr const char* connection_advice = "%1!s!. Check that the computer is connected to the "
                                          "Internet and that no firewall is blocking this program.";
constexpr const char* status_advice =
    "Server did not accept the request. Check that the computer is connected to the Internet and "
    "that no firewall is blocking this program. (Server replied with HTTP status: %1!d!, expected "
    "200)";

// The body may hold a password: wipe it before its memory goes back.
void wipe_body(query_context* context) {
    if (!context->body.empty()) {
        SecureZeroMemory(context->body.data(), context->body.size());
    }
    context->body.clear();
    context->body.shrink_to_fit();
}

bool read_piece(void* state, char* buffer, std::uint32_t size, std::uint32_t* count) {
    return net_read(static_cast<net_context*>(state), buffer, size, count) == 0;
}

void inet_error(query_context* context, const net_context* net) {
    context->error_text = format_string(connection_advice, net_format_error(net->error_code));
}

void query_internal(query_context* context) {
    context->error_text.reset();
    context->response = nullptr;
    context->response_length = 0;
    context->response_too_long = false;

    net_context net;
    const int failed = net_request(&net, 1, "POST", QV_STORE_HOST, sign_in_path, form_header,
                                   context->body.c_str());
    wipe_body(context);
    if (failed) {
        inet_error(context, &net);
        return;
    }
    if (net.status_code != 200) {
        net_close(&net);
        context->error_text =
            format_string(status_advice, static_cast<std::int32_t>(net.status_code));
        return;
    }
    context->response =
        read_whole_body(read_piece, &net, &context->response_length, &context->response_too_long);
    if (context->response_too_long) {
        net_close(&net); // the rest of the answer is not wanted
        return;
    }
    if (context->response == nullptr) {
        inet_error(context, &net);
        return;
    }
    net_close(&net);
}

DWORD WINAPI thread_proc(LPVOID parameter) {
    query_internal(static_cast<query_context*>(parameter));
    call_in_main_thread(sign_in_query_done);
    return 0;
}

} // namespace

void query(query_context* context, const query_field* fields) {
    context->body = form_encode(fields);
    const HANDLE thread = CreateThread(nullptr, 0, thread_proc, context, 0, nullptr);
    system_assert_("CreateThread", thread);
    CloseHandle(thread);
}
