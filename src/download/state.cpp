// The download's shared state (download/state.h): one attempt's worker and the window's
// thread hand it between them.
#include "download/state.h"

CRITICAL_SECTION critical_section;

std::int64_t done_size = 0;
const char* current_file = nullptr;
HANDLE current_file_handle = INVALID_HANDLE_VALUE;
std::int64_t current_file_size = 0;
std::int64_t current_file_size_left = 0;
char* error_message = nullptr;
std::uint32_t last_net_error = 0;

void (*interrupted_callback)() = nullptr;
net_context* request_context = nullptr;

int state = 0;
bool completed = false;
