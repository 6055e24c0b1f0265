// Stamping logic; see stamp.h.
#include "stamp.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "resources/token_format.h"

namespace {

bool is_ascii_alnum(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

bool is_ascii_digit(char c) {
    return c >= '0' && c <= '9';
}

// A NUL-terminated string at offset within a slot of slot_size bytes, or false if the
// slot holds no NUL.
bool slot_string(const byte_buffer& image, std::size_t offset, std::size_t slot_size,
                 std::string& out) {
    const auto begin = image.begin() + static_cast<std::ptrdiff_t>(offset);
    const auto end = begin + static_cast<std::ptrdiff_t>(slot_size);
    const auto nul = std::find(begin, end, 0);
    if (nul == end) {
        return false;
    }
    out.assign(begin, nul);
    return true;
}

// A little-endian field of the PE header, or false if the image ends before it.
bool read_le(const byte_buffer& image, std::size_t at, std::size_t size, std::uint32_t& value) {
    if (at > image.size() || image.size() - at < size) {
        return false;
    }
    value = 0;
    for (std::size_t i = size; i-- > 0;) {
        value = (value << 8) | image[at + i];
    }
    return true;
}

} // namespace

std::string check_token(std::string_view token) {
    if (token.size() != token_length || !std::all_of(token.begin(), token.end(), is_ascii_alnum)) {
        return "the token must be exactly 8 ASCII letters or digits";
    }
    return {};
}

std::string check_product(std::string_view product) {
    if (product.empty() || product.size() > product_max_length ||
        !std::all_of(product.begin(), product.end(), is_ascii_digit)) {
        return "the product identifier must be 1 to 15 decimal digits";
    }
    return {};
}

block_search find_token_block(const byte_buffer& image) {
    const auto* marker = reinterpret_cast<const unsigned char*>(QV_TOKEN_MARKER);
    const auto marker_end = marker + token_marker_size;
    block_search result;
    std::size_t count = 0;
    auto at = image.begin();
    while (true) {
        at = std::search(at, image.end(), marker, marker_end);
        if (at == image.end()) {
            break;
        }
        ++count;
        result.offset = static_cast<std::size_t>(at - image.begin()) + token_marker_size;
        ++at;
    }
    if (count == 0) {
        result.reason = "the file holds no token block (is it a Quarryvale Downloader program?)";
    } else if (count > 1) {
        result.reason = "the file holds " + std::to_string(count) +
                        " token blocks; a program holds exactly one";
    } else if (image.size() - result.offset < token_block_size) {
        result.reason = "the file ends inside its token block";
    } else {
        result.found = true;
    }
    return result;
}

bool has_authenticode_signature(const byte_buffer& image) {
    constexpr std::size_t security_directory = 4; // IMAGE_DIRECTORY_ENTRY_SECURITY
    std::uint32_t pe = 0, signature = 0, magic = 0;
    if (image.size() < 2 || image[0] != 'M' || image[1] != 'Z' || !read_le(image, 0x3C, 4, pe) ||
        !read_le(image, pe, 4, signature) || signature != 0x00004550 /* "PE\0\0" */) {
        return false;
    }
    // The optional header follows the 4-byte signature and the 20-byte file header; its
    // data directories start at a size that depends on PE32 (0x10B) or PE32+ (0x20B).
    const std::size_t optional = std::size_t{pe} + 24;
    if (!read_le(image, optional, 2, magic) || (magic != 0x10B && magic != 0x20B)) {
        return false;
    }
    const std::size_t directories = optional + (magic == 0x20B ? 112 : 96);
    std::uint32_t count = 0, address = 0, size = 0;
    const std::size_t entry = directories + 8 * security_directory;
    return read_le(image, directories - 4, 4, count) && count > security_directory &&
           read_le(image, entry, 4, address) && read_le(image, entry + 4, 4, size) &&
           (address != 0 || size != 0);
}

std::string stamp_image(byte_buffer& image, std::string_view token, std::string_view product) {
    std::string reason = check_token(token);
    if (reason.empty()) {
        reason = check_product(product);
    }
    if (!reason.empty()) {
        return reason;
    }
    // Stamping changes bytes that a signature covers: the copy would look signed but
    // fail every check. The store signs each copy after stamping it.
    if (has_authenticode_signature(image)) {
        return "the file already carries an Authenticode signature; a copy must be stamped "
               "before it is signed (stamp the unsigned program, then sign the copy)";
    }
    const block_search block = find_token_block(image);
    if (!block.found) {
        return block.reason;
    }
    unsigned char* slot = image.data() + block.offset;
    std::memset(slot, 0, token_block_size);
    std::memcpy(slot, token.data(), token.size());
    std::memcpy(slot + token_slot_size, product.data(), product.size());
    return {};
}

bool read_token_block(const byte_buffer& image, block_values& values) {
    const block_search block = find_token_block(image);
    return block.found && slot_string(image, block.offset, token_slot_size, values.token) &&
           slot_string(image, block.offset + token_slot_size, product_slot_size, values.product);
}
