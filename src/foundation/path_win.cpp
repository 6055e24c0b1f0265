// The one place where the program's paths change between the ANSI code page and wide
// characters (foundation/path_win.h).
#include "foundation/path_win.h"

#include <windows.h>

std::wstring widen(const char* text) {
    // Flags 0 and CP_ACP: the conversion the A functions make of their arguments.
    const int size = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    if (size <= 0) {
        return {};
    }
    std::wstring wide(static_cast<std::size_t>(size), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text, -1, wide.data(), size);
    wide.resize(static_cast<std::size_t>(size) - 1);
    return wide;
}

std::string narrow(const wchar_t* text) {
    const int size = WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 0) {
        return {};
    }
    std::string ansi(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_ACP, 0, text, -1, ansi.data(), size, nullptr, nullptr);
    ansi.resize(static_cast<std::size_t>(size) - 1);
    return ansi;
}

bool program_directory(std::wstring& directory) {
    wchar_t program[MAX_PATH];
    const DWORD n = GetModuleFileNameW(nullptr, program, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) {
        return false;
    }
    directory.assign(program, n);
    directory.resize(directory.find_last_of(L'\\') + 1); // npos + 1: no directory part
    return true;
}
