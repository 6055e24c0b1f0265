// Form encoding and response collection of the form query.
#include "net/form_body.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "foundation/util.h"

namespace {

bool passes_unchanged(unsigned char byte) {
    return (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') ||
           (byte >= '0' && byte <= '9') || byte == '_' || byte == '.' || byte == '-';
}

} // namespace

std::string form_encode(const query_field* fields) {
    static const char digits[] = "0123456789abcdef";
    // Reserved whole up front: growing would leave copies of a password in freed memory.
    std::size_t size = 0;
    for (const query_field* field = fields; field->name != nullptr; ++field) {
        size += std::strlen(field->name) + 3 * std::strlen(field->value) + 2;
    }
    std::string body;
    body.reserve(size);
    for (const query_field* field = fields; field->name != nullptr; ++field) {
        if (field != fields) {
            body += '&';
        }
        body += field->name;
        body += '=';
        for (const char* p = field->value; *p != '\0'; ++p) {
            const auto byte = static_cast<unsigned char>(*p);
            if (passes_unchanged(byte)) {
                body += static_cast<char>(byte);
            } else {
                body += '%';
                body += digits[byte >> 4];
                body += digits[byte & 15];
            }
        }
    }
    return body;
}

char* read_whole_body(body_reader read, void* state, std::int32_t* length, bool* too_long,
                      std::size_t limit) {
    if (too_long != nullptr) {
        *too_long = false;
    }
    std::size_t capacity = std::min<std::size_t>(4096, limit);
    std::size_t used = 0;
    char* buffer = static_cast<char*>(my_malloc(capacity + 1));
    for (;;) {
        // At the bound the buffer is full and stays so: one byte more, into the room kept
        // for the added NUL, tells whether the body goes on.
        const bool at_bound = used == limit;
        std::uint32_t count = 0;
        if (!read(state, buffer + used, at_bound ? 1 : static_cast<std::uint32_t>(capacity - used),
                  &count)) {
            std::free(buffer);
            *length = 0;
            return nullptr;
        }
        if (count == 0) {
            buffer[used] = '\0';
            *length = static_cast<std::int32_t>(used);
            return buffer;
        }
        if (at_bound) {
            std::free(buffer);
            *length = 0;
            if (too_long != nullptr) {
                *too_long = true;
            }
            return nullptr;
        }
        used += count;
        if (used == capacity && capacity < limit) {
            capacity = std::min(2 * capacity, limit);
            buffer = static_cast<char*>(my_realloc(buffer, capacity + 1));
        }
    }
}
