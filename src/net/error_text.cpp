// Error texts of the network transport that need no Win32.
#include "net/error_text.h"

#include <cstdint>

#include "foundation/util.h"

void trim_error_text(std::string& text) {
    const std::size_t length = text.size();
    if (length > 2 && text[length - 2] == '\r') {
        text.resize(text[length - 3] == '.' ? length - 3 : length - 2);
    }
}

std::string unknown_network_error(std::uint32_t code) {
    return format_string("Error %1!d! in network connection", static_cast<std::int32_t>(code));
}
