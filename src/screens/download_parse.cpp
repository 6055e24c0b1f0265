// Judging and parsing the sign-in response. Every field read here starts at or before
// the reader's terminator, so a strlen from it stops there at the latest.
#include "screens/download_parse.h"

#include <cctype>
#include <cstring>
#include <limits>

namespace {

constexpr std::size_t status_offset = 11;  // after "quarryvale" and its NUL
constexpr std::size_t message_offset = 17; // after "error" and its NUL
constexpr std::size_t ok_fields_offset = 14;

// Start of the field that follows the one at p.
const char* after_field(const char* p) {
    return p + std::strlen(p) + 1;
}

bool has_prefix_ignoring_case(const char* text, const char* prefix) {
    for (; *prefix != '\0'; ++text, ++prefix) {
        if (std::tolower(static_cast<unsigned char>(*text)) != *prefix) {
            return false;
        }
    }
    return true;
}

} // namespace

response_outcome check_envelope(const char* body, std::size_t n, const char** message) {
    if (std::strcmp(body, "quarryvale") != 0) {
        return response_outcome::not_from_store;
    }
    if (status_offset > n) {
        return response_outcome::malformed;
    }
    const char* status = body + status_offset;
    if (std::strcmp(status, "not_signed_in") == 0) {
        return response_outcome::not_signed_in;
    }
    if (std::strcmp(status, "error") == 0) {
        if (message_offset > n) {
            return response_outcome::malformed;
        }
        if (message != nullptr) {
            *message = body + message_offset;
        }
        return response_outcome::error;
    }
    if (std::strcmp(status, "ok") == 0) {
        return response_outcome::ok;
    }
    return response_outcome::malformed;
}

bool read_size(const char* text, std::int64_t& size) {
    const char* p = text;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r')) {
        ++p;
    }
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        ++p;
    }
    // Accumulated as a negative number so that the most negative value fits too.
    std::int64_t value = 0;
    constexpr std::int64_t lowest = std::numeric_limits<std::int64_t>::min();
    for (; *p >= '0' && *p <= '9'; ++p) {
        const int digit = *p - '0';
        if (value < (lowest + digit) / 10) {
            return false;
        }
        value = value * 10 - digit;
    }
    if (!negative) {
        if (value == lowest) {
            return false;
        }
        value = -value;
    }
    size = value;
    return true;
}

bool is_safe_relative_name(const char* name) {
    if (name[0] == '\0' || name[0] == '/' || name[0] == '\\' || std::strchr(name, ':') != nullptr) {
        return false;
    }
    const char* segment = name;
    for (const char* p = name;; ++p) {
        if (*p == '/' || *p == '\\' || *p == '\0') {
            if (p - segment == 2 && segment[0] == '.' && segment[1] == '.') {
                return false;
            }
            if (*p == '\0') {
                return true;
            }
            segment = p + 1;
        }
    }
}

bool parse_product_specification(char* body, std::size_t n, product_specification& out) {
    if (n < ok_fields_offset) {
        return false;
    }
    const char* end = body + n;
    char* title = body + ok_fields_offset;
    char* executable = const_cast<char*>(after_field(title));
    if (executable > end || !is_safe_relative_name(executable)) {
        return false;
    }
    char* server = const_cast<char*>(after_field(executable));
    if (server > end) {
        return false;
    }
    // The position after the server field is taken before its "/" becomes a NUL.
    const char* position = after_field(server);

    std::int64_t total = 0;
    const char* first_file = position;
    while (position <= end) {
        const char* name = position;
        position = after_field(name);
        if (position > end || !is_safe_relative_name(name)) {
            return false;
        }
        std::int64_t size = 0;
        if (!read_size(position, size) || size < 0 ||
            size > std::numeric_limits<std::int64_t>::max() - total) {
            return false;
        }
        total += size;
        position = after_field(position);
    }

    // A store that names https gets every request of the download secure; without a
    // scheme the field is a bare host as it always was.
    bool secure = false;
    if (has_prefix_ignoring_case(server, "https://")) {
        secure = true;
        server += 8;
    } else if (has_prefix_ignoring_case(server, "http://")) {
        server += 7;
    }
    char* slash = std::strchr(server, '/');
    if (server[0] == '\0' || slash == server) {
        return false; // no host to ask
    }
    if (slash != nullptr) {
        out.request_path = slash;
        *slash = '\0';
    } else {
        out.request_path = "/";
    }
    out.download_title = title;
    out.download_executable = executable;
    out.request_host = server;
    out.request_secure = secure;
    out.first_file = first_file;
    out.specification_end = end;
    out.total_size = total;
    return true;
}

bool product_file_cursor::next(product_file& file) {
    if (position > end) {
        return false;
    }
    file.name = position;
    const char* size_text = after_field(position);
    file.size = 0;
    read_size(size_text, file.size);
    position = after_field(size_text);
    return true;
}
