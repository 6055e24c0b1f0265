// The store's file names against the platform's own idea of a path: every name that
// is_storable_name lets through must land, read in the ANSI code page as the A functions
// read it, inside the product's directory under exactly the name written (for
// GetFullPathNameW), and never on a device ("\\.\NUL"); two names are one file for the
// parse exactly when CompareStringOrdinal, ignoring case, finds them equal. Run in
// code page 1252 and again in 932 (Shift-JIS), where a character's second byte may be
// 0x5C or 0x7C.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "download/product_list.h"
#include "foundation/names_platform.h"
#include "foundation/path_win.h"

namespace {

constexpr const char* directory = "C:\\qv\\p\\";

struct tally {
    int accepted = 0;
    int refused = 0;
};

void check(const std::string& name, tally& counts) {
    if (!is_storable_name(name.c_str())) {
        ++counts.refused;
        return;
    }
    ++counts.accepted;
    const std::wstring path = widen(directory + name);
    ASSERT_FALSE(path.empty()) << name;
    std::wstring expected = path;
    for (wchar_t& c : expected) {
        c = c == L'/' ? L'\\' : c;
    }
    wchar_t full[MAX_PATH * 2];
    const DWORD n = GetFullPathNameW(path.c_str(), MAX_PATH * 2, full, nullptr);
    ASSERT_TRUE(n > 0 && n < MAX_PATH * 2) << name;
    EXPECT_EQ(std::wstring(full, n), expected) << "accepted: \"" << name << "\"";
}

// Both names in one list: the parse refuses it when they would be one file.
bool one_file_for_the_parse(const std::string& a, const std::string& b) {
    std::string fields = std::string("quarryvale\0ok\0T\0setup.exe\0srv\0", 30) + a +
                         std::string("\0001\0", 3) + b + std::string("\0001", 2);
    std::vector<char> bytes(fields.begin(), fields.end());
    bytes.push_back('\0');
    product_specification s;
    return !parse_product_specification(bytes.data(), fields.size(), s);
}

// Every pair of storable one-segment names from alphabet (up to two characters): one
// file exactly when Windows compares them equal.
void expect_clashes_as_windows_compares(const std::vector<std::string>& alphabet) {
    std::vector<std::string> names;
    for (const std::string& a : alphabet) {
        for (const std::string& b : alphabet) {
            for (const std::string& name : {a, a + b}) {
                if (name.find_first_of("/\\") == std::string::npos &&
                    is_storable_name(name.c_str())) {
                    names.push_back(name);
                }
            }
        }
    }
    int clashes = 0;
    for (const std::string& a : names) {
        for (const std::string& b : names) {
            const std::wstring wa = widen(a), wb = widen(b);
            const bool same =
                CompareStringOrdinal(wa.c_str(), static_cast<int>(wa.size()), wb.c_str(),
                                     static_cast<int>(wb.size()), TRUE) == CSTR_EQUAL;
            EXPECT_EQ(one_file_for_the_parse(a, b), same) << a << " and " << b;
            clashes += same && a != b;
        }
    }
    EXPECT_GT(clashes, 0); // or the alphabet has no case in it
}

// The code page this run must read names in; 0 for whichever the process has.
UINT required_code_page() {
    const char* code_page = std::getenv("QV_REQUIRED_CODE_PAGE");
    return code_page != nullptr ? static_cast<UINT>(std::atoi(code_page)) : 0;
}

// Every string of 1 to length characters from alphabet, each passed to visit.
template <typename Visit>
void every_string(const std::vector<std::string>& alphabet, int length, Visit visit) {
    std::vector<std::string> level = {""};
    for (int i = 0; i < length; ++i) {
        std::vector<std::string> next;
        for (const std::string& s : level) {
            for (const std::string& c : alphabet) {
                next.push_back(s + c);
                visit(next.back());
            }
        }
        level.swap(next);
    }
}

TEST(StorableName, EveryAcceptedNameLandsInsideTheDirectoryAsWritten) {
    if (required_code_page() != 0) {
        ASSERT_EQ(GetACP(), required_code_page());
    }
    tally counts;
    // Exhaustive short names from the characters that make trouble, and longer ones from
    // those that make segments.
    every_string({".", " ", "/", "\\", ":", "a", "B", "<", "?", "*", "\x01"}, 5,
                 [&](const std::string& name) { check(name, counts); });
    every_string({".", " ", "/", "\\", "a", "B"}, 7,
                 [&](const std::string& name) { check(name, counts); });
    // Device stems in every segment, with extensions, blanks and dots after them.
    const char* stems[] = {"con",  "CON",     "prn",     "Aux",   "nul",    "NUL",
                           "com1", "COM9",    "lpt1",    "lpt9",  "conin$", "CONOUT$",
                           "com0", "lpt\xb9", "COM\xb2", "clock$"};
    const char* before[] = {"", "a/", "b\\", "con/"};
    for (const char* stem : stems) {
        for (const char* prefix : before) {
            const std::string head = std::string(prefix) + stem;
            check(head, counts);
            every_string({".", " ", "a", "/", "\\", ":", "1"}, 3,
                         [&](const std::string& tail) { check(head + tail, counts); });
        }
    }
    // Neither half may be empty, or the test proves nothing.
    EXPECT_GT(counts.accepted, 20000);
    EXPECT_GT(counts.refused, 400000);
    std::printf("%d names accepted, %d refused\n", counts.accepted, counts.refused);
}

TEST(StorableName, NamesInTheCodePageLandAsWrittenAndClashAsWindowsCompares) {
    if (required_code_page() != 0) {
        ASSERT_EQ(GetACP(), required_code_page());
    }
    if (GetACP() == 1252) {
        // "É" and "é", "ÿ" and "Ÿ" (0x9F), "µ"; "ƒ" (0x83) has its upper case outside.
        expect_clashes_as_windows_compares(
            {"a", "A", "\xc9", "\xe9", "\xff", "\x9f", "\xb5", "\x83"});
        return;
    }
    if (GetACP() != 932) {
        GTEST_SKIP() << "code page " << GetACP();
    }
    // Characters whose second byte is "\\" (ソ, 表) or "|" (ポ), or a Latin letter (ア, ヂ);
    // full-width Ａ and ａ, "＼" and the ideographic space; half-width ｱ; a lead byte on
    // its own; and the single bytes that make segments.
    const std::vector<std::string> alphabet = {
        "\x83\x5c", "\x95\x5c", "\x83\x7c", "\x83\x41", "\x83\x61", "\x82\x60",
        "\x82\x81", "\x81\x5f", "\x81\x40", "\xb1",     "\x83",     "\\",
        "/",        ".",        " ",        "a",        "|"};
    tally counts;
    every_string(alphabet, 4, [&](const std::string& name) { check(name, counts); });
    for (const char* stem : {"con", "LPT1", "nul", "com\xb2"}) {
        every_string({".", " ", "\x83\x5c", "\\", "\x81\x40"}, 3,
                     [&](const std::string& tail) { check(stem + tail, counts); });
    }
    EXPECT_TRUE(is_storable_name("\x83\x5c.txt"));
    EXPECT_TRUE(is_storable_name("\x83\x7c\x83\x43\x83\x93\x83\x67.txt"));
    EXPECT_GT(counts.accepted, 10000);
    EXPECT_GT(counts.refused, 10000);
    std::printf("code page 932: %d names accepted, %d refused\n", counts.accepted, counts.refused);
    expect_clashes_as_windows_compares(
        {"a", "A", "\x83\x41", "\x83\x61", "\x82\x60", "\x82\x81", "\x83\x5c", "\xb1"});
}

TEST(StorableName, UpperCaseIsHowCompareStringOrdinalIgnoresCase) {
    // Every unit of the basic plane but the surrogates: its upper case is the same name
    // for the comparison, and so is its lower case, which must then share that upper case.
    for (wchar_t c = 1; c != 0; ++c) {
        if (c >= 0xD800 && c <= 0xDFFF) {
            continue;
        }
        std::u16string upper(1, static_cast<char16_t>(c));
        names_platform::upper_case(upper);
        const wchar_t u = static_cast<wchar_t>(upper[0]);
        ASSERT_EQ(CompareStringOrdinal(&c, 1, &u, 1, TRUE), CSTR_EQUAL)
            << std::hex << static_cast<int>(c);
        wchar_t lower = c;
        ASSERT_EQ(LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_LOWERCASE, &c, 1, &lower, 1, nullptr,
                                nullptr, 0),
                  1);
        std::u16string of_lower(1, static_cast<char16_t>(lower));
        names_platform::upper_case(of_lower);
        if (CompareStringOrdinal(&c, 1, &lower, 1, TRUE) == CSTR_EQUAL) {
            ASSERT_EQ(static_cast<int>(of_lower[0]), static_cast<int>(u))
                << std::hex << static_cast<int>(c);
        }
    }
}

} // namespace
