// The parts of the form query that need no network: the form encoding of the fields
// and the collection of a whole response body from a reader that delivers it piece by
// piece. Kept apart so that they are tested natively.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// One form field; a list ends with an entry whose name is null.
struct query_field {
    const char* name;
    const char* value;
};

// name=value pairs joined by '&'. Names are copied as they are; in values every byte
// but ASCII letters, digits, '_', '.' and '-' becomes %xx in lower-case hexadecimal.
std::string form_encode(const query_field* fields);

// Reads up to size bytes into buffer and stores the count; false on failure.
using body_reader = bool (*)(void* state, char* buffer, std::uint32_t size, std::uint32_t* count);

// The longest sign-in answer taken: far beyond any real product list (100,000 files of
// long names and their hashes come to a few MB), and far below what would make the
// buffer's doubling run the 32-bit length or the memory out.
inline constexpr std::size_t longest_body = std::size_t{64} << 20;

// The whole body in one buffer from my_malloc, followed by an added NUL that length
// does not count. It starts at 4096 bytes and doubles whenever a read fills it, up to
// limit. On a failed read the partial body is freed and the result is null; so it is for
// a body longer than limit, which sets too_long: it is read no further than one byte past
// the bound, and the buffer never grows past it.
char* read_whole_body(body_reader read, void* state, std::int32_t* length, bool* too_long = nullptr,
                      std::size_t limit = longest_body);
