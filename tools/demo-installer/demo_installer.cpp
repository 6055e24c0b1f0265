// Stands in for a product's installer in the tests, the benchmark and the demo. What it
// does is read from installer.txt beside it, and every run is appended to
// installer-runs.txt beside it so that a test can check how it was started: its command
// line, whether another program could change or delete its file while it runs, and
// whether it can read its own file as a self-extracting installer does (sharing read
// only), which is how real installers get at what they carry.
//
// installer.txt, one key=value a line, every key optional:
//   title=...            the window's title (default "Demo installer")
//   window=0             open no window at all
//   close_after_ms=N     end by itself after N ms (default 0: only the Finish button)
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>

namespace {

std::string title = "Demo installer";
bool with_window = true;
UINT close_after_ms = 0;
constexpr int finish_id = 1;

// Its folder may be named in any script: paths stay in wide characters, and the record
// carries them as UTF-8.
std::wstring beside_me(const wchar_t* name) {
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    wchar_t* slash = std::wcsrchr(path, L'\\');
    slash[1] = L'\0';
    return std::wstring(path) + name;
}

std::string utf8(const wchar_t* text) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string out(size > 0 ? size : 1, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), size, nullptr, nullptr);
    out.resize(out.size() - 1);
    return out;
}

void read_settings() {
    FILE* file = _wfopen(beside_me(L"installer.txt").c_str(), L"r");
    if (file == nullptr) {
        return;
    }
    char line[512];
    while (std::fgets(line, sizeof line, file) != nullptr) {
        line[std::strcspn(line, "\r\n")] = '\0';
        const char* value = std::strchr(line, '=');
        if (value == nullptr) {
            continue;
        }
        const std::string key(line, value - line);
        ++value;
        if (key == "title") {
            title = value;
        } else if (key == "window") {
            with_window = std::strcmp(value, "0") != 0;
        } else if (key == "close_after_ms") {
            close_after_ms = static_cast<UINT>(std::strtoul(value, nullptr, 10));
        }
    }
    std::fclose(file);
}

std::string json_text(const std::string& text) {
    std::string out = "\"";
    for (const char* p = text.c_str(); *p != '\0'; ++p) {
        if (*p == '"' || *p == '\\') {
            out += '\\';
        }
        out += *p;
    }
    return out + "\"";
}

constexpr DWORD share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// 0 when the installer's own file opens with this access and sharing, else the error.
DWORD open_error(const wchar_t* path, DWORD access, DWORD share = share_all) {
    const HANDLE file = CreateFileW(path, access, share, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return GetLastError();
    }
    CloseHandle(file);
    return 0;
}

void record_run(HWND window) {
    wchar_t directory[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, directory);
    wchar_t module[MAX_PATH];
    GetModuleFileNameW(nullptr, module, MAX_PATH);
    FILE* file = _wfopen(beside_me(L"installer-runs.txt").c_str(), L"a");
    if (file == nullptr) {
        return;
    }
    std::fprintf(file,
                 "{\"pid\": %lu, \"hwnd\": %llu, \"cwd\": %s, \"command_line\": %s, "
                 "\"module\": %s, \"write_error\": %lu, \"delete_error\": %lu, "
                 "\"read_error\": %lu}\n",
                 GetCurrentProcessId(),
                 static_cast<unsigned long long>(reinterpret_cast<UINT_PTR>(window)),
                 json_text(utf8(directory)).c_str(), json_text(utf8(GetCommandLineW())).c_str(),
                 json_text(utf8(module)).c_str(), open_error(module, GENERIC_WRITE),
                 open_error(module, DELETE), open_error(module, GENERIC_READ, FILE_SHARE_READ));
    std::fclose(file);
}

LRESULT CALLBACK window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    switch (message) {
    case WM_COMMAND:
        if (LOWORD(wparam) == finish_id) {
            DestroyWindow(window);
        }
        return 0;
    case WM_TIMER:
        DestroyWindow(window);
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    default:
        return DefWindowProcA(window, message, wparam, lparam);
    }
}

} // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    read_settings();
    if (!with_window) {
        record_run(nullptr);
        Sleep(close_after_ms);
        return 0;
    }
    WNDCLASSA window_class{};
    window_class.lpfnWndProc = window_proc;
    window_class.hInstance = instance;
    window_class.hCursor = LoadCursorA(nullptr, IDC_ARROW);
    window_class.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    window_class.lpszClassName = "QuarryvaleDemoInstaller";
    RegisterClassA(&window_class);
    const HWND window =
        CreateWindowExA(0, window_class.lpszClassName, title.c_str(),
                        WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_VISIBLE, CW_USEDEFAULT,
                        CW_USEDEFAULT, 360, 160, nullptr, nullptr, instance, nullptr);
    CreateWindowExA(0, "BUTTON", "Finish", WS_CHILD | WS_VISIBLE | BS_DEFPUSHBUTTON, 240, 80, 90,
                    28, window, reinterpret_cast<HMENU>(INT_PTR{finish_id}), instance, nullptr);
    if (close_after_ms != 0) {
        SetTimer(window, 1, close_after_ms, nullptr);
    }
    record_run(window);
    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    return 0;
}
