// How the token block sits in the program file, shared by the program (which carries
// the block) and the store's stamping tool (which finds it and writes each copy's
// values into it).
//
// In the file the block follows a marker that occurs nowhere else in the program:
//   marker (token_marker_size bytes, its NUL included)
//   token slot (9 bytes: 8 letters and digits, NUL)
//   product identifier slot (16 bytes: 1 to 15 decimal digits, NUL, NUL padding)
// The program reads the token at the start of the token slot and the product
// identifier 9 bytes after it.
#pragma once

#include <cstddef>

// Written as a macro so that the program can initialise its array with it without a
// second copy of the text landing in the file.
#define QV_TOKEN_MARKER "quarryvale-token-block:7d3c9e14a2f0b865"

inline constexpr std::size_t token_marker_size = sizeof(QV_TOKEN_MARKER);
inline constexpr std::size_t token_length = 8;
inline constexpr std::size_t token_slot_size = token_length + 1;
inline constexpr std::size_t product_max_length = 15;
inline constexpr std::size_t product_slot_size = product_max_length + 1;
inline constexpr std::size_t token_block_size = token_slot_size + product_slot_size;

// The values of the default build: a copy that has not been stamped signs in to the
// demo store with these.
#define QV_DEMO_TOKEN "QVDEMO01"
#define QV_DEMO_PRODUCT "1000"
