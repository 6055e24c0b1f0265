// The token block. The store stamps each copy of the built program with the buyer's
// token and the product identifier (tools/stamp), so the program must read both from
// the file at run time: the values here are only the demo store's defaults.
#include "resources/token_block.h"

#include "resources/token_format.h"

namespace {

struct token_storage {
    char marker[token_marker_size];
    char block[token_block_size];
};

// Kept even though nothing names it directly, and never written.
[[gnu::used]] const token_storage storage = {
    QV_TOKEN_MARKER,
    QV_DEMO_TOKEN "\0" QV_DEMO_PRODUCT,
};
static_assert(sizeof(QV_DEMO_TOKEN) == token_slot_size, "the demo token fills its slot");

// The compiler sees the default values above; passing the address through an empty
// assembler statement hides where it points, so that no reader of cookie can have a
// default value folded into its code instead of the stamped one.
const char* opaque(const char* address) {
    asm volatile("" : "+r"(address));
    return address;
}

} // namespace

const char* const cookie = opaque(storage.block);
