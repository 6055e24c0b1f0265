// Screen grabs through a 32-bit DIB section. The program under test lives in another
// process, whose drawing surfaces the driver cannot use, so everything is read from the
// screen itself.
#include "screen.h"

#include <cstdio>
#include <memory>

namespace {

struct dib {
    HDC dc = nullptr;
    HBITMAP bitmap = nullptr;
    HGDIOBJ previous = nullptr;
    std::uint32_t* bits = nullptr;

    dib(int width, int height) {
        BITMAPINFO info{};
        info.bmiHeader.biSize = sizeof info.bmiHeader;
        info.bmiHeader.biWidth = width;
        info.bmiHeader.biHeight = -height;
        info.bmiHeader.biPlanes = 1;
        info.bmiHeader.biBitCount = 32;
        info.bmiHeader.biCompression = BI_RGB;
        void* memory = nullptr;
        dc = CreateCompatibleDC(nullptr);
        bitmap = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &memory, nullptr, 0);
        if (dc != nullptr && bitmap != nullptr) {
            previous = SelectObject(dc, bitmap);
            bits = static_cast<std::uint32_t*>(memory);
        }
    }
    ~dib() {
        if (previous != nullptr) {
            SelectObject(dc, previous);
        }
        if (bitmap != nullptr) {
            DeleteObject(bitmap);
        }
        if (dc != nullptr) {
            DeleteDC(dc);
        }
    }
    dib(const dib&) = delete;
    dib& operator=(const dib&) = delete;

    void copy_to(int width, int height, pixel_block& out) const {
        GdiFlush();
        out.width = width;
        out.height = height;
        out.data.resize(static_cast<size_t>(width) * static_cast<size_t>(height));
        for (size_t i = 0; i < out.data.size(); ++i) {
            out.data[i] = bits[i] & 0xFFFFFFu;
        }
    }
};

} // namespace

bool grab_screen(const RECT& area, pixel_block& out) {
    const int width = area.right - area.left;
    const int height = area.bottom - area.top;
    if (width <= 0 || height <= 0) {
        return false;
    }
    dib target(width, height);
    if (target.bits == nullptr) {
        return false;
    }
    HDC screen = GetDC(nullptr);
    if (screen == nullptr) {
        return false;
    }
    const BOOL copied =
        BitBlt(target.dc, 0, 0, width, height, screen, area.left, area.top, SRCCOPY | CAPTUREBLT);
    ReleaseDC(nullptr, screen);
    if (!copied) {
        return false;
    }
    target.copy_to(width, height, out);
    return true;
}

bool render_icon(HICON icon, int width, int height, std::uint32_t background, pixel_block& out) {
    dib target(width, height);
    if (target.bits == nullptr) {
        return false;
    }
    for (int i = 0; i < width * height; ++i) {
        target.bits[i] = background;
    }
    if (!DrawIconEx(target.dc, 0, 0, icon, width, height, 0, nullptr, DI_NORMAL)) {
        return false;
    }
    target.copy_to(width, height, out);
    return true;
}

bool write_bmp(const std::string& path, const pixel_block& block) {
    BITMAPINFOHEADER header{};
    header.biSize = sizeof header;
    header.biWidth = block.width;
    header.biHeight = -block.height;
    header.biPlanes = 1;
    header.biBitCount = 32;
    header.biCompression = BI_RGB;
    const DWORD pixel_bytes = static_cast<DWORD>(block.data.size() * 4);
    BITMAPFILEHEADER file{};
    file.bfType = 0x4D42;
    file.bfOffBits = sizeof file + sizeof header;
    file.bfSize = file.bfOffBits + pixel_bytes;

    std::unique_ptr<FILE, int (*)(FILE*)> stream(std::fopen(path.c_str(), "wb"), &std::fclose);
    if (!stream) {
        return false;
    }
    return std::fwrite(&file, sizeof file, 1, stream.get()) == 1 &&
           std::fwrite(&header, sizeof header, 1, stream.get()) == 1 &&
           std::fwrite(block.data.data(), 1, pixel_bytes, stream.get()) == pixel_bytes;
}
