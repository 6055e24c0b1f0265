// Message and error operations against the real system under Wine: the portable
// formatter must agree byte for byte with FormatMessageA on every template the program
// uses, and the error texts must carry the system's own descriptions.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <new>
#include <string>
#include <variant>
#include <vector>

#include "foundation/util.h"
#include "notice_guard.h"

namespace {

using argument = std::variant<const char*, std::int32_t>;

std::string system_format(const char* templ, const std::vector<argument>& args) {
    std::vector<DWORD_PTR> array;
    for (const argument& a : args) {
        if (const char* const* text = std::get_if<const char*>(&a)) {
            array.push_back(reinterpret_cast<DWORD_PTR>(*text));
        } else {
            array.push_back(
                static_cast<DWORD_PTR>(static_cast<INT_PTR>(std::get<std::int32_t>(a))));
        }
    }
    char* buffer = nullptr;
    const DWORD length = FormatMessageA(
        FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_ARGUMENT_ARRAY,
        templ, 0, 0, reinterpret_cast<LPSTR>(&buffer), 0, reinterpret_cast<va_list*>(array.data()));
    if (length == 0) {
        return "<FormatMessageA failed " + std::to_string(GetLastError()) + ">";
    }
    std::string result(buffer, length);
    LocalFree(buffer);
    return result;
}

std::string ours(const char* templ, const std::vector<argument>& args) {
    std::vector<format_arg> list;
    for (const argument& a : args) {
        if (const char* const* text = std::get_if<const char*>(&a)) {
            list.emplace_back(*text);
        } else {
            list.emplace_back(std::get<std::int32_t>(a));
        }
    }
    return format_string_args(templ, list.data(), list.size());
}

struct template_case {
    const char* templ;
    std::vector<argument> args;
};

TEST(FormatStringOnWindows, AgreesWithFormatMessageOnEveryTemplate) {
    const char* path = "C:\\Program Files\\Game\\";
    const std::vector<template_case> cases = {
        {"Quarryvale Downloader %1!s!", {"1234567"}},
        {"Unexpected error: System function %1!s! failed", {"CreateWindowEx"}},
        {"%1!s!: %2!s! (Error %3!d!)", {"Failed to close file", "Access denied.\r\n", 5}},
        {"%1!s!: Error %2!d!", {"Failed to write to file", -2147024891}},
        {"Error %1!d! in network connection", {12029}},
        {"Failed to sign in: %1!s!", {"100% sure %2!d! %%"}},
        {"%1!s!Quarryvale temporary files", {path}},
        {"%1!s!\\%2!s!", {path, "42"}},
        {"%1!s!\\%2!s! ", {path, "42"}},
        {"%1!s!\\%2!s!\\%3!s!", {path, "42", "sub/file.bin"}},
        {"%1!s!/%2!s!/%3!s!", {"C:\\Games", "42", "sub/a.bin"}},
        {"%1!s!\\%2!s!\\launch", {"C:\\Games", "42"}},
        {"%1!s!.%2!d!", {"a.bin", 3}},
        {"%1!s!%2!s!", {"Paused.", " 1.00 MB of 2.00 MB done (50.0%)."}},
        {"Server did not accept the request. (Server replied with HTTP status: %1!d!, expected "
         "%2!d!)",
         {416, 206}},
        {"Server did not accept the request. Check that the computer is connected to the "
         "Internet and that no firewall is blocking this program. (Server replied with HTTP "
         "status: %1!d!, expected 200)",
         {503}},
        {"%1!s!. Check that the computer is connected to the Internet and that no firewall is "
         "blocking this program.",
         {"Error 12029 in network connection"}},
        {"%1!s!. Reconnecting in 5 seconds...", {"The connection was reset"}},
        {"An error has occured while downloading. The download is now paused. You may unpause "
         "the download to try again. Error message: %1!s!",
         {"line one\r\nline two"}},
        {"Downloading %1!s!", {"Big Game"}},
        {"Downloading at %1!s!/s.%2!s! %3!s! remaining.", {"1.50 MB", "", "0:01:05"}},
        {"Failed to create directory %1!s!", {"C:\\Games\\42\\sub"}},
        {"Failed to create file %1!s!", {"C:\\Games\\42\\a.bin"}},
        {"Failed to get size of file %1!s!", {"C:\\Games\\42\\a.bin"}},
        {"Failed to rename file. Source: %1!s!, Target: %2!s!, Error",
         {"C:\\G\\42\\launch", "C:\\G\\42\\setup.exe"}},
        {"Installation finished - %1!s!", {"Big Game"}},
        {"Launching %1!s! installer...", {""}},
        {"%2!d! before %1!s!", {"text", INT32_MIN}},
        {"Recieving response...", {}},
    };
    for (const template_case& c : cases) {
        EXPECT_EQ(ours(c.templ, c.args), system_format(c.templ, c.args)) << c.templ;
    }
}

TEST(SystemErrorOnWindows, LongFormEndsWithTheDescriptionAndTheCode) {
    std::string description;
    char* buffer = nullptr;
    ASSERT_NE(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS |
                                 FORMAT_MESSAGE_ALLOCATE_BUFFER,
                             nullptr, 5, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                             reinterpret_cast<LPSTR>(&buffer), 0, nullptr),
              0u);
    description = buffer;
    LocalFree(buffer);
    ASSERT_GE(description.size(), 2u);
    EXPECT_EQ(description.substr(description.size() - 2), "\r\n");

    EXPECT_EQ(system_error("Failed to close file", 5),
              "Failed to close file: " + description + " (Error 5)");
}

TEST(SystemErrorOnWindows, ShortFormForACodeWithoutDescription) {
    EXPECT_EQ(system_error("Failed to close file", 0x2000BEEF),
              "Failed to close file: Error 536919791");
}

// For death tests only: it returns, so the fatal end that they expect takes place.
int print_notice(const char* text, notice_kind kind) {
    std::fprintf(stderr, "[%s] %s\n", kind == notice_kind::warning ? "warning" : "info", text);
    std::fflush(stderr);
    return IDOK;
}

TEST(SystemAssertOnWindows, NonZeroKeepsTheLastErrorCode) {
    SetLastError(1234);
    system_assert_("GetDC", GetModuleHandleA(nullptr));
    system_assert_("SetTimer", static_cast<UINT_PTR>(1));
    EXPECT_EQ(GetLastError(), 1234u);
}

TEST(SystemAssertOnWindowsDeathTest, ZeroShowsTheSystemDescriptionAndExitsZero) {
    EXPECT_EXIT(
        {
            set_notice_hook(print_notice);
            SetLastError(ERROR_ACCESS_DENIED);
            system_assert_("CreateThread", static_cast<HANDLE>(nullptr));
        },
        testing::ExitedWithCode(0),
        // The description keeps its own line break, so the code stands on a line of its own.
        "\\[warning\\] Unexpected error: System function CreateThread failed: \\w.*\\s+\\(Error "
        "5\\)");
}

TEST(MemoryOnWindowsDeathTest, EveryFailedAllocationShowsTheBoxAndExitsZero) {
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
            my_realloc(my_malloc(8), SIZE_MAX / 2);
        },
        testing::ExitedWithCode(0), expected);
    // The standard library's own allocations end the same way instead of throwing.
    EXPECT_EXIT(
        {
            set_notice_hook(print_notice);
            std::string huge;
            huge.resize(SIZE_MAX / 4);
        },
        testing::ExitedWithCode(0), expected);
    EXPECT_EXIT(
        {
            set_notice_hook(print_notice);
            void* block = ::operator new(SIZE_MAX / 2);
            std::printf("%p\n", block);
        },
        testing::ExitedWithCode(0), expected);
}

} // namespace
