// State of the application shell that every screen reads. Written on the window's
// thread during start-up (current_screen also later, by the screens); never released.
#pragma once

#include <windows.h>

extern HINSTANCE instance;
extern HWND main_window;
extern int current_screen;
extern HFONT default_font;
extern HFONT title_font;
extern int default_font_height;
