// The install screen: one line while a worker holds the stored installer ("launch")
// against changes, gives it its real name, starts it in the product's directory, waits
// for it and renames it back. The main window hides while the installer shows a window
// of its own and comes back, in front, with the finished screen.
#include "screens/install.h"

#include <windows.h>

#include <cstdlib>
#include <vector>

#include "download/product.h"
#include "foundation/path_win.h"
#include "foundation/util.h"
#include "resources/token_block.h"
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

// Gives the held file another name through its own handle, so that no other file can
// take its place between the two. Sets the last error when it fails.
bool rename_held(HANDLE file, const std::wstring& target) {
    std::vector<char> buffer(sizeof(FILE_RENAME_INFO) + target.size() * sizeof(wchar_t));
    auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    rename->ReplaceIfExists = FALSE;
    rename->RootDirectory = nullptr;
    rename->FileNameLength = static_cast<DWORD>(target.size() * sizeof(wchar_t));
    target.copy(rename->FileName, target.size());
    return SetFileInformationByHandle(file, FileRenameInfo, rename,
                                      static_cast<DWORD>(buffer.size())) != FALSE;
}

void install() {
    const std::wstring directory =
        download_dir + widen(format_string("\\%1!s!", product_identifier()));
    const std::wstring launch = directory + L"\\launch";
    const std::wstring installer = directory + L"\\" + widen(download_executable());
    // The one place where the installer is opened: from here until it has ended, others
    // may read it but neither change, rename nor delete it, so the program that runs as
    // administrator is the one that was downloaded and checked. Checks of its bytes
    // belong here, on this handle, after the rename.
    const HANDLE held = CreateFileW(launch.c_str(), GENERIC_READ | DELETE, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (held == INVALID_HANDLE_VALUE || !rename_held(held, installer)) {
        const DWORD code = GetLastError();
        if (held != INVALID_HANDLE_VALUE) {
            CloseHandle(held);
        }
        set_error(system_error(format_string("Failed to rename file. Source: %1!s!, Target: "
                                             "%2!s!, Error",
                                             narrow(launch), narrow(installer))
                                   .c_str(),
                               code));
        return;
    }
    if (!download_installer_matches(held)) {
        set_error(format_string(mismatch_template, "launch"));
        rename_held(held, launch);
        CloseHandle(held);
        return;
    }
    // Quoted, so that a path with blanks reaches the installer as its name alone rather
    // than as arguments split at every blank.
    std::wstring command_line = L"\"" + installer + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (CreateProcessW(installer.c_str(), command_line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                       directory.c_str(), &startup, &process)) {
        CloseHandle(process.hThread);
        install_process_id = process.dwProcessId;
        // The watch runs on the window's thread: its timer belongs there.
        set_main_timer(watch_timer, watch_period_ms, timer_proc);
        WaitForSingleObject(process.hProcess, INFINITE);
        kill_main_timer(watch_timer);
        CloseHandle(process.hProcess);
    } else {
        set_error(system_error("Failed to launch installer", GetLastError()));
    }
    rename_held(held, launch);
    CloseHandle(held);
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
    hand_over(next_screen::finished);
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
