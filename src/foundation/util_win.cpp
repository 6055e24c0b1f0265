// Win32 answers for the message and error operations: the system's error texts and
// message boxes owned by the main window; and the removal of the product's files.
#include <windows.h>

#include "foundation/folder_win.h"
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
    // A folder the program would not write into is not deleted either: its contents, or
    // what a link there points at, may not be the buyer's to lose. The tree itself is
    // removed by hand, links as links (the shell's delete is not trusted with junctions).
    const std::wstring product_dir = download_dir + widen(format_string("\\%1!s!", product));
    folder_problem problem;
    if (!product_folders_usable(download_dir, product_dir, false, problem)) {
        return 0;
    }
    DWORD error = 0;
    const bool product_trusted =
        check_folder(product_dir.c_str(), error) == folder_verdict::trusted;
    // Held folders cannot be removed, not even by their holder: the hold ends here.
    release_product_folders();
    if (product_trusted) {
        remove_tree(product_dir);
    }
    return RemoveDirectoryW(download_dir);
}
