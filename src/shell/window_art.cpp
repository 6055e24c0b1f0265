// Fonts and the drawn frame of the main window; see window_art.h.
#include "shell/window_art.h"

#include "foundation/util.h"
#include "resources/artwork.h"
#include "shell/frame.h"
#include "shell/shell_state.h"

namespace {

constexpr int band_height = band_rows;
constexpr int footer_top = window_height - band_height;
// The size of NONCLIENTMETRICSA without the padded-border field, which older systems
// refuse.
constexpr UINT metrics_size = 340;

COLORREF colour_at(const unsigned char* table, int index) {
    return RGB(table[3 * index], table[3 * index + 1], table[3 * index + 2]);
}

void fill_row(HDC dc, int y, HBRUSH brush) {
    const RECT row{0, y, window_width, y + 1};
    FillRect(dc, &row, brush);
}

} // namespace

void create_fonts() {
    NONCLIENTMETRICSA metrics{};
    metrics.cbSize = metrics_size;
    system_assert_("SystemParametersInfo",
                   SystemParametersInfoA(SPI_GETNONCLIENTMETRICS, metrics_size, &metrics, 0));
    default_font = CreateFontIndirectA(&metrics.lfMessageFont);
    system_assert_("CreateFontIndirect", default_font);

    HDC screen = GetDC(nullptr);
    system_assert_("GetDC", screen);
    HGDIOBJ previous = SelectObject(screen, default_font);
    system_assert_("SelectObject", previous);
    TEXTMETRICA text_metrics{};
    system_assert_("GetTextMetrics", GetTextMetricsA(screen, &text_metrics));
    SelectObject(screen, previous);
    ReleaseDC(nullptr, screen);
    default_font_height = text_metrics.tmHeight;

    LOGFONTA title = metrics.lfMessageFont;
    title.lfHeight = title_font_height(title.lfHeight);
    title.lfWeight = FW_BOLD;
    title_font = CreateFontIndirectA(&title);
    system_assert_("CreateFontIndirect", title_font);
}

HDC compose_decoration() {
    HDC screen = GetDC(nullptr);
    system_assert_("GetDC", screen);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, window_width, 2 * band_height);
    ReleaseDC(nullptr, screen);
    HDC decoration_dc = CreateCompatibleDC(nullptr);
    system_assert_("CreateCompatibleDC", decoration_dc);
    // A failed bitmap creation shows here.
    system_assert_("SelectObject", SelectObject(decoration_dc, bitmap));

    for (int i = 0; i < band_rows; ++i) {
        HBRUSH brush = CreateSolidBrush(colour_at(decoration, i));
        system_assert_("CreateSolidBrush", brush);
        fill_row(decoration_dc, i, brush);
        fill_row(decoration_dc, i + band_height, brush);
        DeleteObject(brush);
    }
    // The logo and the glyph have no transparent pixels: every one is set.
    for (int x = 0; x < logo_width; ++x) {
        for (int y = 0; y < logo_height; ++y) {
            SetPixel(decoration_dc, logo_left + x, logo_top + y,
                     colour_at(logo, x + logo_width * y));
        }
    }
    for (int x = 0; x < close_size; ++x) {
        for (int y = 0; y < close_size; ++y) {
            SetPixel(decoration_dc, close_left + x, close_top + y,
                     colour_at(close_button, x + close_size * y));
        }
    }
    return decoration_dc;
}

void paint_frame(HDC dc, HDC decoration_dc) {
    const RECT client{1, band_height, window_width - 1, footer_top};
    FillRect(dc, &client, GetSysColorBrush(COLOR_BTNFACE));
    HBRUSH border = CreateSolidBrush(RGB(63, 63, 63));
    system_assert_("CreateSolidBrush", border);
    const RECT left{0, band_height, 1, footer_top};
    const RECT right{window_width - 1, band_height, window_width, footer_top};
    FillRect(dc, &left, border);
    FillRect(dc, &right, border);
    DeleteObject(border);
    BitBlt(dc, 0, 0, window_width, band_height, decoration_dc, 0, 0, SRCCOPY);
    BitBlt(dc, 0, footer_top, window_width, band_height, decoration_dc, 0, band_height, SRCCOPY);
}

HRGN create_outline_region() {
    POINT outline[outline_points];
    for (int i = 0; i < outline_points; ++i) {
        outline[i] = {points[2 * i], points[2 * i + 1]};
    }
    return CreatePolygonRgn(outline, outline_points, WINDING);
}
