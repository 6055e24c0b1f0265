// The store's file names against the platform's own idea of a path: every name that
// is_storable_name lets through must land, for GetFullPathNameA, inside the product's
// directory under exactly the name written, and never on a device ("\\.\NUL").
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "screens/download_parse.h"

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
    std::string expected = directory + name;
    for (char& c : expected) {
        c = c == '/' ? '\\' : c;
    }
    char full[MAX_PATH * 2];
    const DWORD n = GetFullPathNameA((directory + name).c_str(), sizeof full, full, nullptr);
    ASSERT_TRUE(n > 0 && n < sizeof full) << name;
    EXPECT_EQ(std::string(full, n), expected) << "accepted: \"" << name << "\"";
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

} // namespace
