// The window's fonts and drawn frame, checked pixel by pixel on the real graphics system:
// the bands follow the gradient row by row, the word mark and the close glyph sit where
// the hit test expects them, the footer carries neither, and the outline cuts the corners.
#include <gtest/gtest.h>
#include <windows.h>

#include "resources/artwork.h"
#include "shell/frame.h"
#include "shell/shell_state.h"
#include "shell/window_art.h"

namespace {

COLORREF table_colour(const unsigned char* table, int index) {
    return RGB(table[3 * index], table[3 * index + 1], table[3 * index + 2]);
}

// A memory surface of the window's size that the frame is painted into.
struct painted_window {
    painted_window() {
        HDC screen = GetDC(nullptr);
        bitmap = CreateCompatibleBitmap(screen, window_width, window_height);
        ReleaseDC(nullptr, screen);
        dc = CreateCompatibleDC(nullptr);
        previous = SelectObject(dc, bitmap);
    }
    ~painted_window() {
        SelectObject(dc, previous);
        DeleteDC(dc);
        DeleteObject(bitmap);
    }
    HBITMAP bitmap;
    HDC dc;
    HGDIOBJ previous;
};

class WindowArt : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { decoration_dc = compose_decoration(); }
    static HDC decoration_dc;
};
HDC WindowArt::decoration_dc = nullptr;

bool inside_logo(int x, int y) {
    return x >= logo_left && x < logo_left + logo_width && y >= logo_top &&
           y < logo_top + logo_height;
}

bool inside_close_box(int x, int y) {
    return x >= close_left && x < close_left + close_size && y >= close_top &&
           y < close_top + close_size;
}

} // namespace

TEST_F(WindowArt, BandsFollowTheGradientRowByRow) {
    // Anchors from the artwork's own description, so that a shifted table shows.
    EXPECT_EQ(table_colour(decoration, 1), RGB(99, 129, 141));
    EXPECT_EQ(table_colour(decoration, 15), RGB(0, 0, 0));
    EXPECT_EQ(table_colour(decoration, 27), RGB(81, 101, 106));
    for (int y = 0; y < band_rows; ++y) {
        for (int x = 0; x < window_width; ++x) {
            if (!inside_logo(x, y) && !inside_close_box(x, y)) {
                ASSERT_EQ(GetPixel(decoration_dc, x, y), table_colour(decoration, y))
                    << "title band " << x << ", " << y;
            }
            ASSERT_EQ(GetPixel(decoration_dc, x, y + band_rows), table_colour(decoration, y))
                << "footer band " << x << ", " << y;
        }
    }
}

TEST_F(WindowArt, LogoAndCloseGlyphArePlacedPixelForPixel) {
    for (int y = 0; y < logo_height; ++y) {
        for (int x = 0; x < logo_width; ++x) {
            ASSERT_EQ(GetPixel(decoration_dc, logo_left + x, logo_top + y),
                      table_colour(logo, x + logo_width * y))
                << "logo " << x << ", " << y;
        }
    }
    for (int y = 0; y < close_size; ++y) {
        for (int x = 0; x < close_size; ++x) {
            ASSERT_EQ(GetPixel(decoration_dc, close_left + x, close_top + y),
                      table_colour(close_button, x + close_size * y))
                << "close glyph " << x << ", " << y;
        }
    }
    // The glyph covers exactly the box that the hit test answers with "close".
    EXPECT_EQ(frame_hit_test({close_left, close_top}), hit_close);
    EXPECT_EQ(frame_hit_test({close_left + close_size - 1, close_top + close_size - 1}), hit_close);
    EXPECT_NE(frame_hit_test({close_left + close_size, close_top}), hit_close);
}

TEST_F(WindowArt, PaintingFillsEveryPixelOfTheWindow) {
    painted_window window;
    // Anything left unpainted would keep this colour.
    RECT all{0, 0, window_width, window_height};
    HBRUSH marker = CreateSolidBrush(RGB(255, 0, 255));
    FillRect(window.dc, &all, marker);
    DeleteObject(marker);

    paint_frame(window.dc, decoration_dc);

    const COLORREF face = GetSysColor(COLOR_BTNFACE);
    for (int y = 0; y < window_height; ++y) {
        for (int x = 0; x < window_width; ++x) {
            COLORREF expected;
            if (y < band_rows) {
                expected = GetPixel(decoration_dc, x, y);
            } else if (y >= window_height - band_rows) {
                expected = GetPixel(decoration_dc, x, y - (window_height - 2 * band_rows));
            } else if (x == 0 || x == window_width - 1) {
                expected = RGB(63, 63, 63);
            } else {
                expected = face;
            }
            ASSERT_EQ(GetPixel(window.dc, x, y), expected) << x << ", " << y;
        }
    }
}

TEST(WindowOutline, CutsTheCornersAndKeepsTheEdges) {
    HRGN region = create_outline_region();
    ASSERT_NE(region, nullptr);
    RECT box{};
    GetRgnBox(region, &box);
    EXPECT_EQ(box.left, 0);
    EXPECT_EQ(box.top, 0);
    EXPECT_EQ(box.right, window_width);
    EXPECT_EQ(box.bottom, window_height);
    for (const POINT corner : {POINT{0, 0}, POINT{479, 0}, POINT{0, 191}, POINT{479, 191}}) {
        EXPECT_FALSE(PtInRegion(region, corner.x, corner.y)) << corner.x << ", " << corner.y;
    }
    for (const POINT edge :
         {POINT{5, 0}, POINT{240, 0}, POINT{0, 100}, POINT{479, 186}, POINT{240, 190}}) {
        EXPECT_TRUE(PtInRegion(region, edge.x, edge.y)) << edge.x << ", " << edge.y;
    }
    DeleteObject(region);
}

TEST(Fonts, TitleFontIsTheMessageFontEnlargedAndBold) {
    create_fonts();
    NONCLIENTMETRICSA metrics{};
    metrics.cbSize = 340;
    ASSERT_TRUE(SystemParametersInfoA(SPI_GETNONCLIENTMETRICS, 340, &metrics, 0));
    LOGFONTA title{};
    ASSERT_EQ(GetObjectA(title_font, sizeof title, &title), static_cast<int>(sizeof title));
    EXPECT_EQ(title.lfHeight, title_font_height(metrics.lfMessageFont.lfHeight));
    EXPECT_EQ(title.lfWeight, 700);
    EXPECT_STREQ(title.lfFaceName, metrics.lfMessageFont.lfFaceName);

    LOGFONTA normal{};
    ASSERT_EQ(GetObjectA(default_font, sizeof normal, &normal), static_cast<int>(sizeof normal));
    EXPECT_EQ(normal.lfHeight, metrics.lfMessageFont.lfHeight);
    // The cell height is at least the character height the font was asked for.
    EXPECT_GE(default_font_height, normal.lfHeight < 0 ? -normal.lfHeight : 1);
}
