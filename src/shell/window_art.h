// The main window's fonts and drawn frame: built once at start-up, used by the window
// procedure for every repaint. Apart from WinMain so that the Windows tests can check the
// pixels it produces.
#pragma once

#include <windows.h>

// Sets default_font, title_font and default_font_height from the system's message font.
void create_fonts();

// The decoration image: the title band in rows 0 to 28, the footer band in rows 29 to
// 57, composed pixel by pixel once so that each repaint is a few block copies.
HDC compose_decoration();

// Paints the whole window from the decoration image: both bands, the client band's
// button face and its two dark border columns.
void paint_frame(HDC dc, HDC decoration_dc);

// The window's outline as a region, for SetWindowRgn (which then owns it).
HRGN create_outline_region();
