// Feeds arbitrary bodies through the envelope and, after "ok", the parse of the
// product specification; ASan catches any read past the reader's terminator, and an
// accepted list must hold only names Windows stores as written, each its own file, and
// a well-formed hash for every file or for none.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "download/product_list.h"
#include "foundation/names_platform.h"

namespace {

// A name as Windows compares it, spelled out the slow way: read in the code page,
// in upper case, and one kind of slash.
std::u16string as_compared(const char* name) {
    std::u16string s;
    if (!names_platform::to_utf16(name, s)) {
        std::abort(); // an accepted name reads as characters
    }
    names_platform::upper_case(s);
    for (char16_t& c : s) {
        c = c == u'\\' ? u'/' : c;
    }
    return s;
}

// One name is the other, or holds it as a directory holds a file.
bool same_file_or_inside(const std::u16string& a, const std::u16string& b) {
    return a == b || b.starts_with(a + u'/') || a.starts_with(b + u'/');
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Exactly n + 1 bytes, so that one byte too far is an overflow ASan reports.
    std::vector<char> buffer(data, data + size);
    buffer.push_back('\0');
    const char* message = nullptr;
    if (check_envelope(buffer.data(), size, &message) != response_outcome::ok) {
        return 0;
    }
    product_specification s;
    if (!parse_product_specification(buffer.data(), size, s)) {
        return 0;
    }
    const char* end = buffer.data() + size;
    if (s.specification_end != end || s.first_file > end + 1 || s.total_size < 0 ||
        !is_storable_name(s.download_executable)) {
        std::abort();
    }
    std::int64_t total = 0;
    std::vector<std::u16string> names;
    product_file_cursor cursor(s);
    product_file file;
    while (cursor.next(file)) {
        std::uint8_t digest[32];
        if (file.size < 0 || !is_storable_name(file.name) ||
            (file.sha256 != nullptr) != s.has_hashes ||
            (file.sha256 != nullptr && !read_sha256_digits(file.sha256, digest))) {
            std::abort();
        }
        total += file.size;
        names.push_back(as_compared(file.name));
    }
    if (total != s.total_size) {
        std::abort();
    }
    // Every pair, while the list is short enough to afford it.
    for (std::size_t i = 0; names.size() <= 64 && i < names.size(); ++i) {
        for (std::size_t j = i + 1; j < names.size(); ++j) {
            if (same_file_or_inside(names[i], names[j])) {
                std::abort();
            }
        }
    }
    return 0;
}
