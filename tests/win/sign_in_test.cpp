// The sign-in screen against the local store, on a stand-in main window that routes
// commands and status texts as the shell does. Boxes are captured through the notice
// hook; the download screen is this file's own download().
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "foundation/util.h"
#include "notice_guard.h"
#include "resources/token_block.h"
#include "screens/download.h"
#include "screens/sign_in.h"
#include "shell/shell_state.h"
#include "store_fixture.h"

namespace {

using namespace std::chrono_literals;

std::vector<std::string> notices;
std::string handed_over;
bool download_started = false;

int record_notice(const char* text, notice_kind) {
    fail_if_fatal(text);
    notices.push_back(text);
    return IDOK;
}

} // namespace

void download(char* response, std::size_t length) {
    current_screen = 1;
    handed_over.assign(response, length);
    download_started = true;
    std::free(response);
}
void download_process_message(unsigned, unsigned) {}
void download_update_status(const char*) {}
void download_stop() {}

namespace {

// The store sells this copy's product.
std::string product() {
    return std::string(R"("products": {")") + product_identifier() +
           R"(": ["T", "setup.exe", "localhost/p", "a", "1"]})";
}

// Each test is one run of the program: the screen's state lives for the process, so
// the form phase is reached once per process. Tests therefore run in one order, as
// a user's session would.
class SignIn : public testing::Test {
  protected:
    static void SetUpTestSuite() {
        window = new test_window;
        window->status_handler = [](const char* text) {
            if (current_screen == 0) {
                sign_in_update_status(text);
            }
        };
        window->command_handler = [](unsigned id, unsigned code) {
            if (current_screen == 0) {
                sign_in_process_message(id, code);
            }
        };
        default_font = static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
        default_font_height = 16;
        set_notice_hook(record_notice);
    }
    static void TearDownTestSuite() {
        set_notice_hook(guard_notice);
        delete window;
    }
    void SetUp() override { notices.clear(); }

    static HWND control(int id) { return GetDlgItem(window->handle(), id); }
    static std::string text_of(HWND control) {
        char text[512] = "";
        GetWindowTextA(control, text, sizeof text);
        return text;
    }
    // The status label is the only control without an identifier to the right of OK.
    static HWND status_label() {
        HWND found = nullptr;
        for (HWND child = GetWindow(window->handle(), GW_CHILD); child != nullptr;
             child = GetWindow(child, GW_HWNDNEXT)) {
            RECT r;
            GetWindowRect(child, &r);
            POINT p{r.left, r.top};
            ScreenToClient(window->handle(), &p);
            if (GetDlgCtrlID(child) == 0 && (p.x == 221 || p.x == 50)) {
                found = child;
            }
        }
        return found;
    }
    static int child_count() {
        int count = 0;
        for (HWND child = GetWindow(window->handle(), GW_CHILD); child != nullptr;
             child = GetWindow(child, GW_HWNDNEXT)) {
            ++count;
        }
        return count;
    }
    // Polls without handling any message, so that nothing queued is handled meanwhile.
    static bool completion_waits_behind_status_texts() {
        const auto end = std::chrono::steady_clock::now() + 20s;
        constexpr UINT both = QS_SENDMESSAGE | QS_POSTMESSAGE;
        while ((HIWORD(GetQueueStatus(both)) & both) != both) {
            if (std::chrono::steady_clock::now() > end) {
                return false;
            }
            Sleep(1);
        }
        return true;
    }
    static bool wait_for_idle_form() {
        return window->pump_until([] { return IsWindowEnabled(control(100)) != 0; }, 20s);
    }
    static void type_and_click(const std::string& name, const std::string& password) {
        SetWindowTextA(control(100), name.c_str());
        SetWindowTextA(control(101), password.c_str());
        window->pump();
        ASSERT_TRUE(IsWindowEnabled(control(102)));
        SendMessageA(window->handle(), WM_COMMAND, MAKEWPARAM(102, BN_CLICKED),
                     reinterpret_cast<LPARAM>(control(102)));
        EXPECT_FALSE(IsWindowEnabled(control(100)));
        EXPECT_FALSE(IsWindowEnabled(control(101)));
        EXPECT_FALSE(IsWindowEnabled(control(102)));
    }

    static test_window* window;
};
test_window* SignIn::window = nullptr;

TEST_F(SignIn, A_RefusedTokenBringsUpTheFormWithoutAnyBox) {
    store_configure("{" + product() + "}");
    current_screen = 0;
    sign_in_init();
    ASSERT_TRUE(window->pump_until([] { return control(100) != nullptr; }, 20s));
    EXPECT_TRUE(notices.empty());
    const auto requests = store_requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_NE(requests[0].find(std::string(R"("body": "cookie=)") + cookie +
                               "&product=" + product_identifier() + "\""),
              std::string::npos)
        << requests[0];

    // The form: OK disabled until both boxes hold text.
    EXPECT_EQ(child_count(), 6);
    EXPECT_FALSE(IsWindowEnabled(control(102)));
    SetWindowTextA(control(100), "anna");
    window->pump();
    EXPECT_FALSE(IsWindowEnabled(control(102)));
    SetWindowTextA(control(101), "pw");
    window->pump();
    EXPECT_TRUE(IsWindowEnabled(control(102)));
    SetWindowTextA(control(100), "");
    window->pump();
    EXPECT_FALSE(IsWindowEnabled(control(102)));

    // Layout in units of the font height (16 here).
    RECT r;
    GetWindowRect(control(102), &r);
    POINT p{r.left, r.top};
    ScreenToClient(window->handle(), &p);
    EXPECT_EQ(p.x, 17);
    EXPECT_EQ(p.y, 4 * 16 + 73);
    EXPECT_EQ(r.bottom - r.top, 16 + 14);
    EXPECT_NE(GetWindowLongA(control(101), GWL_STYLE) & ES_PASSWORD, 0);
}

TEST_F(SignIn, B_WrongPasswordKeepsTheBoxesAndClearsTheStatus) {
    store_configure(R"({"accounts": {"anna": "right"}, )" + product() + "}");
    type_and_click("anna", "wrong");
    // Hold the window's thread until the worker waits for its completion to be handled,
    // with progress texts still queued in front of it: sent messages overtake posted
    // ones, and none of those texts may land in the label after the completion has
    // cleared it.
    ASSERT_TRUE(completion_waits_behind_status_texts());
    ASSERT_TRUE(wait_for_idle_form());
    EXPECT_EQ(notices, std::vector<std::string>{"Wrong user name/password"});
    EXPECT_EQ(text_of(control(100)), "anna");
    EXPECT_EQ(text_of(control(101)), "wrong");
    EXPECT_TRUE(IsWindowEnabled(control(102)));
    window->pump();
    EXPECT_EQ(text_of(status_label()), "");
}

TEST_F(SignIn, C_ServerMessagesAndMalformedAnswers) {
    struct {
        std::string force;
        std::string notice;
    } const cases[] = {
        {R"("body": "quarryvale\u0000error\u0000Your account is locked.")",
         "Your account is locked."},
        {R"("body": "quarryvale\u0000error\u0000")", ""},
        {R"("body": "quarryvale\u0000error")",
         "Failed to sign in. The server sent a response that this program cannot understand."},
        {R"("body": "quarryvale\u0000OK\u0000x")",
         "Failed to sign in. The server sent a response that this program cannot understand."},
        {R"("body": "quarryvale\u0000")",
         "Failed to sign in. The server sent a response that this program cannot understand."},
        {R"("body": "quarryvale")",
         "Failed to sign in. The server sent a response that this program cannot understand."},
        // A list in every other way, but one byte longer than any answer is taken, and
        // with no length announced: read to one byte past the bound, no further.
        {R"("body": "quarryvale\u0000ok\u0000T\u0000s\u0000localhost/p\u0000a\u00001",
            "pad_to": 67108865, "content_length": null)",
         "Failed to sign in. The server sent a response that this program cannot understand."},
        {R"("body": "quarryvalex\u0000ok")",
         "Failed to sign in. Invalid response from server. Check that your computer is connected "
         "to the internet."},
        {R"("body": "")", "Failed to sign in. Invalid response from server. Check that your "
                          "computer is connected to the internet."},
        {R"("status": 500, "body": "quarryvale")",
         "Failed to sign in: Server did not accept the request. Check that the computer is "
         "connected to the Internet and that no firewall is blocking this program. (Server "
         "replied with HTTP status: 500, expected 200)"},
    };
    for (const auto& c : cases) {
        notices.clear();
        store_configure(R"({"force": {)" + c.force + "}}");
        type_and_click("anna", "pw");
        ASSERT_TRUE(wait_for_idle_form()) << c.force;
        EXPECT_EQ(notices, std::vector<std::string>{c.notice}) << c.force;
    }
}

TEST_F(SignIn, D_DroppedConnectionIsAFailureWithTheNetworkText) {
    store_configure(R"({"force": {"body": "quarryvale\u0000ok\u0000T\u0000s\u0000h\u0000a\u00001",
                                  "content_length": 40, "drop_after": 10}})");
    type_and_click("anna", "pw");
    ASSERT_TRUE(wait_for_idle_form());
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_EQ(notices[0].rfind("Failed to sign in: ", 0), 0u) << notices[0];
    EXPECT_NE(notices[0].find("Check that the computer is connected"), std::string::npos);
    EXPECT_FALSE(download_started);
}

TEST_F(SignIn, E_LongNameIsCutAndAwkwardPasswordArrivesIntact) {
    const std::string password = "a b&c=d%e\xe9\xff";
    store_configure(std::string(R"({"accounts": {")") + std::string(99, 'n') +
                    R"(": "a b&c=d%e\u00e9\u00ff"}, )" + product() + "}");
    type_and_click(std::string(150, 'n'), password);
    ASSERT_TRUE(window->pump_until([] { return download_started; }, 20s));
    const auto requests = store_requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_NE(requests[0].find("name=" + std::string(99, 'n') + "&password="), std::string::npos)
        << requests[0];
    EXPECT_NE(requests[0].find(R"(["password", "a b&c=d%e\u00e9\u00ff"])"), std::string::npos)
        << requests[0];
    EXPECT_NE(requests[0].find(std::string(R"(["product", ")") + product_identifier() + "\"]"),
              std::string::npos);

    // "ok": the screen is gone and the download got the whole response.
    EXPECT_TRUE(notices.empty());
    EXPECT_EQ(child_count(), 0);
    const char expected[] = "quarryvale\0ok\0T\0setup.exe\0localhost/p\0a\0"
                            "1";
    EXPECT_EQ(handed_over, std::string(expected, sizeof expected - 1));
}

} // namespace
