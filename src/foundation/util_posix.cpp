// The native stand-ins for the system's services, used by the unit tests and fuzzers:
// Windows error codes mean nothing here, so no code has a description, and a notice is
// written to standard error.
#include <cerrno>
#include <cstdio>

#include "foundation/util_platform.h"

namespace util_platform {

bool describe_error(std::uint32_t, std::string&) {
    return false;
}

std::uint32_t last_error() {
    return static_cast<std::uint32_t>(errno);
}

int show_box(const char* text, notice_kind kind) {
    std::fprintf(stderr, "Quarryvale Downloader (%s): %s\n",
                 kind == notice_kind::warning ? "warning" : "information", text);
    return 1;
}

} // namespace util_platform
