// The install screen: one line while a worker gives the stored installer ("launch")
// its real name, starts it in the product's directory, waits for it and renames it
// back. The main window hides while the installer shows a window of its own and comes
// back, in front, with the finished screen.
#include "screens/install.h"

#include <windows.h>

#include <cstdlib>

#include "foundation/path_win.h"
#include "foundation/util.h"
#include "resources/token_block.h"
#include "screens/download.h"
#include "screens/finished.h"
#include "shell/main_thread.h"

namespace {

constexpr UINT_PTR watch_timer = 1;
constexpr UINT watch_period_ms = 200;

// The failure of the current run, written by the worker only and shown and released by
// install_done while the worker waits.
char* error = nullptr;
HWND title_label = nullptr;
// Written by the worker before the watch starts, read by the watch.
DWORD install_process_id = 0;

void set_error(const std::string& text) {
    std::free(error);
    error = my_strdup(text.c_str());
}

BOOL CALLBACK enum_windows_proc(HWND window, LPARAM) {
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    if (process != install_process_id) {
        return TRUE;
    }
    KillTimer(main_window, watch_timer);
    ShowWindow(main_window, SW_HIDE);
    return FALSE;
}

void CALLBACK timer_proc(HWND, UINT, UINT_PTR, DWORD) {
    EnumWindows(enum_windows_proc, 0);
}

void install() {
    const std::wstring directory =
        download_dir + widen(format_string("\\%1!s!", product_identifier()));
    const std::wstring launch = directory + L"\\launch";
    const std::wstring installer = directory + L"\\" + widen(download_executable());
    if (!MoveFileW(launch.c_str(), installer.c_str())) {
        const DWORD code = GetLastError();
        set_error(system_error(format_string("Failed to rename file. Source: %1!s!, Target: "
                                             "%2!s!, Error",
                                             narrow(launch), narrow(installer))
                                   .c_str(),
                               code));
        return;
    }
    // Held without write or delete sharing from its last check until it has started, so
    // that the bytes that run are the bytes judged.
    const HANDLE held = CreateFileW(installer.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (held == INVALID_HANDLE_VALUE || !download_installer_matches(held)) {
        set_error(held == INVALID_HANDLE_VALUE
                      ? system_error("Failed to launch installer", GetLastError())
                      : format_string(mismatch_template, "launch"));
        if (held != INVALID_HANDLE_VALUE) {
            CloseHandle(held);
        }
        MoveFileW(installer.c_str(), launch.c_str());
        return;
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    const BOOL started = CreateProcessW(installer.c_str(), nullptr, nullptr, nullptr, FALSE, 0,
                                        nullptr, directory.c_str(), &startup, &process);
    const DWORD start_error = GetLastError();
    CloseHandle(held);
    if (started) {
        CloseHandle(process.hThread);
        install_process_id = process.dwProcessId;
        // The watch runs on the window's thread: its timer belongs there.
        set_main_timer(watch_timer, watch_period_ms, timer_proc);
        WaitForSingleObject(process.hProcess, INFINITE);
        kill_main_timer(watch_timer);
        CloseHandle(process.hProcess);
    } else {
        set_error(system_error("Failed to launch installer", start_error));
    }
    MoveFileW(installer.c_str(), launch.c_str());
}

void install_done() {
    // Texts posted before this hand-over belong to no screen now; take them first.
    handle_queued_status();
    if (error != nullptr) {
        show_error(error);
        std::free(error);
        error = nullptr;
    }
    DestroyWindow(title_label);
    ShowWindow(main_window, SW_SHOW);
    SetForegroundWindow(main_window);
    finished_init();
}

DWORD WINAPI thread_proc(LPVOID) {
    error = nullptr;
    install();
    call_in_main_thread(install_done);
    return 0;
}

} // namespace

void install_init() {
    current_screen = 3;
    title_label = create_control(
        "STATIC", format_string("Launching %1!s! installer...", download_title()).c_str(),
        WS_CHILD | WS_VISIBLE, 17, 41, 446, 3 * default_font_height / 2, 0, title_font);
    const HANDLE thread = CreateThread(nullptr, 0, thread_proc, nullptr, 0, nullptr);
    system_assert_("CreateThread", thread);
    CloseHandle(thread);
}
