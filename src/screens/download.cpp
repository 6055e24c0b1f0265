// Stand-in for the download screen until it is built: it takes the sign-in response
// over and parses the product specification, so that a malformed one is reported as
// the finished screen will, and shows nothing more.
#include "screens/download.h"

#include "foundation/util.h"
#include "screens/download_parse.h"
#include "shell/shell_state.h"

namespace {

product_specification specification;

} // namespace

void download(char* response, std::size_t length) {
    current_screen = 1;
    if (!parse_product_specification(response, length, specification)) {
        show_error(cannot_understand_text);
    }
}
void download_process_message(unsigned, unsigned) {}
void download_update_status(const char*) {}
void download_stop() {}
