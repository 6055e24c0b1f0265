// Stand-in for the download screen until it is built: it takes the sign-in response
// over and parses the product specification, so that a malformed one is reported as
// the download screen will, and shows nothing more.
#include "screens/download.h"

#include <windows.h>

#include "foundation/util.h"
#include "screens/download_parse.h"
#include "shell/shell_state.h"

namespace {

product_specification product;

} // namespace

void download(char* response, std::size_t length) {
    current_screen = 1;
    if (!parse_product_specification(response, length, product)) {
        show_error(cannot_understand_text);
    }
}
void download_process_message(unsigned, unsigned) {}
void download_update_status(const char*) {}

// Without a download there is nothing to keep or remove: closing ends the program, as
// both ending answers of the stop question will.
void download_stop() {
    PostQuitMessage(0);
}
