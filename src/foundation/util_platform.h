// What the message and error operations need from the operating system. util.cpp is
// portable; util_win.cpp answers these with Win32, util_posix.cpp for the native tests.
#pragma once

#include <cstdint>
#include <string>

#include "foundation/util.h"

namespace util_platform {

// The system's description of an error code, exactly as the system gives it; false
// when it has none.
bool describe_error(std::uint32_t code, std::string& description);

// The calling thread's last error code.
std::uint32_t last_error();

// A modal box owned by the main window (when it exists), blocking this thread only.
int show_box(const char* text, notice_kind kind);

} // namespace util_platform
