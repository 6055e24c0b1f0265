// Judging and parsing the sign-in response. Every field read here starts at or before
// the reader's terminator, so a strlen from it stops there at the latest.
#include "screens/download_parse.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <limits>
#include <string_view>
#include <vector>

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

bool is_separator(char c) {
    return c == '/' || c == '\\';
}

// The byte as Windows compares names: letters without case, both separators alike.
// Separators sort before every byte a name may hold, so that a directory's contents
// follow the name of the directory at once. Only ASCII letters are folded: which byte
// is the other case of a byte from 0x80 up depends on the buyer's code page (0xC9 is
// "É" in one, "Й" in another, half a character in a third), which the list does not
// tell.
unsigned char compared(char c) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (is_separator(c)) {
        return 1;
    }
    return u >= 'A' && u <= 'Z' ? static_cast<unsigned char>(u - 'A' + 'a') : u;
}

// The stems Windows opens as devices whatever the extension: "con.txt" is the console.
// Digit 0 and the superscripts 1 to 3 (as most Western code pages place them) count
// too, as newer Windows versions reserve them; refusing one name too many is cheap.
bool is_device_stem(const char* stem, std::size_t length) {
    static constexpr const char* devices[] = {"con", "prn", "aux", "nul", "conin$", "conout$"};
    const auto same = [stem](const char* device, std::size_t n) {
        for (std::size_t i = 0; i < n; ++i) {
            if (compared(stem[i]) != static_cast<unsigned char>(device[i])) {
                return false;
            }
        }
        return true;
    };
    for (const char* device : devices) {
        if (std::strlen(device) == length && same(device, length)) {
            return true;
        }
    }
    if (length == 4 && (same("com", 3) || same("lpt", 3))) {
        const unsigned char last = static_cast<unsigned char>(stem[3]);
        return (last >= '0' && last <= '9') || last == 0xB9 || last == 0xB2 || last == 0xB3;
    }
    return false;
}

// Characters Windows refuses in names (besides the control characters).
bool is_forbidden(unsigned char c) {
    switch (c) {
    case '<':
    case '>':
    case ':':
    case '"':
    case '|':
    case '?':
    case '*':
        return true;
    default:
        return false;
    }
}

// One segment of a name, [begin, end): stored by Windows exactly as written.
bool is_storable_segment(const char* begin, const char* end) {
    if (begin == end || end[-1] == '.' || end[-1] == ' ') {
        return false; // Windows drops trailing dots and blanks: "a." would be "a"
    }
    const char* stem_end = end;
    for (const char* p = begin; p != end; ++p) {
        const unsigned char c = static_cast<unsigned char>(*p);
        if (c < 32 || is_forbidden(c)) {
            return false;
        }
        if (c == '.' && stem_end == end) {
            stem_end = p;
        }
    }
    // "NUL .txt" is the device too: blanks before the extension do not count.
    while (stem_end != begin && stem_end[-1] == ' ') {
        --stem_end;
    }
    return !is_device_stem(begin, static_cast<std::size_t>(stem_end - begin));
}

// One file per name: no name twice, and no name both a file and a directory. The names
// are compared as folded copies side by side, so that the sort compares bytes as memcmp
// does; in sorted order a name's duplicates and contents come right after it.
bool names_are_distinct(const std::vector<const char*>& names) {
    std::vector<std::size_t> ends;
    ends.reserve(names.size());
    std::size_t length = 0;
    for (const char* name : names) {
        length += std::strlen(name);
        ends.push_back(length);
    }
    std::string folded(length, '\0');
    for (std::size_t i = 0, at = 0; i < names.size(); ++i) {
        for (const char* p = names[i]; at != ends[i]; ++p) {
            folded[at++] = static_cast<char>(compared(*p));
        }
    }
    std::vector<std::string_view> keys;
    keys.reserve(names.size());
    for (std::size_t i = 0, begin = 0; i < ends.size(); begin = ends[i++]) {
        keys.emplace_back(folded.data() + begin, ends[i] - begin);
    }
    std::sort(keys.begin(), keys.end());
    for (std::size_t i = 1; i < keys.size(); ++i) {
        const std::string_view& name = keys[i - 1];
        const std::string_view& next = keys[i];
        if (next.starts_with(name) && (next.size() == name.size() || next[name.size()] == 1)) {
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

bool read_sha256_digits(const char* digits, std::uint8_t (&digest)[32]) {
    const auto value = [](char c) {
        return c >= '0' && c <= '9'   ? c - '0'
               : c >= 'a' && c <= 'f' ? c - 'a' + 10
               : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                      : -1;
    };
    for (std::size_t i = 0; i < 32; ++i) {
        const int high = value(digits[2 * i]);
        const int low = high < 0 ? -1 : value(digits[2 * i + 1]);
        if (low < 0) {
            return false; // also at the terminator: nothing past it is read
        }
        digest[i] = static_cast<std::uint8_t>(high << 4 | low);
    }
    return digits[64] == '\0';
}

bool is_storable_name(const char* name) {
    const char* segment = name;
    for (const char* p = name;; ++p) {
        if (*p == '\0' || is_separator(*p)) {
            if (!is_storable_segment(segment, p)) {
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
    if (executable > end || !is_storable_name(executable)) {
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
    std::vector<const char*> names;
    std::size_t hashes = 0;
    while (position <= end) {
        const char* name = position;
        position = after_field(name);
        if (position > end || !is_storable_name(name)) {
            return false;
        }
        names.push_back(name);
        std::int64_t size = 0;
        if (!read_size(position, size) || size < 0 ||
            size > std::numeric_limits<std::int64_t>::max() - total) {
            return false;
        }
        total += size;
        position = after_field(position);
        if (position <= end && std::strncmp(position, sha256_field_prefix, 7) == 0) {
            std::uint8_t digest[32];
            if (!read_sha256_digits(position + 7, digest)) {
                return false;
            }
            ++hashes;
            position = after_field(position);
        }
    }
    if ((hashes != 0 && hashes != names.size()) || !names_are_distinct(names)) {
        return false;
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
    out.has_hashes = hashes != 0;
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
    file.sha256 = nullptr;
    if (hashes) {
        file.sha256 = position + 7; // the parse has checked every one
        position = after_field(position);
    }
    return true;
}
