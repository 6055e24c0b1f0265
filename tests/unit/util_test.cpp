#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <new>

#include "../win/notice_guard.h"
#include "foundation/util.h"

// Huge requests must come back as null so that our own handling of them is exercised.
extern "C" const char* __asan_default_options() {
    return "allocator_may_return_null=1";
}

namespace {

// For death tests only: it returns, so the fatal end that they expect takes place.
int print_notice(const char* text, notice_kind kind) {
    std::fprintf(stderr, "[%s] %s\n", kind == notice_kind::warning ? "warning" : "info", text);
    return 1;
}

TEST(FormatString, InsertedTextIsNeverScannedAgain) {
    EXPECT_EQ(format_string("%1!s!: Error %2!d!", "Failed to write to file", 5),
              "Failed to write to file: Error 5");
    EXPECT_EQ(format_string("<%1!s!>", "100% %2!d! %%"), "<100% %2!d! %%>");
    EXPECT_EQ(format_string("%1!s!%2!s!", "%2!s!", "x"), "%2!s!x");
}

TEST(FormatString, NumbersAreSignedDecimal) {
    EXPECT_EQ(format_string("Error %1!d! in network connection", -5),
              "Error -5 in network connection");
    EXPECT_EQ(format_string("%1!d!", INT32_MIN), "-2147483648");
    EXPECT_EQ(format_string("%1!d!", INT32_MAX), "2147483647");
    EXPECT_EQ(format_string("%1!d!", 0), "0");
    // An error code with the top bit set, as the system reports some.
    EXPECT_EQ(format_string("%1!d!", static_cast<std::int32_t>(0x80070005u)), "-2147024891");
}

TEST(FormatString, PathJoinsKeepEveryBackslash) {
    EXPECT_EQ(format_string("%1!s!\\%2!s!\\%3!s!", "C:\\Games", "42", "a.bin"),
              "C:\\Games\\42\\a.bin");
    EXPECT_EQ(format_string("%1!s!\\%2!s!\\%3!s!", "C:\\", "42", "a.bin"), "C:\\\\42\\a.bin");
    EXPECT_EQ(format_string("%1!s!\\%2!s!\\launch", "", "7"), "\\7\\launch");
}

TEST(FormatString, ArgumentsAreTakenByNumber) {
    EXPECT_EQ(format_string("%2!s!-%1!d!-%2!s!", 3, "b"), "b-3-b");
    EXPECT_EQ(format_string("%3!s!%1!s!%2!s!", "a", "b", "c"), "cab");
}

TEST(FormatString, LiteralTextAroundInserts) {
    EXPECT_EQ(format_string("line one\r\nline %1!d!\n", 2), "line one\r\nline 2\n");
    EXPECT_EQ(format_string("%1!s!.%2!d!", "file", 3), "file.3");
    EXPECT_EQ(
        format_string("Downloading at %1!s!/s.%2!s! %3!s! remaining.", "1.00 MB", "", "0:00:05"),
        "Downloading at 1.00 MB/s. 0:00:05 remaining.");
    EXPECT_EQ(format_string("no inserts at all"), "no inserts at all");
    EXPECT_EQ(format_string(""), "");
}

TEST(FormatString, MalformedOrUnmatchedInsertsStayLiteral) {
    EXPECT_EQ(format_string("100%"), "100%");
    EXPECT_EQ(format_string("%1!x! %1 %!s! %1!s"), "%1!x! %1 %!s! %1!s");
    EXPECT_EQ(format_string("%2!s!", "only one"), "%2!s!");
    EXPECT_EQ(format_string("%1!d!", "text for a number"), "%1!d!");
    EXPECT_EQ(format_string("%99999999999!s!", "x"), "%99999999999!s!");
}

TEST(SystemError, ShortFormWithoutLineBreakWhenNoDescription) {
    // The native build knows no descriptions, so every code takes the short form.
    EXPECT_EQ(system_error("Failed to close file", 5), "Failed to close file: Error 5");
    EXPECT_EQ(system_error("x", 0xFFFFFFFFu), "x: Error -1");
}

TEST(SystemAssert, NonZeroChangesNothing) {
    errno = 1234;
    int object = 0;
    system_assert_("CreateWindowEx", &object);
    system_assert_("SetTimer", 1u);
    system_assert_("GetMessage", -1);
    EXPECT_EQ(errno, 1234);
}

TEST(SystemAssertDeathTest, ZeroShowsTheFunctionAndEndsWithCodeZero) {
    EXPECT_EXIT(
        {
            set_notice_hook(print_notice);
            errno = 5;
            system_assert_("CreateThread", nullptr);
        },
        testing::ExitedWithCode(0),
        "\\[warning\\] Unexpected error: System function CreateThread failed: Error 5");
}

TEST(MemoryDeathTest, FailedAllocationsShowTheBoxAndExitZero) {
    const char* expected = "\\[warning\\] Error: Failed to allocate memory\\.";
    EXPECT_EXIT(
        {
            set_notice_hook(print_notice);
            my_malloc(SIZE_MAX / 2);
        },
        testing::ExitedWithCode(0), expected);
    EXPECT_EXIT(
        {
            set_notice_hook(print_notice);
            void* block = my_malloc(16);
            my_realloc(block, SIZE_MAX / 2);
        },
        testing::ExitedWithCode(0), expected);
}

TEST(Memory, SucceedingAllocationsKeepContents) {
    char* copy = my_strdup("quarryvale");
    EXPECT_STREQ(copy, "quarryvale");
    copy = static_cast<char*>(my_realloc(copy, 4096));
    EXPECT_STREQ(copy, "quarryvale");
    std::free(copy);
    char* empty = my_strdup("");
    EXPECT_STREQ(empty, "");
    std::free(empty);
}

} // namespace
