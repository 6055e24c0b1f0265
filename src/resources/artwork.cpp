// The window's outline. The band gradient, the logo and the close glyph are drawn by
// tools/artwork/make_artwork.py at build time.
#include "resources/artwork.h"

// clang-format off
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
