// Frame rules of the main window; see frame.h.
#include "shell/frame.h"

#include "resources/artwork.h"

namespace {

// The close box is where the close glyph is drawn; the client band lies between the
// title band and the footer band.
constexpr int client_top = band_rows;
constexpr int client_bottom = window_height - band_rows - 1;
constexpr int close_right = close_left + close_size - 1;
constexpr int close_bottom = close_top + close_size - 1;
static_assert(client_bottom == 162 && close_right == 473 && close_bottom == 25);

} // namespace

int title_font_height(int message_font_height) {
    // In 64 bits, so that even an absurd height cannot overflow before the division.
    return static_cast<int>(static_cast<std::int64_t>(message_font_height) * 5 / 4);
}

frame_point window_origin(int full_screen_width, int full_screen_height) {
    return {full_screen_width / 2 - window_width / 2, full_screen_height / 2 - window_height / 2};
}

frame_point point_from_lparam(std::int64_t lparam) {
    const auto bits = static_cast<std::uint64_t>(lparam);
    return {static_cast<std::int16_t>(bits & 0xFFFF),
            static_cast<std::int16_t>((bits >> 16) & 0xFFFF)};
}

int frame_hit_test(frame_point p) {
    if (p.y >= client_top && p.y <= client_bottom) {
        return hit_client;
    }
    if (p.x >= close_left && p.x <= close_right && p.y >= close_top && p.y <= close_bottom) {
        return hit_close;
    }
    return hit_caption;
}

int frame_hit_test_at(std::int64_t lparam, frame_point window_corner) {
    const frame_point cursor = point_from_lparam(lparam);
    return frame_hit_test({cursor.x - window_corner.x, cursor.y - window_corner.y});
}
