// The window's artwork, composed once at start-up into the decoration image. Colours
// are three bytes each, red, green, blue.
//
// The sizes and places below are the only statement of them: tools/artwork/make_artwork.py
// reads them from this file (keep each an "inline constexpr int" of its own line) and
// draws the band gradient, the logo and the close glyph to fit, at build time.
#pragma once

#include <cstdint>

inline constexpr int band_rows = 29;
inline constexpr int logo_width = 108;
inline constexpr int logo_height = 10;
inline constexpr int logo_left = 186;
inline constexpr int logo_top = 9;
inline constexpr int close_size = 23;
inline constexpr int close_left = 451;
inline constexpr int close_top = 3;
inline constexpr int outline_points = 17;

// Colour of row i of the title band and of row i of the footer band.
extern const unsigned char decoration[band_rows * 3];
// Pixel (x, y) begins at byte 3 * (x + width * y).
extern const unsigned char logo[logo_width * logo_height * 3];
extern const unsigned char close_button[close_size * close_size * 3];
// The window's outline, x then y for each vertex, in window coordinates.
extern const std::int32_t points[outline_points * 2];
