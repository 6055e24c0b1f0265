// The frame rules: title-font height, window placement and the hit test of the drawn
// frame, including windows on displays left of or above the primary one.
#include <gtest/gtest.h>

#include <cstdint>

#include "shell/frame.h"

namespace {

// lParam as the system packs a screen position: two signed 16-bit halves.
std::int64_t pack(int x, int y) {
    return static_cast<std::int64_t>(static_cast<std::uint16_t>(x)) |
           (static_cast<std::int64_t>(static_cast<std::uint16_t>(y)) << 16);
}

struct hit_case {
    int x;
    int y;
    int expected;
};

// Every edge of the bands and of the close box, from both sides.
const hit_case hit_cases[] = {
    {100, 28, hit_caption},  {100, 29, hit_client},   {100, 162, hit_client},
    {100, 163, hit_caption}, {100, 191, hit_caption}, {0, 0, hit_caption},
    {451, 3, hit_close},     {473, 25, hit_close},    {462, 14, hit_close},
    {450, 10, hit_caption},  {474, 10, hit_caption},  {460, 2, hit_caption},
    {460, 26, hit_caption},  {451, 29, hit_client},   {460, 170, hit_caption},
    {0, 100, hit_client},    {479, 100, hit_client},
};

} // namespace

TEST(TitleFont, IsOneAndAQuarterTimesTheMessageFontTruncatedTowardZero) {
    EXPECT_EQ(title_font_height(-12), -15);
    EXPECT_EQ(title_font_height(-11), -13);
    EXPECT_EQ(title_font_height(16), 20);
    EXPECT_EQ(title_font_height(13), 16);
    EXPECT_EQ(title_font_height(0), 0);
}

TEST(WindowOrigin, CentresTheWindowAndKeepsNegativeOrigins) {
    EXPECT_EQ(window_origin(1280, 1024).x, 400);
    EXPECT_EQ(window_origin(1280, 1024).y, 416);
    // Odd sizes: each half is an integer division before the offset.
    EXPECT_EQ(window_origin(1279, 1023).x, 399);
    EXPECT_EQ(window_origin(1279, 1023).y, 415);
    // A screen smaller than the window: no clamping.
    EXPECT_EQ(window_origin(400, 100).x, -40);
    EXPECT_EQ(window_origin(400, 100).y, -46);
}

TEST(HitTest, WindowRelativePointsFollowTheBandsAndTheCloseBox) {
    for (const hit_case& c : hit_cases) {
        EXPECT_EQ(frame_hit_test({c.x, c.y}), c.expected) << "at " << c.x << ", " << c.y;
    }
}

TEST(HitTest, ScreenPositionsAreTakenRelativeToTheWindowCorner) {
    const frame_point corners[] = {{0, 0}, {400, 416}, {-1000, -500}, {-480, 30}, {60, -192}};
    for (const frame_point corner : corners) {
        for (const hit_case& c : hit_cases) {
            EXPECT_EQ(frame_hit_test_at(pack(corner.x + c.x, corner.y + c.y), corner), c.expected)
                << "window at " << corner.x << ", " << corner.y << ", point " << c.x << ", " << c.y;
        }
    }
}

TEST(HitTest, LparamHalvesAreSigned) {
    EXPECT_EQ(point_from_lparam(pack(-1, -32768)).x, -1);
    EXPECT_EQ(point_from_lparam(pack(-1, -32768)).y, -32768);
    EXPECT_EQ(point_from_lparam(pack(32767, 5)).x, 32767);
    // Bits above the low 32 (a sign-extended lParam on 64-bit Windows) are ignored.
    const std::int64_t extended = static_cast<std::int64_t>(
        static_cast<std::int32_t>(static_cast<std::uint32_t>(pack(-20, -30))));
    EXPECT_EQ(point_from_lparam(extended).x, -20);
    EXPECT_EQ(point_from_lparam(extended).y, -30);
}
