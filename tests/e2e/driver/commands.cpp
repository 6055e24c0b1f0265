// Processes, the main window, its controls, input by window messages, and pixels.
// Input is posted or sent as messages rather than synthesised with the mouse, so a test
// does not depend on focus or on where the pointer happens to be.
#include "commands.h"

#include <psapi.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "probes.h"
#include "screen.h"

namespace {

constexpr const char* main_class = "Quarryvale Downloader";

std::map<DWORD, HANDLE> processes;

bool parse_int(const std::string& word, long long& out) {
    if (word.empty()) {
        return false;
    }
    char* end = nullptr;
    out = std::strtoll(word.c_str(), &end, 10);
    return *end == '\0';
}

std::string need(const command_args& args, size_t count, const char* usage) {
    return args.size() < count ? std::string("usage: ") + usage : std::string();
}

#define NEED(count, usage)                                                                         \
    if (std::string problem = need(args, count, usage); !problem.empty())                          \
    return problem

bool number_arg(const command_args& args, size_t index, long long& out) {
    return index < args.size() && parse_int(args[index], out);
}

std::string window_arg(const command_args& args, HWND& window) {
    if (args.empty() || !parse_window(args[0], window)) {
        return "no such window";
    }
    return {};
}

struct window_search {
    DWORD pid;
    HWND found;
};

BOOL CALLBACK find_main(HWND window, LPARAM data) {
    auto* search = reinterpret_cast<window_search*>(data);
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    if (pid == search->pid && window_class(window) == main_class) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

int count_children(HWND window) {
    int count = 0;
    for (HWND child = GetWindow(window, GW_CHILD); child != nullptr;
         child = GetWindow(child, GW_HWNDNEXT)) {
        ++count;
    }
    return count;
}

// Paths come as UTF-8, so that a folder named in any script can be started from.
std::wstring from_utf8(const std::string& text) {
    std::wstring wide(text.size() + 1, L'\0');
    const int n = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, wide.data(),
                                      static_cast<int>(wide.size()));
    wide.resize(n > 0 ? n - 1 : 0);
    return wide;
}

std::string cmd_start(const command_args& args, json_writer& reply) {
    NEED(1, "start PATH [DIRECTORY]");
    const std::wstring path = from_utf8(args[0]);
    std::wstring command_line = L"\"" + path + L"\"";
    const std::wstring directory = args.size() > 1 ? from_utf8(args[1]) : std::wstring();
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    // Suspended until the show hook is in place, so it sees the very first showing.
    if (!CreateProcessW(path.c_str(), command_line.data(), nullptr, nullptr, FALSE,
                        CREATE_SUSPENDED, nullptr, args.size() > 1 ? directory.c_str() : nullptr,
                        &startup, &info)) {
        return "CreateProcess failed with " + std::to_string(GetLastError());
    }
    reply.key("watched").value(watch_show(info.dwThreadId));
    ResumeThread(info.hThread);
    CloseHandle(info.hThread);
    processes[info.dwProcessId] = info.hProcess;
    reply.key("pid").value(info.dwProcessId);
    return {};
}

// Polls every millisecond until the window is visible, and records whether it was ever
// seen visible without child windows: the program must build its first screen while the
// window is still hidden.
std::string cmd_wait_window(const command_args& args, json_writer& reply) {
    NEED(2, "wait_window PID TIMEOUT_MS");
    long long pid = 0;
    long long timeout = 0;
    if (!number_arg(args, 0, pid) || !number_arg(args, 1, timeout)) {
        return "bad number";
    }
    const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(timeout);
    window_search search{static_cast<DWORD>(pid), nullptr};
    int polls = 0;
    int hidden_polls = 0;
    bool visible_without_children = false;
    int children_when_shown = -1;
    for (;;) {
        ++polls;
        search.found = nullptr;
        EnumWindows(find_main, reinterpret_cast<LPARAM>(&search));
        if (search.found != nullptr) {
            const bool visible = IsWindowVisible(search.found) != FALSE;
            const int children = count_children(search.found);
            if (!visible) {
                ++hidden_polls;
            } else {
                visible_without_children = visible_without_children || children == 0;
                children_when_shown = children;
                break;
            }
        }
        if (GetTickCount64() >= deadline) {
            return search.found != nullptr ? "window never became visible" : "no window";
        }
        if (process_ended(search.pid)) {
            DWORD code = 0;
            GetExitCodeProcess(processes[search.pid], &code);
            return "the process ended without showing its window (exit code " +
                   std::to_string(code) + ")";
        }
        Sleep(1);
    }
    reply.key("hwnd");
    add_window(reply, search.found);
    reply.key("polls").value(polls).key("hidden_polls").value(hidden_polls);
    reply.key("visible_without_children").value(visible_without_children);
    reply.key("children_when_shown").value(children_when_shown);
    reply.key("children_at_show")
        .value(children_at_show(search.found, GetTickCount64() + send_timeout_ms));
    return {};
}

void add_region_rects(json_writer& reply, HRGN region);

std::string cmd_window(const command_args& args, json_writer& reply) {
    HWND window = nullptr;
    if (auto problem = window_arg(args, window); !problem.empty()) {
        return problem;
    }
    RECT r{};
    GetWindowRect(window, &r);
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    reply.key("x").value(r.left).key("y").value(r.top);
    reply.key("width").value(r.right - r.left).key("height").value(r.bottom - r.top);
    reply.key("visible").value(IsWindowVisible(window) != FALSE);
    reply.key("class").value(window_class(window)).key("title").value(window_text(window));
    reply.key("style").value(static_cast<std::int64_t>(GetWindowLongA(window, GWL_STYLE)));
    reply.key("exstyle").value(static_cast<std::int64_t>(GetWindowLongA(window, GWL_EXSTYLE)));
    reply.key("pid").value(pid);
    reply.key("children").value(count_children(window));

    // The region in window coordinates, as the rectangles the system keeps.
    HRGN region = CreateRectRgn(0, 0, 0, 0);
    const int kind = GetWindowRgn(window, region);
    reply.key("region");
    if (kind == ERROR) {
        reply.null();
    } else {
        add_region_rects(reply, region);
    }
    DeleteObject(region);
    return {};
}

std::string post(HWND window, UINT message, WPARAM w, LPARAM l) {
    return PostMessageA(window, message, w, l)
               ? std::string()
               : "PostMessage failed with " + std::to_string(GetLastError());
}

std::string cmd_click(const command_args& args, json_writer&) {
    HWND window = nullptr;
    if (auto problem = window_arg(args, window); !problem.empty()) {
        return problem;
    }
    return post(window, BM_CLICK, 0, 0);
}

// WM_COMMAND to a window as if its control ID had sent notification CODE.
std::string cmd_command(const command_args& args, json_writer&) {
    NEED(3, "command HWND ID CODE");
    HWND window = nullptr;
    long long id = 0;
    long long code = 0;
    if (!parse_window(args[0], window) || !number_arg(args, 1, id) || !number_arg(args, 2, code)) {
        return "bad argument";
    }
    HWND control = GetDlgItem(window, static_cast<int>(id));
    return post(window, WM_COMMAND, MAKEWPARAM(id, code), reinterpret_cast<LPARAM>(control));
}

// WM_SETTEXT is sent, so the edit box has sent EN_CHANGE to its parent on return.
std::string cmd_set_text(const command_args& args, json_writer&) {
    HWND window = nullptr;
    if (auto problem = window_arg(args, window); !problem.empty()) {
        return problem;
    }
    const std::string text = args.size() > 1 ? args[1] : std::string();
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutA(window, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()),
                             SMTO_ABORTIFHUNG, send_timeout_ms, &result)) {
        return "WM_SETTEXT was not answered";
    }
    return {};
}

std::string cmd_post(const command_args& args, json_writer&) {
    NEED(4, "post HWND MESSAGE WPARAM LPARAM");
    HWND window = nullptr;
    long long message = 0;
    long long w = 0;
    long long l = 0;
    if (!parse_window(args[0], window) || !number_arg(args, 1, message) ||
        !number_arg(args, 2, w) || !number_arg(args, 3, l)) {
        return "bad argument";
    }
    return post(window, static_cast<UINT>(message), static_cast<WPARAM>(w), static_cast<LPARAM>(l));
}

std::string cmd_sys_command(const command_args& args, json_writer&) {
    NEED(2, "sys_command HWND WPARAM");
    HWND window = nullptr;
    long long w = 0;
    if (!parse_window(args[0], window) || !number_arg(args, 1, w)) {
        return "bad argument";
    }
    return post(window, WM_SYSCOMMAND, static_cast<WPARAM>(w), 0);
}

std::string cmd_close(const command_args& args, json_writer&) {
    HWND window = nullptr;
    if (auto problem = window_arg(args, window); !problem.empty()) {
        return problem;
    }
    return post(window, WM_CLOSE, 0, 0);
}

// X and Y are relative to the window's top-left corner; the message carries screen
// coordinates as two signed 16-bit halves.
std::string cmd_hit_test(const command_args& args, json_writer& reply) {
    NEED(3, "hit_test HWND X Y");
    HWND window = nullptr;
    long long x = 0;
    long long y = 0;
    if (!parse_window(args[0], window) || !number_arg(args, 1, x) || !number_arg(args, 2, y)) {
        return "bad argument";
    }
    RECT r{};
    GetWindowRect(window, &r);
    const auto sx = static_cast<WORD>(static_cast<SHORT>(r.left + x));
    const auto sy = static_cast<WORD>(static_cast<SHORT>(r.top + y));
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutA(window, WM_NCHITTEST, 0, static_cast<LPARAM>(MAKELONG(sx, sy)),
                             SMTO_ABORTIFHUNG, send_timeout_ms, &result)) {
        return "WM_NCHITTEST was not answered";
    }
    reply.key("result").value(static_cast<std::int64_t>(static_cast<LRESULT>(result)));
    reply.key("screen_x").value(r.left + static_cast<long>(x));
    reply.key("screen_y").value(r.top + static_cast<long>(y));
    return {};
}

std::string cmd_move(const command_args& args, json_writer& reply) {
    NEED(3, "move HWND X Y");
    HWND window = nullptr;
    long long x = 0;
    long long y = 0;
    if (!parse_window(args[0], window) || !number_arg(args, 1, x) || !number_arg(args, 2, y)) {
        return "bad argument";
    }
    // Asynchronous, so a hung program cannot hold the driver; then wait for the move.
    SetWindowPos(window, nullptr, static_cast<int>(x), static_cast<int>(y), 0, 0,
                 SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE | SWP_ASYNCWINDOWPOS);
    RECT r{};
    const ULONGLONG deadline = GetTickCount64() + send_timeout_ms;
    for (;;) {
        GetWindowRect(window, &r);
        if ((r.left == x && r.top == y) || GetTickCount64() >= deadline) {
            break;
        }
        Sleep(5);
    }
    reply.key("x").value(r.left).key("y").value(r.top);
    return {};
}

std::string cmd_window_from_point(const command_args& args, json_writer& reply) {
    NEED(2, "window_from_point X Y");
    long long x = 0;
    long long y = 0;
    if (!number_arg(args, 0, x) || !number_arg(args, 1, y)) {
        return "bad argument";
    }
    HWND window = WindowFromPoint(POINT{static_cast<LONG>(x), static_cast<LONG>(y)});
    reply.key("hwnd");
    add_window(reply, window);
    reply.key("root");
    add_window(reply, window != nullptr ? GetAncestor(window, GA_ROOT) : nullptr);
    return {};
}

// The window's rectangle as the screen shows it, into a BMP file (a Windows path).
std::string cmd_capture(const command_args& args, json_writer& reply) {
    NEED(2, "capture HWND PATH");
    HWND window = nullptr;
    if (!parse_window(args[0], window)) {
        return "no such window";
    }
    RECT r{};
    GetWindowRect(window, &r);
    pixel_block block;
    if (!grab_screen(r, block)) {
        return "screen grab failed";
    }
    if (!write_bmp(args[1], block)) {
        return "cannot write " + args[1];
    }
    reply.key("width").value(block.width).key("height").value(block.height);
    return {};
}

std::string cmd_pixel(const command_args& args, json_writer& reply) {
    NEED(3, "pixel HWND X Y");
    HWND window = nullptr;
    long long x = 0;
    long long y = 0;
    if (!parse_window(args[0], window) || !number_arg(args, 1, x) || !number_arg(args, 2, y)) {
        return "bad argument";
    }
    RECT r{};
    GetWindowRect(window, &r);
    const auto left = r.left + static_cast<LONG>(x);
    const auto top = r.top + static_cast<LONG>(y);
    pixel_block block;
    if (!grab_screen(RECT{left, top, left + 1, top + 1}, block)) {
        return "screen grab failed";
    }
    const std::uint32_t colour = block.at(0, 0);
    reply.key("rgb").begin_array();
    reply.value(static_cast<int>((colour >> 16) & 0xFF));
    reply.value(static_cast<int>((colour >> 8) & 0xFF));
    reply.value(static_cast<int>(colour & 0xFF)).end_array();
    return {};
}

HANDLE process_arg(const command_args& args, long long& pid) {
    if (!number_arg(args, 0, pid)) {
        return nullptr;
    }
    const auto found = processes.find(static_cast<DWORD>(pid));
    return found == processes.end() ? nullptr : found->second;
}

std::string cmd_wait_exit(const command_args& args, json_writer& reply) {
    NEED(2, "wait_exit PID TIMEOUT_MS");
    long long pid = 0;
    long long timeout = 0;
    HANDLE process = process_arg(args, pid);
    if (process == nullptr || !number_arg(args, 1, timeout)) {
        return "not a process started by this driver";
    }
    const DWORD waited = WaitForSingleObject(process, static_cast<DWORD>(timeout));
    reply.key("exited").value(waited == WAIT_OBJECT_0);
    DWORD code = 0;
    reply.key("code");
    if (waited == WAIT_OBJECT_0 && GetExitCodeProcess(process, &code)) {
        reply.value(code);
    } else {
        reply.null();
    }
    return {};
}

std::string cmd_kill(const command_args& args, json_writer& reply) {
    long long pid = 0;
    HANDLE process = process_arg(args, pid);
    if (process == nullptr) {
        return "not a process started by this driver";
    }
    const bool running = WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
    if (running) {
        TerminateProcess(process, 1);
        WaitForSingleObject(process, 5000);
    }
    reply.key("was_running").value(running);
    return {};
}

// Handles of a process as the system's handle list has them: Wine 8 answers
// GetProcessHandleCount with 0 for any process, but lists every handle it holds.
struct handle_entry {
    ULONG owner_pid;
    BYTE object_type;
    BYTE flags;
    USHORT value;
    void* object;
    ULONG access;
};

long long listed_handles(DWORD pid) {
    using query_fn = LONG(WINAPI*)(int, void*, ULONG, ULONG*);
    const auto query = reinterpret_cast<query_fn>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation")));
    constexpr int system_handle_information = 16;
    constexpr LONG length_mismatch = static_cast<LONG>(0xC0000004);
    std::vector<char> buffer(1 << 20);
    for (int tries = 0; query != nullptr && tries < 8; ++tries) {
        ULONG needed = 0;
        const LONG status = query(system_handle_information, buffer.data(),
                                  static_cast<ULONG>(buffer.size()), &needed);
        if (status == length_mismatch) {
            buffer.resize(std::max<size_t>(buffer.size() * 2, needed + 65536));
            continue;
        }
        if (status != 0) {
            break;
        }
        ULONG count = 0;
        std::memcpy(&count, buffer.data(), sizeof count);
        const auto* entries = reinterpret_cast<const handle_entry*>(buffer.data() + sizeof(void*));
        long long owned = 0;
        for (ULONG i = 0; i < count; ++i) {
            owned += entries[i].owner_pid == pid ? 1 : 0;
        }
        return owned;
    }
    return -1;
}

// What the system counts for a running process: its handles and its peak working set
// (under Wine, the Linux process's VmHWM, which is what a leak or a growing buffer moves).
std::string cmd_process(const command_args& args, json_writer& reply) {
    long long pid = 0;
    HANDLE process = process_arg(args, pid);
    if (process == nullptr) {
        return "not a process started by this driver";
    }
    DWORD handles = 0;
    PROCESS_MEMORY_COUNTERS memory{};
    memory.cb = sizeof memory;
    if (!GetProcessHandleCount(process, &handles) ||
        !K32GetProcessMemoryInfo(process, &memory, sizeof memory)) {
        return "cannot read the process: " + std::to_string(GetLastError());
    }
    reply.key("handles").value(handles != 0 ? static_cast<long long>(handles)
                                            : listed_handles(static_cast<DWORD>(pid)));
    reply.key("peak_working_set").value(static_cast<long long>(memory.PeakWorkingSetSize));
    reply.key("working_set").value(static_cast<long long>(memory.WorkingSetSize));
    // The files its DLLs were loaded from: whether one came from beside the program.
    HMODULE modules[512];
    DWORD size = 0;
    reply.key("modules").begin_array();
    if (K32EnumProcessModules(process, modules, sizeof modules, &size)) {
        for (DWORD i = 0; i < size / sizeof(HMODULE) && i < 512; ++i) {
            char path[MAX_PATH * 3];
            if (K32GetModuleFileNameExA(process, modules[i], path, sizeof path) != 0) {
                reply.value(path);
            }
        }
    }
    reply.end_array();
    return {};
}

std::string cmd_screen(const command_args&, json_writer& reply) {
    reply.key("full_width").value(GetSystemMetrics(SM_CXFULLSCREEN));
    reply.key("full_height").value(GetSystemMetrics(SM_CYFULLSCREEN));
    reply.key("width").value(GetSystemMetrics(SM_CXSCREEN));
    reply.key("height").value(GetSystemMetrics(SM_CYSCREEN));
    const COLORREF face = GetSysColor(COLOR_BTNFACE);
    reply.key("button_face").begin_array();
    reply.value(static_cast<int>(GetRValue(face))).value(static_cast<int>(GetGValue(face)));
    reply.value(static_cast<int>(GetBValue(face))).end_array();
    return {};
}

// Whether a named mutex exists in this log-on's namespace.
std::string cmd_mutex(const command_args& args, json_writer& reply) {
    NEED(1, "mutex NAME");
    HANDLE mutex = OpenMutexA(SYNCHRONIZE, FALSE, args[0].c_str());
    reply.key("exists").value(mutex != nullptr);
    if (mutex != nullptr) {
        CloseHandle(mutex);
    }
    return {};
}

void add_region_rects(json_writer& reply, HRGN region) {
    const DWORD size = GetRegionData(region, 0, nullptr);
    std::vector<char> buffer(size);
    auto* data = reinterpret_cast<RGNDATA*>(buffer.data());
    reply.begin_array();
    if (size != 0 && GetRegionData(region, size, data) == size) {
        const RECT* rects = reinterpret_cast<const RECT*>(data->Buffer);
        for (DWORD i = 0; i < data->rdh.nCount; ++i) {
            add_rect(reply, rects[i]);
        }
    }
    reply.end_array();
}

// The rectangles of a winding-rule polygon region made here, with the system's own
// rasteriser, to compare with a window's region.
std::string cmd_polygon_region(const command_args& args, json_writer& reply) {
    std::vector<POINT> points;
    for (size_t i = 0; i + 1 < args.size(); i += 2) {
        long long x = 0;
        long long y = 0;
        if (!number_arg(args, i, x) || !number_arg(args, i + 1, y)) {
            return "bad coordinate";
        }
        points.push_back(POINT{static_cast<LONG>(x), static_cast<LONG>(y)});
    }
    if (points.size() < 3 || args.size() % 2 != 0) {
        return "usage: polygon_region X0 Y0 X1 Y1 X2 Y2 ...";
    }
    HRGN region = CreatePolygonRgn(points.data(), static_cast<int>(points.size()), WINDING);
    if (region == nullptr) {
        return "CreatePolygonRgn failed";
    }
    reply.key("region");
    add_region_rects(reply, region);
    DeleteObject(region);
    return {};
}

} // namespace

bool parse_window(const std::string& word, HWND& window) {
    long long value = 0;
    if (!parse_int(word, value)) {
        return false;
    }
    window = reinterpret_cast<HWND>(static_cast<std::uintptr_t>(value));
    return IsWindow(window) != FALSE;
}

std::string window_class(HWND window) {
    char name[256] = "";
    GetClassNameA(window, name, sizeof name);
    return name;
}

// WM_GETTEXT rather than GetWindowText: an edit box keeps its text itself.
std::string window_text(HWND window) {
    char text[4096] = "";
    DWORD_PTR length = 0;
    if (!SendMessageTimeoutA(window, WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text),
                             SMTO_ABORTIFHUNG, send_timeout_ms, &length)) {
        return {};
    }
    return std::string(text, length < sizeof text ? length : 0);
}

void add_window(json_writer& reply, HWND window) {
    reply.value(static_cast<std::int64_t>(reinterpret_cast<std::uintptr_t>(window)));
}

void add_rect(json_writer& reply, const RECT& r) {
    reply.begin_array().value(r.left).value(r.top).value(r.right).value(r.bottom).end_array();
}

bool process_ended(DWORD pid) {
    const auto found = processes.find(pid);
    return found != processes.end() && WaitForSingleObject(found->second, 0) == WAIT_OBJECT_0;
}

void end_started_processes() {
    for (const auto& [pid, process] : processes) {
        if (WaitForSingleObject(process, 0) == WAIT_TIMEOUT) {
            TerminateProcess(process, 1);
            WaitForSingleObject(process, 5000);
        }
        CloseHandle(process);
    }
    processes.clear();
}

const std::map<std::string, command_fn>& command_table() {
    static const std::map<std::string, command_fn> table = {
        {"start", cmd_start},
        {"wait_window", cmd_wait_window},
        {"window", cmd_window},
        {"children", cmd_children},
        {"message_font", cmd_message_font},
        {"system_menu", cmd_system_menu},
        {"click", cmd_click},
        {"command", cmd_command},
        {"set_text", cmd_set_text},
        {"post", cmd_post},
        {"sys_command", cmd_sys_command},
        {"close", cmd_close},
        {"hit_test", cmd_hit_test},
        {"move", cmd_move},
        {"window_from_point", cmd_window_from_point},
        {"capture", cmd_capture},
        {"pixel", cmd_pixel},
        {"wait_exit", cmd_wait_exit},
        {"kill", cmd_kill},
        {"process", cmd_process},
        {"screen", cmd_screen},
        {"polygon_region", cmd_polygon_region},
        {"mutex", cmd_mutex},
        {"rename", cmd_rename},
        {"find_window", cmd_find_window},
        {"dialogs", cmd_dialogs},
        {"wait_dialog", cmd_wait_dialog},
        {"press", cmd_press},
    };
    return table;
}
