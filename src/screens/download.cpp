// Stand-in for the download screen until it is built: the sign-in stand-in never hands
// over, so nothing here is reached yet.
#include "screens/download.h"

void download(char*, std::size_t) {}
void download_process_message(unsigned, unsigned) {}
void download_update_status(const char*) {}
void download_stop() {}
