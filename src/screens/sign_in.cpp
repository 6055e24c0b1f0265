// The sign-in screen: signs in with the token built into this copy, and when the store
// refuses it, with an account name and password typed into a small form, as often as
// the user tries. On "ok" it hands the whole response to the download screen.
//
// Everything here runs on the window's thread; the query's worker reaches it only
// through sign_in_query_done, while it waits in call_in_main_thread.
#include "screens/sign_in.h"

#include <windows.h>

#include <cstdlib>

#include "download/product_list.h"
#include "foundation/util.h"
#include "net/query.h"
#include "resources/resource.h"
#include "resources/token_block.h"
#include "screens/download.h"
#include "shell/main_thread.h"

namespace {

constexpr DWORD label_style = WS_CHILD | WS_VISIBLE;
constexpr DWORD entry_style = WS_CHILD | WS_VISIBLE | WS_TABSTOP;
constexpr DWORD button_style = WS_CHILD | WS_VISIBLE | WS_DISABLED | WS_TABSTOP | BS_DEFPUSHBUTTON;

// 0 until the form is first shown, then 1 for the rest of the run.
int form = 0;
// The screen's one query record (the type shares its name in the store's vocabulary).
// Never destroyed: the query's worker may still be writing it while the process ends.
query_context& sign_in_query = *new query_context;

HWND user_name_label = nullptr;
HWND user_name_entry = nullptr;
HWND password_label = nullptr;
HWND password_entry = nullptr;
HWND ok_button = nullptr;
HWND status_label = nullptr;

void show_form() {
    form = 1;
    const int h = default_font_height;
    const HFONT f = default_font;
    user_name_label = create_control("STATIC", "Account name:", label_style, 17, 41, 200, h, 0, f);
    user_name_entry = create_control("EDIT", "", entry_style, 17, h + 43, 200, h + 8, IDC_USER_NAME,
                                     f, WS_EX_CLIENTEDGE);
    password_label =
        create_control("STATIC", "Password:", label_style, 17, 2 * h + 57, 200, h, 0, f);
    password_entry = create_control("EDIT", "", entry_style | ES_PASSWORD, 17, 3 * h + 59, 200,
                                    h + 8, IDC_PASSWORD, f, WS_EX_CLIENTEDGE);
    ok_button = create_control("BUTTON", "OK", button_style, 17, 4 * h + 73, 200, h + 14,
                               IDC_SIGN_IN_OK, f);
    status_label = create_control("STATIC", "", label_style, 221, 4 * h + 80, 200, h, 0, f);
}

void hide() {
    if (form == 1) {
        for (HWND control :
             {user_name_label, user_name_entry, password_label, password_entry, ok_button}) {
            DestroyWindow(control);
        }
    }
    DestroyWindow(status_label);
}

void set_form_enabled(BOOL enabled) {
    EnableWindow(user_name_entry, enabled);
    EnableWindow(password_entry, enabled);
    EnableWindow(ok_button, enabled);
}

void start_form_query() {
    set_form_enabled(FALSE);
    char name[100];
    char password[100];
    GetWindowTextA(user_name_entry, name, sizeof name);
    GetWindowTextA(password_entry, password, sizeof password);
    const query_field fields[] = {{"name", name},
                                  {"password", password},
                                  {"product", product_identifier()},
                                  {nullptr, nullptr}};
    query(&sign_in_query, fields);
    // The query keeps its own encoded copy, which it wipes once sent.
    SecureZeroMemory(password, sizeof password);
    SecureZeroMemory(name, sizeof name);
}

} // namespace

void sign_in_init() {
    current_screen = 0;
    status_label = create_control("STATIC", "", label_style, 50, 79, 200, default_font_height, 0,
                                  default_font);
    const query_field fields[] = {
        {"cookie", cookie}, {"product", product_identifier()}, {nullptr, nullptr}};
    query(&sign_in_query, fields);
}

void sign_in_process_message(unsigned id, unsigned code) {
    if (form != 1) {
        return;
    }
    if ((id == IDC_USER_NAME || id == IDC_PASSWORD) && code == EN_CHANGE) {
        const bool both =
            GetWindowTextLengthA(user_name_entry) != 0 && GetWindowTextLengthA(password_entry) != 0;
        EnableWindow(ok_button, both ? TRUE : FALSE);
    } else if (id == IDC_SIGN_IN_OK && code == BN_CLICKED && IsWindowEnabled(ok_button)) {
        // A click can only come from an enabled button; a forged one while a query runs
        // would start a second worker on the same record.
        start_form_query();
    }
}

void sign_in_update_status(const char* text) {
    SetWindowTextA(status_label, text);
}

void sign_in_query_done() {
    handle_queued_status();
    char* const response = sign_in_query.response;
    const std::size_t length = static_cast<std::size_t>(sign_in_query.response_length);

    if (sign_in_query.error_text) {
        show_info(format_string("Failed to sign in: %1!s!", *sign_in_query.error_text).c_str());
        sign_in_query.error_text.reset();
    } else {
        const char* message = nullptr;
        // An answer longer than any product list is read no further: malformed.
        const response_outcome outcome =
            response != nullptr               ? check_envelope(response, length, &message)
            : sign_in_query.response_too_long ? response_outcome::malformed
                                              : response_outcome::not_from_store;
        switch (outcome) {
        case response_outcome::not_from_store:
            show_info("Failed to sign in. Invalid response from server. Check that your computer "
                      "is connected to the internet.");
            break;
        case response_outcome::malformed:
            show_info("Failed to sign in. The server sent a response that this program cannot "
                      "understand.");
            break;
        case response_outcome::not_signed_in:
            if (form == 1) {
                show_info("Wrong user name/password");
            }
            break;
        case response_outcome::error:
            show_info(message);
            break;
        case response_outcome::ok:
            sign_in_query.response = nullptr;
            sign_in_query.response_length = 0;
            hide();
            download(response, length);
            return;
        }
    }

    std::free(response);
    sign_in_query.response = nullptr;
    sign_in_query.response_length = 0;
    if (form == 1) {
        set_form_enabled(TRUE);
        SetWindowTextA(status_label, "");
    } else {
        hide();
        show_form();
    }
}
