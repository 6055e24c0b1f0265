// Until the shell's main-thread call is linked into the core library, the tests link
// this one, which does the same: a sent call message to main_window.
#include "foundation/util.h"
#include "shell/main.h"

void call_in_main_thread(void (*function)()) {
    system_assert_("SendMessage",
                   SendMessageA(main_window, call_message, 0, reinterpret_cast<LPARAM>(function)));
}
