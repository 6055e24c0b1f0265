// The band gradient and the window's outline. The logo and the close glyph are drawn by
// tools/artwork/make_artwork.py at build time.
#include "resources/artwork.h"

// One line per row of the band, red, green, blue.
// clang-format off
const unsigned char decoration[band_rows * 3] = {
    18, 27, 30,
    99, 129, 141,
    71, 106, 119,
    68, 103, 116,
    66, 100, 112,
    64, 97, 108,
    62, 94, 105,
    60, 91, 101,
    58, 88, 98,
    56, 85, 94,
    54, 82, 90,
    52, 79, 87,
    49, 77, 83,
    48, 74, 79,
    31, 49, 52,
    0, 0, 0,
    0, 0, 0,
    0, 0, 0,
    0, 0, 0,
    0, 0, 0,
    0, 0, 0,
    3, 5, 5,
    11, 16, 17,
    19, 28, 30,
    27, 40, 44,
    36, 52, 57,
    44, 65, 70,
    81, 101, 106,
    13, 19, 21,
};

// The outline, one vertex (x, y) per line. Each corner is cut off in a few short steps.
const std::int32_t points[outline_points * 2] = {
    0, 5,
    1, 3,
    3, 1,
    5, 0,
    475, 0,
    477, 1,
    479, 3,
    479, 4,
    480, 187,
    479, 187,
    478, 189,
    475, 191,
    5, 192,
    5, 191,
    3, 190,
    1, 188,
    0, 186,
};
// clang-format on
