// The stamping tool's logic, free of file handling so that it is unit-tested: check the
// values, refuse a signed image, find the one token block and write the values into it.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

using byte_buffer = std::vector<unsigned char>;

// Empty when the value is acceptable, else the reason in a sentence.
std::string check_token(std::string_view token);
std::string check_product(std::string_view product);

// Where the token slot starts (just behind the marker). When the image holds no block,
// more than one, or a cut-off one, found is false and reason says why.
struct block_search {
    bool found = false;
    std::size_t offset = 0;
    std::string reason;
};
block_search find_token_block(const byte_buffer& image);

// Whether image is a PE file with a non-empty security directory, which is where an
// Authenticode signature lives. A file that is not a PE image carries none.
bool has_authenticode_signature(const byte_buffer& image);

// Writes token and product into the block found in image. Checks everything first and
// leaves image untouched on any refusal; returns the reason, or empty on success.
std::string stamp_image(byte_buffer& image, std::string_view token, std::string_view product);

// Reads back the values that the block of image holds, as the program would read them.
struct block_values {
    std::string token;
    std::string product;
};
bool read_token_block(const byte_buffer& image, block_values& values);
