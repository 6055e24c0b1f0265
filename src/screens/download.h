// The download screen and engine: takes over the sign-in response on "ok".
#pragma once

#include <cstddef>

// Takes over the whole response (buffer of length + 1 bytes, NUL at length) for the
// rest of the run.
void download(char* response, std::size_t length);
void download_process_message(unsigned id, unsigned code);
void download_update_status(const char* text);
void download_stop();
