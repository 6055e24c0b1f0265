// The product this run downloads: what the store's answer named and where its files
// live. The download fills it once, on the window's thread, before its first worker; the
// download, install and finished screens read it afterwards.
#pragma once

#include <cstddef>

// The program's directory followed by "Quarryvale temporary files", in wide characters
// (foundation/path_win.h).
extern wchar_t download_dir[];

// Derives download_dir, then reads the product specification from the whole sign-in
// response (buffer of length + 1 bytes, NUL at length), which it keeps for the rest of
// the run. False when the store's product list is malformed.
bool read_product(char* response, std::size_t length);

// The product's title and the installer's file name.
const char* download_title();
const char* download_executable();

// True when the store gave no hashes, or when the installer ("launch") read through the
// handle that holds it, from its first byte, is exactly what the store published. With
// hashes, a list that names no "launch" published no installer: false.
bool download_installer_matches(void* installer);
inline constexpr const char* mismatch_template =
    "The bytes of the file %1!s! do not match what the store published.";
