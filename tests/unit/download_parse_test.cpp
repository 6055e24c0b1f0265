#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "screens/download_parse.h"

namespace {

// A body as the reader keeps it: "|" stands for a NUL between fields, and one more NUL
// follows the last byte received.
struct body {
    explicit body(const std::string& fields) : bytes(fields.begin(), fields.end()) {
        for (char& c : bytes) {
            if (c == '|') {
                c = '\0';
            }
        }
        n = bytes.size();
        bytes.push_back('\0');
    }
    char* data() { return bytes.data(); }
    std::vector<char> bytes;
    std::size_t n;
};

response_outcome judge(const std::string& fields, std::string* message = nullptr) {
    body b(fields);
    const char* text = nullptr;
    const response_outcome outcome = check_envelope(b.data(), b.n, &text);
    if (message != nullptr && text != nullptr) {
        *message = text;
    }
    return outcome;
}

bool parse(body& b, product_specification& s) {
    return parse_product_specification(b.data(), b.n, s);
}

bool parses(const std::string& fields) {
    body b(fields);
    product_specification s;
    return parse(b, s);
}

std::vector<std::pair<std::string, std::int64_t>> files_of(const product_specification& s) {
    std::vector<std::pair<std::string, std::int64_t>> files;
    product_file_cursor cursor(s);
    product_file file;
    while (cursor.next(file)) {
        files.emplace_back(file.name, file.size);
    }
    return files;
}

TEST(Envelope, EveryOutcome) {
    std::string message;
    EXPECT_EQ(judge("quarryvale|not_signed_in"), response_outcome::not_signed_in);
    EXPECT_EQ(judge("quarryvale|error|Your account is locked.", &message), response_outcome::error);
    EXPECT_EQ(message, "Your account is locked.");
    EXPECT_EQ(judge("quarryvale|ok|T|setup.exe|srv"), response_outcome::ok);
    EXPECT_EQ(judge("quarryvale|maybe"), response_outcome::malformed);
    EXPECT_EQ(judge("<html>quarryvale"), response_outcome::not_from_store);
}

TEST(Envelope, LengthsAroundTheMagicAndTheMessage) {
    std::string message = "unchanged";
    EXPECT_EQ(judge(""), response_outcome::not_from_store);
    EXPECT_EQ(judge("quarryval"), response_outcome::not_from_store);
    EXPECT_EQ(judge("quarryvalex|ok"), response_outcome::not_from_store);
    EXPECT_EQ(judge("quarryvale"), response_outcome::malformed);  // n = 10
    EXPECT_EQ(judge("quarryvale|"), response_outcome::malformed); // empty status word
    EXPECT_EQ(judge("quarryvale|error"), response_outcome::malformed);
    EXPECT_EQ(judge("quarryvale|error|", &message), response_outcome::error);
    EXPECT_EQ(message, "");
}

TEST(Envelope, StatusWordsAreExactAndCaseSensitive) {
    EXPECT_EQ(judge("quarryvale|OK|T|x|s"), response_outcome::malformed);
    EXPECT_EQ(judge("quarryvale|ERROR|msg"), response_outcome::malformed);
    EXPECT_EQ(judge("quarryvale|okay|T|x|s"), response_outcome::malformed);
    EXPECT_EQ(judge("quarryvale|not_signed_in_really"), response_outcome::malformed);
}

TEST(ProductSpecification, ServerFieldWithPathAndEmptyList) {
    body b("quarryvale|ok|T|setup.exe|srv/p/x");
    ASSERT_EQ(b.n, 33u);
    product_specification s;
    ASSERT_TRUE(parse(b, s));
    EXPECT_STREQ(s.download_title, "T");
    EXPECT_STREQ(s.download_executable, "setup.exe");
    EXPECT_STREQ(s.request_host, "srv");
    EXPECT_EQ(s.request_path, "/p/x");
    EXPECT_EQ(s.total_size, 0);
    EXPECT_EQ(s.specification_end, b.data() + 33);
    EXPECT_TRUE(files_of(s).empty());
    // Only the first "/" became the host's terminator; the rest of the body is as sent.
    EXPECT_EQ(std::string(b.data() + 26, 7), std::string("srv\0p/x", 7));
}

TEST(ProductSpecification, ServerFieldWithoutPath) {
    body b("quarryvale|ok|T|setup.exe|srv");
    product_specification s;
    ASSERT_TRUE(parse(b, s));
    EXPECT_STREQ(s.request_host, "srv");
    EXPECT_EQ(s.request_path, "/");
}

TEST(ProductSpecification, SchemeOfTheServerField) {
    struct {
        const char* field;
        bool secure;
        const char* host;
        const char* path;
    } const cases[] = {
        {"https://srv/p/x", true, "srv", "/p/x"},      {"HtTpS://srv", true, "srv", "/"},
        {"http://srv/p", false, "srv", "/p"},          {"HTTP://srv/", false, "srv", "/"},
        {"srv/https://x", false, "srv", "/https://x"}, {"httpsrv/p", false, "httpsrv", "/p"},
    };
    for (const auto& c : cases) {
        body b(std::string("quarryvale|ok|T|setup.exe|") + c.field + "|a.bin|1");
        product_specification s;
        ASSERT_TRUE(parse(b, s)) << c.field;
        EXPECT_EQ(s.request_secure, c.secure) << c.field;
        EXPECT_STREQ(s.request_host, c.host) << c.field;
        EXPECT_EQ(s.request_path, c.path) << c.field;
        EXPECT_STREQ(s.first_file, "a.bin") << c.field;
    }
    // No host, with or without a scheme.
    for (const char* field : {"", "/p/x", "https://", "https:///p", "http://", "HTTP:///"}) {
        EXPECT_FALSE(parses(std::string("quarryvale|ok|T|setup.exe|") + field + "|a.bin|1"))
            << field;
    }
}

TEST(ProductSpecification, FileListInStreamOrder) {
    body b("quarryvale|ok|T|setup.exe|srv/p/x|a.bin|100|sub/b.bin|250");
    ASSERT_EQ(b.n, 57u);
    product_specification s;
    ASSERT_TRUE(parse(b, s));
    EXPECT_EQ(s.total_size, 350);
    EXPECT_EQ(s.first_file, b.data() + 34);
    EXPECT_STREQ(s.first_file, "a.bin");
    const decltype(files_of(s)) expected = {{"a.bin", 100}, {"sub/b.bin", 250}};
    EXPECT_EQ(files_of(s), expected);
}

TEST(ProductSpecification, EndOfTheList) {
    // One more NUL gives an empty name without a size.
    EXPECT_FALSE(parses("quarryvale|ok|T|setup.exe|srv/p/x|a.bin|100|sub/b.bin|250|"));
    // A name with a NUL and then the end: its size is the empty text, so 0.
    body b("quarryvale|ok|T|setup.exe|srv|a.bin|100|c.bin|");
    product_specification s;
    ASSERT_TRUE(parse(b, s));
    const decltype(files_of(s)) expected = {{"a.bin", 100}, {"c.bin", 0}};
    EXPECT_EQ(files_of(s), expected);
    EXPECT_EQ(s.total_size, 100);
    // A name without a NUL after it has no size at all.
    EXPECT_FALSE(parses("quarryvale|ok|T|setup.exe|srv|a.bin|100|c.bin"));
}

TEST(ProductSpecification, SizesReadLikeAtoll) {
    body b("quarryvale|ok|T|setup.exe|srv|a|12abc|b|abc|c|  +7|d|-0|e|9223372036854775000");
    product_specification s;
    ASSERT_TRUE(parse(b, s));
    const decltype(files_of(s)) expected = {
        {"a", 12}, {"b", 0}, {"c", 7}, {"d", 0}, {"e", 9223372036854775000}};
    EXPECT_EQ(files_of(s), expected);
    EXPECT_EQ(s.total_size, 9223372036854775019);
}

TEST(ProductSpecification, BodyEndingBeforeTheFixedFieldsIsMalformed) {
    EXPECT_FALSE(parses("quarryvale|ok"));
    EXPECT_FALSE(parses("quarryvale|ok|"));
    EXPECT_FALSE(parses("quarryvale|ok|Title"));
    EXPECT_FALSE(parses("quarryvale|ok|Title|setup.exe"));
    // A server field that lies inside the body but names no host has nothing to ask.
    EXPECT_FALSE(parses("quarryvale|ok|Title|setup.exe|"));
    EXPECT_TRUE(parses("quarryvale|ok|Title|setup.exe|s"));
}

TEST(ProductSpecification, NegativeOrOverflowingSizesAreMalformed) {
    EXPECT_FALSE(parses("quarryvale|ok|T|setup.exe|srv|a|-1"));
    EXPECT_FALSE(parses("quarryvale|ok|T|setup.exe|srv|a|100|b| -5"));
    EXPECT_FALSE(parses("quarryvale|ok|T|setup.exe|srv|a|9223372036854775807|b|1"));
    EXPECT_FALSE(parses("quarryvale|ok|T|setup.exe|srv|a|9223372036854775808"));
    EXPECT_FALSE(parses("quarryvale|ok|T|setup.exe|srv|a|-9223372036854775808"));
    EXPECT_FALSE(parses("quarryvale|ok|T|setup.exe|srv|a|99999999999999999999999"));
}

TEST(ProductSpecification, NamesThatCouldLeaveTheDirectoryAreMalformed) {
    const char* unsafe[] = {"",     "/x",     "\\x",       "C:x",      "a.bin:stream",
                            "..",   "../x",   "..\\x",     "sub/../x", "sub\\..\\..\\x",
                            "x/..", "a/b/..", "\\\\srv\\s"};
    for (const char* name : unsafe) {
        EXPECT_FALSE(parses(std::string("quarryvale|ok|T|setup.exe|srv|") + name + "|1")) << name;
        EXPECT_FALSE(parses(std::string("quarryvale|ok|T|") + name + "|srv")) << name;
    }
    const char* safe[] = {"a", "sub/b.bin", "sub\\b.bin", "...", "..x", "x..", "a/.../b", "./a"};
    for (const char* name : safe) {
        EXPECT_TRUE(parses(std::string("quarryvale|ok|T|setup.exe|srv|") + name + "|1")) << name;
        EXPECT_TRUE(parses(std::string("quarryvale|ok|T|") + name + "|srv")) << name;
    }
}

TEST(ProductSpecification, TenThousandFiles) {
    std::string fields = "quarryvale|ok|Big Game|setup.exe|dl.example/products/1";
    for (int i = 0; i < 10000; ++i) {
        fields += "|data/part" + std::to_string(i) + ".bin|" + std::to_string(i * 1000);
    }
    body b(fields);
    product_specification s;
    ASSERT_TRUE(parse(b, s));
    EXPECT_EQ(s.total_size, 1000LL * 9999 * 10000 / 2);
    const auto files = files_of(s);
    ASSERT_EQ(files.size(), 10000u);
    EXPECT_EQ(files.back(),
              std::make_pair(std::string("data/part9999.bin"), std::int64_t{9999000}));
}

} // namespace
