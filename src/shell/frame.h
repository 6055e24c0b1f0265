// The rules of the window's own frame that need no Win32: where the window goes, how
// high the title font is, and what each point of the window does under the mouse.
// Kept portable so that they are unit-tested natively.
#pragma once

#include <cstdint>

inline constexpr int window_width = 480;
inline constexpr int window_height = 192;

// Hit-test answers, with the values the system gives HTCLIENT, HTCAPTION and HTCLOSE.
inline constexpr int hit_client = 1;
inline constexpr int hit_caption = 2;
inline constexpr int hit_close = 20;

struct frame_point {
    int x;
    int y;
};

// The title font is the message font 1.25 times as high, truncated toward zero; the
// height is usually negative (a character height), so -11 becomes -13, not -14.
int title_font_height(int message_font_height);

// Top-left corner of the window centred in the full-screen client area. A screen
// smaller than the window gives a negative origin, used as it is.
frame_point window_origin(int full_screen_width, int full_screen_height);

// The cursor position that WM_NCHITTEST carries: x in the low 16 bits and y in the next
// 16, each signed, since a display left of or above the primary one has negative
// coordinates.
frame_point point_from_lparam(std::int64_t lparam);

// What a window-relative point does: the client band is client area, the close box
// closes, the rest of the title and footer bands drags the window.
int frame_hit_test(frame_point window_relative);

// The same for a screen position, given the window's top-left corner on the screen.
int frame_hit_test_at(std::int64_t lparam, frame_point window_corner);
