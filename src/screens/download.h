// The download screen: takes over the sign-in response on "ok" and shows the download
// of the product (src/download/) until it hands over to the installer.
#pragma once

#include <cstddef>

// Takes over the whole response (buffer of length + 1 bytes, NUL at length) for the
// rest of the run.
void download(char* response, std::size_t length);
void download_update_status(const char* text);
