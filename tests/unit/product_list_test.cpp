#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "download/file_hashes.h"
#include "download/product_list.h"
#include "foundation/names_platform.h"

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

// A body whose installer is called installer and whose files are called names, each
// of size 1; NULs written as such, so that a name may hold "|".
bool parses_names(const std::vector<std::string>& names, const std::string& installer) {
    std::string fields = std::string("quarryvale\0ok\0T\0", 16) + installer + '\0' + "srv";
    for (const std::string& name : names) {
        fields += '\0' + name + '\0' + "1";
    }
    std::vector<char> bytes(fields.begin(), fields.end());
    bytes.push_back('\0');
    product_specification s;
    return parse_product_specification(bytes.data(), fields.size(), s);
}

// Both as a file name and as the installer's name.
void expect_name(const std::string& name, bool storable) {
    EXPECT_EQ(is_storable_name(name.c_str()), storable) << name;
    EXPECT_EQ(parses_names({name}, "setup.exe"), storable) << name;
    EXPECT_EQ(parses_names({"a.bin"}, name), storable) << name;
}

TEST(ProductSpecification, NamesWindowsWouldNotStoreAsWrittenAreMalformed) {
    const char* refused[] = {
        // Outside the product's directory.
        "", "/x", "\\x", "C:x", "a.bin:stream", "..", "../x", "..\\x", "sub/../x", "sub\\..\\..\\x",
        "x/..", "a/b/..", "\\\\srv\\s", "./a", "a/./b",
        // Trimmed by Windows, or empty segments.
        "...", "x..", "a/.../b", "a.", "a ", "a. ", "a /b", "sub./b", "a//b", "a/", "a\\/b",
        // Devices, in any case, with any extension, in any segment.
        "con", "CON", "Prn", "aux", "nul", "NUL.txt", "nul.tar.gz", "NUL .txt", "com1", "COM9",
        "com0", "LPT1", "lpt9.log", "com\xb9", "LPT\xb2.x", "CONIN$", "conout$.txt", "sub/Nul",
        "con/a.bin", "a\\aux\\b", "com1 .a",
        // Characters Windows refuses in names.
        "a<b", "a>b", "a\"b", "a|b", "a?b", "a*", "a\x01", "\x1f", "sub/a\tb", "a\rb"};
    for (const char* name : refused) {
        expect_name(name, false);
    }
    const char* stored[] = {
        "a",     "sub/b.bin", "sub\\b.bin", "..x",  ".hidden",       "a b/c d.e",
        " lead", "con2",      "conx.txt",   "xnul", "com10",         "lpt",
        "CONIN", "com1x.a",   "nul_.txt",   "a$b",  "\xe9t\xe9.ogg", "#[]{}@!^~`'=+,;&%.bin"};
    for (const char* name : stored) {
        expect_name(name, true);
    }
}

TEST(ProductSpecification, NamesThatWouldBeOneFileAreMalformed) {
    // Windows ignores the case of letters and does not tell the slashes apart.
    const std::vector<std::vector<std::string>> refused = {{"a.bin", "b.bin", "a.bin"},
                                                           {"a.bin", "A.BIN"},
                                                           {"sub/a", "SUB\\a"},
                                                           {"x", "x/y.bin"},
                                                           {"X/y.bin", "x"},
                                                           {"x\\y\\z", "q", "X/Y"},
                                                           {"d/e/f", "d/e/f/g/h"},
                                                           {"Data/Z", "data/z/"}};
    for (const auto& names : refused) {
        EXPECT_FALSE(parses_names(names, "setup.exe")) << names[0];
    }
    const std::vector<std::vector<std::string>> accepted = {
        {"x", "x.bin"}, {"x", "xy/z", "x0"}, {"a/b", "a/c", "A/d"}, {"x.y", "x/y"}};
    for (const auto& names : accepted) {
        EXPECT_TRUE(parses_names(names, "setup.exe")) << names[0];
    }
}

// The stand-in reads names in code_page while it lives, then in CP1252 again.
struct reading_in {
    explicit reading_in(const char* code_page) { names_platform::use_code_page(code_page); }
    ~reading_in() { names_platform::use_code_page("CP1252"); }
};

TEST(ProductSpecification, NamesAreJudgedAsReadInTheCodePage) {
    // CP1252: letters beyond ASCII have a case too ("\xc9" is "É", "\x9f" is "Ÿ"), and
    // "\xb2" is the superscript two that makes "LPT²" a device.
    EXPECT_FALSE(parses_names({"\xc9.bin", "\xe9.bin"}, "setup.exe"));
    EXPECT_FALSE(parses_names({"\xff/a", "\x9f"}, "setup.exe"));
    EXPECT_TRUE(parses_names({"\xc9.bin", "\xca.bin", "e.bin"}, "setup.exe"));
    expect_name("lpt\xb2", false);

    // Shift-JIS: 0x5C and 0x7C after a lead byte are halves of a character ("\x83\x5c" is
    // "ソ", "\x95\x5c" is "表", "\x83\x7c..." is "ポイント"), and 0x41 and 0x61 there are
    // no letters: "ア" and "ヂ" are two files, full-width "Ａ" and "ａ" one.
    reading_in shift_jis("CP932");
    for (const char* name : {"\x83\x5c.txt", "\x95\x5c", "d/\x95\x5c\x83\x5c",
                             "\x83\x7c\x83\x43\x83\x93\x83\x67.txt", "lpt\xb2", "\x81\x5f"}) {
        expect_name(name, true);
    }
    EXPECT_TRUE(
        parses_names({"\x83\x41.txt", "\x83\x61.txt", "\x95\x5c/x", "\x95\x5d/x"}, "setup.exe"));
    EXPECT_FALSE(parses_names({"\x82\x60.txt", "\x82\x81.txt"}, "setup.exe"));
    EXPECT_FALSE(parses_names({"\x83\x5c", "\x83\x5c\\a"}, "setup.exe"));
    // A lone 0x5C is still a separator, and a lead byte without its trail byte is no
    // character: Windows would store a substitute.
    for (const char* name : {"\x83\x5c\\", "a\\\\b", "\x83", "a\x83", "\x83/b"}) {
        expect_name(name, false);
    }
}

TEST(ProductSpecification, HostWithAPortOrABlankIsMalformed) {
    for (const char* field : {"https://srv:8443/x", "srv:80", " https://srv", "http:/srv", "srv /p",
                              "s\tv", "https://srv\x7f/p"}) {
        EXPECT_FALSE(parses(std::string("quarryvale|ok|T|setup.exe|") + field + "|a.bin|1"))
            << field;
    }
    EXPECT_TRUE(parses("quarryvale|ok|T|setup.exe|srv/a:b c|a.bin|1"));
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
    // The last name is the first one again, as Windows compares names.
    EXPECT_FALSE(parses(fields + "|DATA\\PART0.BIN|1"));
}

TEST(ProductSpecification, PublishedHashes) {
    const std::string a = "sha256:" + std::string(64, 'a');
    const std::string b = "sha256:e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991B7852B855";
    body with("quarryvale|ok|T|setup.exe|srv|x.bin|3|" + a + "|sub/e.bin|0|" + b);
    product_specification s;
    ASSERT_TRUE(parse(with, s));
    EXPECT_TRUE(s.has_hashes);
    EXPECT_EQ(s.total_size, 3);
    const decltype(files_of(s)) expected = {{"x.bin", 3}, {"sub/e.bin", 0}};
    EXPECT_EQ(files_of(s), expected);
    const std::vector<file_hash> table = published_hashes(s);
    ASSERT_EQ(table.size(), 2u);
    EXPECT_EQ(table[0].published[31], 0xaa);
    // Upper-case digits read the same; an empty file's running hash is the empty digest.
    EXPECT_TRUE(running_hash_matches(table[1]));
    EXPECT_FALSE(running_hash_matches(table[0]));

    // Without hashes nothing changes, and the table is empty.
    body without("quarryvale|ok|T|setup.exe|srv|x.bin|3|sub/e.bin|0");
    ASSERT_TRUE(parse(without, s));
    EXPECT_FALSE(s.has_hashes);
    EXPECT_TRUE(published_hashes(s).empty());

    // Malformed: only some files with one, a digit short or too many, a non-digit, another
    // spelling of the marker (a name with ":"), a hash before any size.
    const std::string head = "quarryvale|ok|T|setup.exe|srv|x.bin|3|";
    EXPECT_FALSE(parses(head + a + "|y.bin|4"));
    EXPECT_FALSE(parses(head + "y.bin|4|" + a));
    EXPECT_FALSE(parses(head + a.substr(0, 70)));
    EXPECT_FALSE(parses(head + a + "0"));
    EXPECT_FALSE(parses(head + "sha256:" + std::string(63, 'a') + "g"));
    EXPECT_FALSE(parses(head + "SHA256:" + std::string(64, 'a')));
    EXPECT_FALSE(parses(head + a + "|" + a));
    EXPECT_FALSE(parses("quarryvale|ok|T|setup.exe|srv|" + a + "|x.bin|3"));
}

} // namespace
