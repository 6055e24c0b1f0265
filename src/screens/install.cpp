// The install screen: one line while a worker gives the stored installer ("launch") its
// real name, holds it against changes, starts it in the product's directory, waits for it
// and renames it back. The main window hides while the installer shows a window
// of its own and comes back, in front, with the finished screen.
#include "screens/install.h"

#include <windows.h>

#include <cstdlib>
#include <vector>

#include "download/product.h"
#include "foundation/folder_win.h"
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

// Which file an open handle is: its volume and its index there, for as long as the file
// exists.
struct file_identity {
    DWORD volume = 0;
    DWORD index_high = 0;
    DWORD index_low = 0;
    bool operator==(const file_identity&) const = default;
};

bool identify(HANDLE file, file_identity& identity) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(file, &info)) {
        return false;
    }
    identity = {info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow};
    return true;
}

// Renames the file at source to target through a handle of its own, so that the file
// renamed is the one opened, and tells which file that was (in renamed); with expected,
// only that file is renamed. Sets the last error when it fails.
bool rename_file(const std::wstring& source, const std::wstring& target, file_identity& renamed,
                 const file_identity* expected = nullptr) {
    const HANDLE file =
        CreateFileW(source.c_str(), DELETE | FILE_READ_ATTRIBUTES | SYNCHRONIZE, FILE_SHARE_READ,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    bool ok = identify(file, renamed);
    if (ok && expected != nullptr && !(renamed == *expected)) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        ok = false;
    }
    if (ok) {
        std::vector<char> buffer(sizeof(FILE_RENAME_INFO) + target.size() * sizeof(wchar_t));
        auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
        rename->ReplaceIfExists = FALSE;
        rename->RootDirectory = nullptr;
        rename->FileNameLength = static_cast<DWORD>(target.size() * sizeof(wchar_t));
        target.copy(rename->FileName, target.size());
        ok = SetFileInformationByHandle(file, FileRenameInfo, rename,
                                        static_cast<DWORD>(buffer.size())) != FALSE;
    }
    const DWORD code = GetLastError();
    CloseHandle(file);
    SetLastError(code);
    return ok;
}

// Starts the held installer and waits until it has ended.
void run(const std::wstring& installer, const std::wstring& directory) {
    // Quoted, so that a path with blanks reaches the installer as its name alone rather
    // than as arguments split at every blank.
    std::wstring command_line = L"\"" + installer + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(installer.c_str(), command_line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        directory.c_str(), &startup, &process)) {
        set_error(system_error("Failed to launch installer", GetLastError()));
        return;
    }
    CloseHandle(process.hThread);
    install_process_id = process.dwProcessId;
    // The watch runs on the window's thread: its timer belongs there.
    set_main_timer(watch_timer, watch_period_ms, timer_proc);
    WaitForSingleObject(process.hProcess, INFINITE);
    kill_main_timer(watch_timer);
    CloseHandle(process.hProcess);
}

void install() {
    const std::wstring directory =
        download_dir + widen(format_string("\\%1!s!", product_identifier()));
    const std::wstring launch = directory + L"\\launch";
    const std::wstring installer = directory + L"\\" + widen(download_executable());
    file_identity renamed;
    if (!rename_file(launch, installer, renamed)) {
        const DWORD code = GetLastError();
        set_error(system_error(format_string("Failed to rename file. Source: %1!s!, Target: "
                                             "%2!s!, Error",
                                             narrow(launch), narrow(installer))
                                   .c_str(),
                               code));
        return;
    }
    // From here until it has ended, the installer is held by a handle that reads and lets
    // others only read: nobody may change, rename or delete it, so what runs as
    // administrator is what was downloaded and checked, while a self-extracting installer
    // can still open its own file to unpack itself (it shares reading only, and a hold
    // that asked for more, delete included, would lock it out).
    const HANDLE held = CreateFileW(installer.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (held == INVALID_HANDLE_VALUE) {
        set_error(system_error("Failed to launch installer", GetLastError()));
        file_identity back;
        rename_file(installer, launch, back, &renamed);
        return;
    }
    file_identity identity;
    // The file held must be the one renamed, in the folder checked and held for the run,
    // before its bytes are judged through the hold and it starts.
    if (!identify(held, identity) || !(identity == renamed) || !inside_held_product_folder(held)) {
        set_error(format_string("The installer %1!s! was not started because it is not the file "
                                "that was downloaded into %2!s!.",
                                narrow(installer), narrow(directory)));
    } else if (!download_installer_matches(held)) {
        set_error(format_string(mismatch_template, "launch"));
    } else {
        run(installer, directory);
    }
    CloseHandle(held);
    // Only the file that was renamed gets its stored name back.
    file_identity back;
    rename_file(installer, launch, back, &renamed);
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
