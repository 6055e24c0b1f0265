// The form query against the local store: the worker's exchange, its outcomes as the
// sign-in screen receives them, and what the store saw. The test's thread plays the
// window's thread; this file's sign_in_query_done stands in for the screen's.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdlib>
#include <string>

#include "net/net.h"
#include "net/query.h"
#include "notice_guard.h"
#include "screens/sign_in.h"
#include "store_fixture.h"

namespace {

using namespace std::chrono_literals;

query_context context;
bool done = false;

} // namespace

void sign_in_query_done() {
    done = true;
}

namespace {

class Query : public testing::Test {
  protected:
    void SetUp() override { done = false; }
    void TearDown() override {
        std::free(context.response);
        context = query_context{};
    }

    // Runs one query with the fields and waits for its completion.
    void run(const query_field* fields) {
        query(&context, fields);
        ASSERT_TRUE(window.pump_until([] { return done; }, 20s)) << "no completion";
        EXPECT_TRUE(context.body.empty());
    }
    void run_token_query() {
        const query_field fields[] = {
            {"cookie", "Ab3dE9gH"}, {"product", "17"}, {nullptr, nullptr}};
        run(fields);
    }
    std::string response() const { return std::string(context.response, context.response_length); }

    test_window window;
};

// A literal with its NULs, without the terminator.
template <std::size_t n> std::string bytes(const char (&text)[n]) {
    return std::string(text, n - 1);
}

const std::string connection_advice =
    ". Check that the computer is connected to the Internet and that no firewall is blocking "
    "this program.";

TEST_F(Query, AcceptedTokenGivesTheWholeResponseAndTheStoreSawTheForm) {
    store_configure(R"({"tokens": ["Ab3dE9gH"],
                        "products": {"17": ["Title", "setup.exe", "localhost/p", "a.bin", "5"]}})");
    run_token_query();
    ASSERT_FALSE(context.error_text) << *context.error_text;
    ASSERT_NE(context.response, nullptr);
    EXPECT_EQ(response(), bytes("quarryvale\0ok\0Title\0setup.exe\0localhost/p\0a.bin\0005"));
    EXPECT_EQ(context.response[context.response_length], '\0');

    const auto requests = store_requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_NE(requests[0].find(R"("method": "POST", "path": "/downloader_sign_in")"),
              std::string::npos)
        << requests[0];
    EXPECT_NE(requests[0].find(R"("body": "cookie=Ab3dE9gH&product=17")"), std::string::npos);
    EXPECT_NE(requests[0].find(R"(["Content-Type", "application/x-www-form-urlencoded"])"),
              std::string::npos);
    EXPECT_NE(requests[0].find(R"("port": 443)"), std::string::npos);

    window.pump();
    EXPECT_PRED1(is_one_request_progress, window.status_texts);
}

TEST_F(Query, PasswordWithAwkwardBytesArrivesIntact) {
    store_configure(R"({"accounts": {"anna": "p w&=%\u00e9+"}})");
    const query_field fields[] = {
        {"name", "anna"}, {"password", "p w&=%\xe9+"}, {"product", "17"}, {nullptr, nullptr}};
    run(fields);
    ASSERT_FALSE(context.error_text);
    // Signed in, but this store sells no product 17.
    EXPECT_EQ(response(), bytes("quarryvale\0error\0This product is not sold here."));
    const auto requests = store_requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_NE(requests[0].find(R"("body": "name=anna&password=p%20w%26%3d%25%e9%2b&product=17")"),
              std::string::npos)
        << requests[0];
    EXPECT_NE(requests[0].find(R"(["password", "p w&=%\u00e9+"])"), std::string::npos)
        << requests[0];
}

TEST_F(Query, StatusOtherThan200FailsWithTheStatusAndNoResponse) {
    for (int status : {404, 500}) {
        done = false;
        store_configure(R"({"force": {"status": )" + std::to_string(status) +
                        R"(, "body": "quarryvale"}})");
        run_token_query();
        ASSERT_TRUE(context.error_text);
        EXPECT_EQ(*context.error_text,
                  "Server did not accept the request. Check that the computer is connected to "
                  "the Internet and that no firewall is blocking this program. (Server replied "
                  "with HTTP status: " +
                      std::to_string(status) + ", expected 200)");
        EXPECT_EQ(context.response, nullptr);
        context.error_text.reset();
    }
}

TEST_F(Query, ConnectionDroppedOrSilentFailsWithoutAPartialResponse) {
    store_configure(R"({"force": {"body": ")" + std::string(30000, 'd') +
                    R"(", "drop_after": 10000}})");
    run_token_query();
    ASSERT_TRUE(context.error_text);
    EXPECT_NE(context.error_text->find(connection_advice), std::string::npos)
        << *context.error_text;
    EXPECT_EQ(context.response, nullptr);

    // A store that stays silent past the stall limit is given up the same way.
    std::free(context.response);
    context = query_context{};
    done = false;
    net_set_stall_limit(1000);
    store_configure(R"({"force": {"stall_before_headers": true, "stall_seconds": 5}})");
    run_token_query();
    net_set_stall_limit(0);
    ASSERT_TRUE(context.error_text);
    EXPECT_EQ(*context.error_text, net_format_error(ERROR_INTERNET_TIMEOUT) + connection_advice);
    EXPECT_EQ(context.response, nullptr);
}

TEST_F(Query, EmptyBodyWith200IsAResponseOfLengthZero) {
    store_configure(R"({"force": {"status": 200, "body": ""}})");
    run_token_query();
    ASSERT_FALSE(context.error_text);
    ASSERT_NE(context.response, nullptr);
    EXPECT_EQ(context.response_length, 0);
    EXPECT_EQ(context.response[0], '\0');
}

TEST_F(Query, NulBytesAndExactBufferSizesAreCountedWhole) {
    for (std::size_t size : {std::size_t{5}, std::size_t{4096}, std::size_t{10000}}) {
        done = false;
        std::string body;
        std::string json;
        for (std::size_t i = 0; i < size; ++i) {
            body += i % 3 == 0 ? '\0' : 'n';
            json += i % 3 == 0 ? "\\u0000" : "n";
        }
        store_configure(R"({"force": {"body": ")" + json + R"("}})");
        run_token_query();
        ASSERT_FALSE(context.error_text) << *context.error_text;
        EXPECT_EQ(context.response_length, static_cast<std::int32_t>(size));
        EXPECT_TRUE(response() == body);
        EXPECT_EQ(context.response[size], '\0');
        std::free(context.response);
        context.response = nullptr;
    }
}

TEST_F(Query, BodyShorterThanItsContentLengthFails) {
    store_configure(R"({"force": {"status": 200, "body": "x", "content_length": 5}})");
    run_token_query();
    ASSERT_TRUE(context.error_text);
    EXPECT_NE(context.error_text->find(connection_advice), std::string::npos);
    EXPECT_EQ(context.response, nullptr);
}

} // namespace
