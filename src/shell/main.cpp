// The program's entry and its one window. Start-up first limits where DLLs may come
// from, then takes the product's single-instance mutex, prepares the fonts and the
// frame's artwork, creates the window hidden, lets the sign-in screen put its controls
// in, shows the window and runs the message loop. The window draws its own frame: no
// caption or border from the system, bands that drag the window, a close box of its
// own, and a shape cut by a region.
#include <windows.h>

#include <delayimp.h>

#include <string>

#include "download/control.h"
#include "foundation/util.h"
#include "resources/about.h"
#include "resources/resource.h"
#include "resources/token_block.h"
#include "screens/download.h"
#include "screens/finished.h"
#include "screens/install.h"
#include "screens/sign_in.h"
#include "shell/frame.h"
#include "shell/main_thread.h"
#include "shell/window_art.h"

namespace {

constexpr char window_class[] = "Quarryvale Downloader";

// The title and footer bands, composed once at start-up.
HDC decoration_dc = nullptr;

// ---- start-up ------------------------------------------------------------------------

// The program runs as administrator, and buyers start it from Downloads, where any web
// page may leave a DLL. Windows looks for a DLL that is not one of its KnownDLLs in the
// program's folder first, so from here on every DLL loaded by name, ours and those that
// WinINet, the controls and the shell load later, comes from System32 alone. WinINet
// and the common controls are delay-imported (cmake/windows.cmake) so that they load
// only after this. Windows 7 has the call only with its update KB2533623, hence the
// look-up; without it the program ends rather than run unprotected.
bool load_system_dlls_only() {
    using set_directories = BOOL(WINAPI*)(DWORD);
    const auto set_default_dll_directories =
        reinterpret_cast<set_directories>(reinterpret_cast<void*>(
            GetProcAddress(GetModuleHandleA("kernel32.dll"), "SetDefaultDllDirectories")));
    if (set_default_dll_directories != nullptr &&
        set_default_dll_directories(LOAD_LIBRARY_SEARCH_SYSTEM32)) {
        return true;
    }
    show_error("This program needs a Windows update that lets it load system files only from "
               "the Windows system folder (KB2533623). Install the updates from Windows "
               "Update, then start the program again.");
    return false;
}

// A delay-imported DLL or function that cannot be had, at its first call, on whichever
// thread: a box that names it, and the end, instead of an unhandled exception.
FARPROC WINAPI on_delay_load_failure(unsigned notice, PDelayLoadInfo info) {
    const std::string text =
        notice == dliFailLoadLib
            ? format_string("Unexpected error: System file %1!s! could not be loaded from the "
                            "Windows system folder",
                            info->szDll)
        : info->dlp.fImportByName
            ? format_string("Unexpected error: System function %1!s! was not found in %2!s!",
                            info->dlp.szProcName, info->szDll)
            : format_string("Unexpected error: System function %1!d! was not found in %2!s!",
                            static_cast<std::int32_t>(info->dlp.dwOrdinal), info->szDll);
    show_system_error(text.c_str(), info->dwLastError);
    ExitProcess(0);
}

// False when a copy for the same product already runs. The mutex is kept for the life
// of the process; if it cannot be created at all the program runs unguarded.
bool take_single_instance() {
    const std::string name = format_string("Quarryvale Downloader %1!s!", product_identifier());
    HANDLE mutex = CreateMutexA(nullptr, FALSE, name.c_str());
    const DWORD error = GetLastError();
    if (mutex != nullptr && error == ERROR_ALREADY_EXISTS) {
        CloseHandle(mutex);
        show_info("Installation of this game is already in progress on this computer.");
        return false;
    }
    return true;
}

LRESULT CALLBACK wnd_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

void register_window_class() {
    WNDCLASSA window_class_info{};
    window_class_info.style = CS_OWNDC;
    window_class_info.lpfnWndProc = wnd_proc;
    window_class_info.hInstance = instance;
    window_class_info.hCursor = LoadCursorA(nullptr, IDC_ARROW);
    window_class_info.lpszClassName = window_class;
    system_assert_("RegisterClass", RegisterClassA(&window_class_info));
}

// Hidden until the first screen's controls exist.
void create_main_window() {
    const frame_point origin =
        window_origin(GetSystemMetrics(SM_CXFULLSCREEN), GetSystemMetrics(SM_CYFULLSCREEN));
    main_window = CreateWindowExA(
        WS_EX_APPWINDOW | WS_EX_WINDOWEDGE, window_class, window_class,
        WS_CLIPSIBLINGS | WS_CLIPCHILDREN | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX, origin.x,
        origin.y, window_width, window_height, nullptr, nullptr, instance, nullptr);
    system_assert_("CreateWindowEx", main_window);
}

void run_message_loop() {
    MSG message;
    while (true) {
        const BOOL result = GetMessageA(&message, nullptr, 0, 0);
        if (result == 0) {
            return;
        }
        if (result == -1) {
            system_assert_("GetMessage", 0);
        }
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
}

// ---- window procedure ----------------------------------------------------------------

void on_create(HWND window) {
    AppendMenuA(GetSystemMenu(window, FALSE), MF_STRING, IDM_ABOUT, "&About...");
    SetWindowRgn(window, create_outline_region(), FALSE);
}

// True when the window should close; the download screen decides for itself.
bool on_close() {
    if (current_screen == 1) {
        download_stop();
        return false;
    }
    PostQuitMessage(0);
    return true;
}

LRESULT on_nc_hit_test(HWND window, LPARAM lparam) {
    RECT rect{};
    GetWindowRect(window, &rect);
    return frame_hit_test_at(lparam, {rect.left, rect.top});
}

void on_command(WPARAM wparam) {
    const unsigned id = LOWORD(wparam);
    const unsigned code = HIWORD(wparam);
    switch (current_screen) {
    case 0:
        sign_in_process_message(id, code);
        break;
    case 1:
        download_process_message(id, code);
        break;
    case 3:
        finished_process_message(id, code);
        break;
    default:
        break;
    }
}

void on_sys_command(WPARAM wparam) {
    if (wparam == IDM_ABOUT) {
        show_info(about_text);
    }
}

void on_status(LPARAM lparam) {
    const char* text = reinterpret_cast<const char*>(lparam);
    if (current_screen == 0) {
        sign_in_update_status(text);
    } else {
        download_update_status(text);
    }
}

void on_screen(WPARAM next) {
    switch (static_cast<next_screen>(next)) {
    case next_screen::install:
        install_init();
        break;
    case next_screen::finished:
        finished_init();
        break;
    }
}

LRESULT CALLBACK wnd_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    switch (message) {
    case WM_CREATE:
        on_create(window);
        break;
    case WM_CLOSE:
        if (!on_close()) {
            return 0;
        }
        break;
    case WM_ERASEBKGND:
        paint_frame(reinterpret_cast<HDC>(wparam), decoration_dc); // the controls are clipped out
        return 1;
    case WM_NCACTIVATE:
        return 1; // the window has no caption for the system to draw
    case WM_NCCALCSIZE:
        return WVR_REDRAW; // the client area is the whole window
    case WM_NCHITTEST:
        return on_nc_hit_test(window, lparam);
    case WM_COMMAND:
        on_command(wparam);
        break;
    case WM_SYSCOMMAND:
        on_sys_command(wparam);
        break;
    case call_message:
        return on_call_message(lparam);
    case status_message:
        on_status(lparam);
        return 0;
    case screen_message:
        on_screen(wparam);
        return 0;
    default:
        break;
    }
    return DefWindowProcA(window, message, wparam, lparam);
}

} // namespace

// Read by mingw-w64's delay-load helper.
PfnDliHook __pfnDliFailureHook2 = on_delay_load_failure;

int WINAPI WinMain(HINSTANCE this_instance, HINSTANCE, LPSTR, int) {
    if (!load_system_dlls_only() || !take_single_instance()) {
        return 0;
    }
    current_screen = 0;
    instance = this_instance;
    main_window = nullptr;
    create_fonts();
    decoration_dc = compose_decoration();
    register_window_class();
    create_main_window();
    sign_in_init();
    ShowWindow(main_window, SW_SHOW);
    run_message_loop();
    return 0;
}
