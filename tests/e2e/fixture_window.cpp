// A stand-in window for the driver's own tests: the same class name, size, shape and
// single-instance rule as the downloader's main window, plus controls of every kind the
// screens use, so the driver can be checked against known answers. Not shipped.
//
// Button 10 shows a warning box whose text repeats the edit box; the About command (1)
// shows an information box; radio buttons 11 and 12 are automatic. A copy whose file
// name contains "show-first" shows the window before creating its controls, the fault
// the driver's show watch must catch.
#include <windows.h>

#include <string>

namespace {

constexpr const char* class_name = "Quarryvale Downloader";
HWND edit = nullptr;

const POINT outline[] = {{0, 5},   {1, 3},   {3, 1},     {5, 0},     {475, 0},   {477, 1},
                         {479, 3}, {479, 4}, {480, 187}, {479, 187}, {478, 189}, {475, 191},
                         {5, 192}, {5, 191}, {3, 190},   {1, 188},   {0, 186}};

// The same frame as the downloader's: gradient bands, border columns, button face, and
// a plain square where the close glyph goes.
void paint(HDC dc) {
    static const COLORREF rows[29] = {
        RGB(18, 27, 30),   RGB(99, 129, 141), RGB(71, 106, 119), RGB(68, 103, 116),
        RGB(66, 100, 112), RGB(64, 97, 108),  RGB(62, 94, 105),  RGB(60, 91, 101),
        RGB(58, 88, 98),   RGB(56, 85, 94),   RGB(54, 82, 90),   RGB(52, 79, 87),
        RGB(49, 77, 83),   RGB(48, 74, 79),   RGB(31, 49, 52),   RGB(0, 0, 0),
        RGB(0, 0, 0),      RGB(0, 0, 0),      RGB(0, 0, 0),      RGB(0, 0, 0),
        RGB(0, 0, 0),      RGB(3, 5, 5),      RGB(11, 16, 17),   RGB(19, 28, 30),
        RGB(27, 40, 44),   RGB(36, 52, 57),   RGB(44, 65, 70),   RGB(81, 101, 106),
        RGB(13, 19, 21)};
    auto fill = [dc](RECT r, COLORREF colour) {
        HBRUSH brush = CreateSolidBrush(colour);
        FillRect(dc, &r, brush);
        DeleteObject(brush);
    };
    for (int i = 0; i < 29; ++i) {
        fill({0, i, 480, i + 1}, rows[i]);
        fill({0, 163 + i, 480, 164 + i}, rows[i]);
    }
    fill({186, 9, 294, 19}, RGB(200, 200, 200));
    fill({451, 3, 474, 26}, RGB(90, 100, 120));
    RECT client{1, 29, 479, 163};
    FillRect(dc, &client, GetSysColorBrush(COLOR_BTNFACE));
    fill({0, 29, 1, 163}, RGB(63, 63, 63));
    fill({479, 29, 480, 163}, RGB(63, 63, 63));
}

void create_controls(HWND window, HFONT font) {
    struct control {
        const char* kind;
        const char* text;
        DWORD style;
        int id, x, y, w, h;
    };
    const control controls[] = {
        {"STATIC", "Label", SS_LEFT, 20, 20, 40, 200, 20},
        {"EDIT", "", ES_AUTOHSCROLL | WS_BORDER, 21, 20, 64, 200, 22},
        {"BUTTON", "Show", BS_PUSHBUTTON, 10, 240, 64, 80, 24},
        {"BUTTON", "First", BS_AUTORADIOBUTTON | WS_GROUP, 11, 20, 100, 100, 20},
        {"BUTTON", "Second", BS_AUTORADIOBUTTON, 12, 130, 100, 100, 20},
    };
    for (const control& c : controls) {
        HWND child =
            CreateWindowExA(0, c.kind, c.text, WS_CHILD | WS_VISIBLE | c.style, c.x, c.y, c.w, c.h,
                            window, reinterpret_cast<HMENU>(INT_PTR(c.id)), nullptr, nullptr);
        SendMessageA(child, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
        if (c.id == 21) {
            edit = child;
        }
    }
    SendMessageA(GetDlgItem(window, 11), BM_SETCHECK, BST_CHECKED, 0);
}

LRESULT CALLBACK window_proc(HWND window, UINT message, WPARAM w, LPARAM l) {
    switch (message) {
    case WM_CREATE:
        AppendMenuA(GetSystemMenu(window, FALSE), MF_STRING, 1, "&About...");
        SetWindowRgn(window, CreatePolygonRgn(outline, 17, WINDING), FALSE);
        break;
    case WM_ERASEBKGND:
        paint(reinterpret_cast<HDC>(w));
        return 1;
    case WM_NCACTIVATE:
        return 1;
    case WM_NCCALCSIZE:
        return 768;
    case WM_NCHITTEST: {
        RECT r;
        GetWindowRect(window, &r);
        const int x = static_cast<short>(LOWORD(l)) - r.left;
        const int y = static_cast<short>(HIWORD(l)) - r.top;
        if (y >= 29 && y <= 162) {
            return HTCLIENT;
        }
        return x >= 451 && x <= 473 && y >= 3 && y <= 25 ? HTCLOSE : HTCAPTION;
    }
    case WM_SYSCOMMAND:
        if (w == 1) {
            MessageBoxA(window, "Fixture\nsecond line", class_name, MB_OK | MB_ICONINFORMATION);
        }
        break;
    case WM_COMMAND:
        if (LOWORD(w) == 10 && HIWORD(w) == BN_CLICKED) {
            char text[256] = "";
            GetWindowTextA(edit, text, sizeof text);
            const std::string shown = std::string("You typed: ") + text;
            MessageBoxA(window, shown.c_str(), class_name, MB_OK | MB_ICONWARNING);
        }
        break;
    case WM_CLOSE:
        PostQuitMessage(0);
        break;
    default:
        break;
    }
    return DefWindowProcA(window, message, w, l);
}

} // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    HANDLE mutex = CreateMutexA(nullptr, FALSE, "Quarryvale Downloader fixture");
    if (mutex != nullptr && GetLastError() == ERROR_ALREADY_EXISTS) {
        MessageBoxA(nullptr, "Already running.", class_name, MB_OK | MB_ICONINFORMATION);
        return 0;
    }
    NONCLIENTMETRICSA metrics{};
    metrics.cbSize = sizeof metrics;
    SystemParametersInfoA(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0);
    HFONT font = CreateFontIndirectA(&metrics.lfMessageFont);

    WNDCLASSA window_class{};
    window_class.style = CS_OWNDC;
    window_class.lpfnWndProc = window_proc;
    window_class.hInstance = instance;
    window_class.hCursor = LoadCursorA(nullptr, IDC_ARROW);
    window_class.lpszClassName = class_name;
    RegisterClassA(&window_class);
    HWND window = CreateWindowExA(
        WS_EX_APPWINDOW | WS_EX_WINDOWEDGE, class_name, class_name,
        WS_CLIPSIBLINGS | WS_CLIPCHILDREN | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX,
        GetSystemMetrics(SM_CXFULLSCREEN) / 2 - 240, GetSystemMetrics(SM_CYFULLSCREEN) / 2 - 96,
        480, 192, nullptr, nullptr, instance, nullptr);
    char path[MAX_PATH] = "";
    GetModuleFileNameA(nullptr, path, sizeof path);
    const bool show_first = std::string(path).find("show-first") != std::string::npos;
    if (show_first) {
        ShowWindow(window, SW_SHOW);
    }
    create_controls(window, font);
    ShowWindow(window, SW_SHOW);
    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    return 0;
}
