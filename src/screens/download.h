// The download screen and engine: takes over the sign-in response on "ok", downloads
// the product into its directory of temporary files and hands over to the installer.
#pragma once

#include <cstddef>

// The program's directory followed by "Quarryvale temporary files", in wide characters
// (foundation/path_win.h); set by download().
extern wchar_t download_dir[];

// Takes over the whole response (buffer of length + 1 bytes, NUL at length) for the
// rest of the run.
void download(char* response, std::size_t length);
void download_process_message(unsigned id, unsigned code);
void download_update_status(const char* text);
void download_stop();

// The product's title and the installer's file name, for the screens after this one.
const char* download_title();
const char* download_executable();

// True when the store gave no hashes, or when the installer ("launch") read through the
// handle that holds it, from its first byte, is exactly what the store published.
bool download_installer_matches(void* installer);
inline constexpr const char* mismatch_template =
    "The bytes of the file %1!s! do not match what the store published.";
