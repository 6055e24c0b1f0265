// A fatal check or a failed allocation shows its box and ends the program with exit
// code 0, which a test runner takes for success, with the rest of the test program
// unrun. So every test program starts with a hook that lets ordinary boxes through to
// standard error but ends the program with code 4 on a fatal one, and every hook a test
// installs of its own calls fail_if_fatal. Death tests that expect the fatal end install
// a hook that returns, in the child that gtest starts for them.
//
// Header only, so that the native unit tests can share it: including it in one file of
// a test program installs the guard for the whole program.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "foundation/util.h"

inline bool is_fatal_notice(const char* text) {
    return std::strncmp(text, "Unexpected error: System function ", 34) == 0 ||
           std::strcmp(text, "Error: Failed to allocate memory.") == 0;
}

inline void fail_if_fatal(const char* text) {
    if (is_fatal_notice(text)) {
        std::fflush(stdout);
        std::fprintf(stderr, "unexpected fatal box: %s\n", text);
        std::fflush(stderr);
        std::_Exit(4);
    }
}

inline int guard_notice(const char* text, notice_kind kind) {
    std::fprintf(stderr, "[%s] %s\n", kind == notice_kind::warning ? "warning" : "info", text);
    std::fflush(stderr);
    fail_if_fatal(text);
    return 1;
}

class notice_guard : public testing::Environment {
  public:
    void SetUp() override { set_notice_hook(guard_notice); }
};

inline testing::Environment* const installed_notice_guard =
    testing::AddGlobalTestEnvironment(new notice_guard);
