// Pixels of the screen as the X server shows them: the window's own painting, clipped
// to its region, with whatever lies beneath outside it.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

struct pixel_block {
    int width = 0;
    int height = 0;
    // 0x00RRGGBB, rows from the top.
    std::vector<std::uint32_t> data;

    std::uint32_t at(int x, int y) const { return data[static_cast<size_t>(y * width + x)]; }
};

// Copies a screen rectangle; false if the system refused.
bool grab_screen(const RECT& area, pixel_block& out);

// Draws an icon at the given size on a plain background.
bool render_icon(HICON icon, int width, int height, std::uint32_t background, pixel_block& out);

// Writes a 32-bit top-down BMP file.
bool write_bmp(const std::string& path, const pixel_block& block);
