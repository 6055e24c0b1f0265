// Feeds arbitrary bodies through the envelope and, after "ok", the parse of the
// product specification; ASan catches any read past the reader's terminator.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "screens/download_parse.h"

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
    product_file_cursor cursor(s);
    product_file file;
    while (cursor.next(file)) {
        if (file.size < 0 || !is_storable_name(file.name)) {
            std::abort();
        }
        total += file.size;
    }
    if (total != s.total_size) {
        std::abort();
    }
    return 0;
}
