#include "shell/shell_state.h"

HINSTANCE instance = nullptr;
HWND main_window = nullptr;
int current_screen = 0;
HFONT default_font = nullptr;
HFONT title_font = nullptr;
int default_font_height = 0;
