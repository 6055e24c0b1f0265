// The form encoding, the response collection and the ending rule of network error
// texts: the byte-exact parts of signing in that need no network.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "net/error_text.h"
#include "net/form_body.h"

namespace {

TEST(FormEncode, TheExampleFormBody) {
    const query_field fields[] = {{"name", "Anna Berg"}, {"product", "12"}, {nullptr, nullptr}};
    EXPECT_EQ(form_encode(fields), "name=Anna%20Berg&product=12");
}

TEST(FormEncode, EmptyListGivesEmptyBody) {
    const query_field fields[] = {{nullptr, "ignored"}};
    EXPECT_EQ(form_encode(fields), "");
}

TEST(FormEncode, EmptyValueKeepsNameAndEquals) {
    const query_field fields[] = {{"a", ""}, {"b", ""}, {nullptr, nullptr}};
    EXPECT_EQ(form_encode(fields), "a=&b=");
}

TEST(FormEncode, FirstSignInBodyPassesTokenAndProductUnchanged) {
    const query_field fields[] = {{"cookie", "Ab3dE9gH"}, {"product", "4711"}, {nullptr, nullptr}};
    EXPECT_EQ(form_encode(fields), "cookie=Ab3dE9gH&product=4711");
}

TEST(FormEncode, NamesAreNotEscaped) {
    const query_field fields[] = {{"a b&c", "x"}, {nullptr, nullptr}};
    EXPECT_EQ(form_encode(fields), "a b&c=x");
}

TEST(FormEncode, EveryByteByItsClass) {
    // Each byte value 1..255 once, checked against the rule independently computed.
    std::string value;
    for (int byte = 1; byte < 256; ++byte) {
        value += static_cast<char>(byte);
    }
    const query_field fields[] = {{"v", value.c_str()}, {nullptr, nullptr}};
    const std::string body = form_encode(fields);

    std::string expected = "v=";
    for (int byte = 1; byte < 256; ++byte) {
        const bool plain = (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') ||
                           (byte >= '0' && byte <= '9') || byte == '_' || byte == '.' ||
                           byte == '-';
        if (plain) {
            expected += static_cast<char>(byte);
        } else {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%%%02x", byte);
            expected += hex;
        }
    }
    EXPECT_EQ(body, expected);
}

TEST(FormEncode, NamedEscapes) {
    struct {
        const char* value;
        const char* encoded;
    } const cases[] = {
        {" ", "%20"},   {"~", "%7e"}, {"*", "%2a"},    {"&", "%26"},         {"=", "%3d"},
        {"%", "%25"},   {"+", "%2b"}, {"\xe9", "%e9"}, {"\x80", "%80"},      {"\xff", "%ff"},
        {"_.-", "_.-"}, {"/", "%2f"}, {"\x7f", "%7f"}, {"AZaz09", "AZaz09"},
    };
    for (const auto& c : cases) {
        const query_field fields[] = {{"p", c.value}, {nullptr, nullptr}};
        EXPECT_EQ(form_encode(fields), std::string("p=") + c.encoded) << c.value;
    }
}

// Delivers a scripted body in reads of at most `chunk` bytes, then end of body (or a
// failure), and records the sizes it was asked for.
struct scripted_reader {
    std::string body;
    std::size_t chunk = 1000000;
    bool fail_at_end = false;
    std::size_t position = 0;
    std::vector<std::uint32_t> asked;

    static bool read(void* state, char* buffer, std::uint32_t size, std::uint32_t* count) {
        auto& self = *static_cast<scripted_reader*>(state);
        self.asked.push_back(size);
        const std::size_t left = self.body.size() - self.position;
        if (left == 0 && self.fail_at_end) {
            return false;
        }
        const std::size_t n = std::min({left, self.chunk, static_cast<std::size_t>(size)});
        std::memcpy(buffer, self.body.data() + self.position, n);
        self.position += n;
        *count = static_cast<std::uint32_t>(n);
        return true;
    }
};

TEST(ReadWholeBody, ExactlyOneBufferFullDoublesThenEnds) {
    scripted_reader reader;
    reader.body.assign(4096, 'x');
    std::int32_t length = -1;
    char* body = read_whole_body(&scripted_reader::read, &reader, &length);
    ASSERT_NE(body, nullptr);
    EXPECT_EQ(length, 4096);
    EXPECT_EQ(body[4096], '\0');
    // The read that filled the buffer asked for 4096; the next one for the new room.
    EXPECT_EQ(reader.asked, (std::vector<std::uint32_t>{4096, 4096}));
    std::free(body);
}

TEST(ReadWholeBody, OneByteShortOfTheBufferDoesNotGrow) {
    scripted_reader reader;
    reader.body.assign(4095, 'x');
    std::int32_t length = -1;
    char* body = read_whole_body(&scripted_reader::read, &reader, &length);
    ASSERT_NE(body, nullptr);
    EXPECT_EQ(length, 4095);
    EXPECT_EQ(reader.asked, (std::vector<std::uint32_t>{4096, 1}));
    std::free(body);
}

TEST(ReadWholeBody, EmptyBodyIsOnlyTheAddedNul) {
    scripted_reader reader;
    std::int32_t length = -1;
    char* body = read_whole_body(&scripted_reader::read, &reader, &length);
    ASSERT_NE(body, nullptr);
    EXPECT_EQ(length, 0);
    EXPECT_EQ(body[0], '\0');
    std::free(body);
}

TEST(ReadWholeBody, SmallPiecesAndNulBytesAreKeptWhole) {
    scripted_reader reader;
    for (int i = 0; i < 20000; ++i) {
        reader.body += static_cast<char>(i % 7 == 0 ? 0 : 'a' + i % 26);
    }
    reader.chunk = 333;
    std::int32_t length = -1;
    char* body = read_whole_body(&scripted_reader::read, &reader, &length);
    ASSERT_NE(body, nullptr);
    ASSERT_EQ(length, 20000);
    EXPECT_EQ(std::string(body, 20000), reader.body);
    EXPECT_EQ(body[20000], '\0');
    std::free(body);
}

TEST(ReadWholeBody, FailedReadGivesNoResponse) {
    scripted_reader reader;
    reader.body.assign(5000, 'x');
    reader.fail_at_end = true;
    std::int32_t length = -1;
    EXPECT_EQ(read_whole_body(&scripted_reader::read, &reader, &length), nullptr);
}

// Delivers total bytes of 'x' (or without end) in reads as large as asked, and records
// how much it delivered and the largest read it was asked for.
struct endless_reader {
    std::size_t total = SIZE_MAX;
    std::size_t delivered = 0;
    std::uint32_t largest_ask = 0;
    std::uint32_t last_ask = 0;

    static bool read(void* state, char* buffer, std::uint32_t size, std::uint32_t* count) {
        auto& self = *static_cast<endless_reader*>(state);
        self.largest_ask = std::max(self.largest_ask, size);
        self.last_ask = size;
        const std::size_t n = std::min<std::size_t>(size, self.total - self.delivered);
        std::memset(buffer, 'x', n);
        self.delivered += n;
        *count = static_cast<std::uint32_t>(n);
        return true;
    }
};

TEST(ReadWholeBody, AnswersUpToTheBoundAreWholeAndLongerOnesAreStoppedJustPastIt) {
    // Far above any product list, far below 2 GiB.
    EXPECT_EQ(longest_body, std::size_t{64} << 20);
    // A bound that is no power-of-two multiple of the first buffer is met exactly too.
    for (const std::size_t limit : {std::size_t{1} << 20, std::size_t{100000}}) {
        {
            endless_reader reader;
            reader.total = limit;
            std::int32_t length = -1;
            bool too_long = true;
            char* body = read_whole_body(&endless_reader::read, &reader, &length, &too_long, limit);
            ASSERT_NE(body, nullptr) << limit;
            EXPECT_FALSE(too_long);
            EXPECT_EQ(length, static_cast<std::int32_t>(limit));
            EXPECT_EQ(body[limit], '\0');
            // The full buffer does not grow again: one byte more is asked for, to see the end.
            EXPECT_EQ(reader.last_ask, 1u);
            EXPECT_LE(reader.largest_ask, limit / 2);
            std::free(body);
        }
        for (const std::size_t total : {limit + 1, SIZE_MAX}) {
            endless_reader reader;
            reader.total = total;
            std::int32_t length = -1;
            bool too_long = false;
            EXPECT_EQ(read_whole_body(&endless_reader::read, &reader, &length, &too_long, limit),
                      nullptr);
            EXPECT_TRUE(too_long);
            EXPECT_EQ(length, 0);
            EXPECT_EQ(reader.delivered, limit + 1);
            EXPECT_LE(reader.largest_ask, limit / 2);
        }
    }
    // A failed read is no long answer.
    scripted_reader failing;
    failing.body.assign(5000, 'x');
    failing.fail_at_end = true;
    std::int32_t length = -1;
    bool too_long = true;
    EXPECT_EQ(read_whole_body(&scripted_reader::read, &failing, &length, &too_long), nullptr);
    EXPECT_FALSE(too_long);
}

TEST(TrimErrorText, EndingRule) {
    struct {
        const char* in;
        const char* out;
    } const cases[] = {
        {"The server name could not be resolved.\r\n", "The server name could not be resolved"},
        {"No period\r\n", "No period"},
        {"x\r\n", "x"},
        {".\r\n", ""},
        {"\r\n", "\r\n"},
        {"a", "a"},
        {"", ""},
        {"Line feed only.\n", "Line feed only.\n"},
        {"Ends in period.", "Ends in period."},
        {"Two\r\n\r\n", "Two\r\n"},
        {"cr.\rx", "cr"}, // the rule looks only at the carriage return
    };
    for (const auto& c : cases) {
        std::string text = c.in;
        trim_error_text(text);
        EXPECT_EQ(text, c.out) << c.in;
    }
}

TEST(TrimErrorText, UnknownCodeFallback) {
    EXPECT_EQ(unknown_network_error(12345), "Error 12345 in network connection");
    EXPECT_EQ(unknown_network_error(0x80000000u), "Error -2147483648 in network connection");
}

} // namespace
