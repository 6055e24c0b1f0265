// Win32 answers for the message and error operations: the system's error texts and
// message boxes owned by the main window.
#include <windows.h>

#include <shellapi.h>

#include "foundation/path_win.h"
#include "foundation/util.h"
#include "foundation/util_platform.h"
#include "shell/shell_state.h"

namespace util_platform {

bool describe_error(std::uint32_t code, std::string& description) {
    char* buffer = nullptr;
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS |
                                            FORMAT_MESSAGE_ALLOCATE_BUFFER,
                                        nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                                        reinterpret_cast<LPSTR>(&buffer), 0, nullptr);
    if (length == 0 || buffer == nullptr) {
        return false;
    }
    description.assign(buffer, length);
    LocalFree(buffer);
    return true;
}

std::uint32_t last_error() {
    return GetLastError();
}

int show_box(const char* text, notice_kind kind) {
    const UINT style = MB_OK | (kind == notice_kind::warning ? MB_ICONWARNING : MB_ICONINFORMATION);
    return MessageBoxA(main_window, text, "Quarryvale Downloader", style);
}

} // namespace util_platform

int delete_product_files(const wchar_t* download_dir, const char* product) {
    // The shell takes a list of paths, each ended by a NUL, the list by a second one.
    std::wstring list = download_dir + widen(format_string("\\%1!s! ", product));
    list.back() = L'\0';
    SHFILEOPSTRUCTW operation{};
    operation.hwnd = main_window;
    operation.wFunc = FO_DELETE;
    operation.pFrom = list.c_str();
    operation.fFlags = FOF_NOCONFIRMATION | FOF_NOERRORUI;
    SHFileOperationW(&operation);
    return RemoveDirectoryW(download_dir);
}
