// Message formatting, error texts and allocation that never returns null. One portable
// formatting engine serves every platform, so the native tests see exactly the texts
// the program shows; the Windows tests compare it with the system's own formatter.
#include "foundation/util.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "foundation/util_platform.h"

namespace {

notice_hook current_hook = nullptr;

// Any allocation of the standard library that fails ends the program the same way as
// ours do, instead of throwing through code that has nothing to catch it.
const bool new_handler_installed = (std::set_new_handler([] { mem_error(); }), true);

int notice(const char* text, notice_kind kind) {
    if (current_hook != nullptr) {
        return current_hook(text, kind);
    }
    return util_platform::show_box(text, kind);
}

// Recognises "%n!s!" or "%n!d!" at p (which points at the "%"); on success gives the
// number, the type letter and the length of the insert.
bool parse_insert(const char* p, unsigned& number, char& type, std::size_t& length) {
    const char* q = p + 1;
    if (*q < '0' || *q > '9') {
        return false;
    }
    unsigned n = 0;
    while (*q >= '0' && *q <= '9') {
        if (n > 1000) {
            return false;
        }
        n = n * 10 + static_cast<unsigned>(*q - '0');
        ++q;
    }
    if (q[0] != '!' || (q[1] != 's' && q[1] != 'd') || q[2] != '!') {
        return false;
    }
    number = n;
    type = q[1];
    length = static_cast<std::size_t>(q + 3 - p);
    return true;
}

void append_decimal(std::string& out, std::int32_t value) {
    // Widened first so that INT32_MIN can be negated.
    std::int64_t v = value;
    char digits[16];
    int count = 0;
    const bool negative = v < 0;
    if (negative) {
        v = -v;
    }
    do {
        digits[count++] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v != 0);
    if (negative) {
        out += '-';
    }
    while (count > 0) {
        out += digits[--count];
    }
}

} // namespace

std::string format_string_args(const char* templ, const format_arg* args, std::size_t count) {
    std::string out;
    const char* p = templ;
    while (*p != '\0') {
        const char* percent = std::strchr(p, '%');
        if (percent == nullptr) {
            out.append(p);
            break;
        }
        out.append(p, percent);
        unsigned number = 0;
        char type = 0;
        std::size_t length = 0;
        if (parse_insert(percent, number, type, length) && number >= 1 && number <= count &&
            args[number - 1].is_number == (type == 'd')) {
            const format_arg& arg = args[number - 1];
            if (arg.is_number) {
                append_decimal(out, arg.number);
            } else if (arg.text != nullptr) {
                out.append(arg.text);
            }
            p = percent + length;
        } else {
            out += '%';
            p = percent + 1;
        }
    }
    return out;
}

std::string system_error(const char* text, std::uint32_t code) {
    const auto signed_code = static_cast<std::int32_t>(code);
    std::string description;
    if (util_platform::describe_error(code, description)) {
        return format_string("%1!s!: %2!s! (Error %3!d!)", text, description, signed_code);
    }
    return format_string("%1!s!: Error %2!d!", text, signed_code);
}

int show_error(const char* text) {
    return notice(text, notice_kind::warning);
}

int show_info(const char* text) {
    return notice(text, notice_kind::info);
}

void show_system_error(const char* text, std::uint32_t code) {
    const std::string message = system_error(text, code);
    show_error(message.c_str());
}

void system_assert_value(const char* name, std::uintptr_t value) {
    if (value != 0) {
        return;
    }
    const std::uint32_t code = util_platform::last_error();
    {
        const std::string text =
            format_string("Unexpected error: System function %1!s! failed", name);
        show_system_error(text.c_str(), code);
    }
    std::exit(0);
}

void mem_error() {
    show_error("Error: Failed to allocate memory.");
    std::exit(0);
}

void* my_malloc(std::size_t size) {
    void* block = std::malloc(size);
    if (block == nullptr) {
        mem_error();
    }
    return block;
}

void* my_realloc(void* block, std::size_t size) {
    void* moved = std::realloc(block, size);
    if (moved == nullptr) {
        mem_error();
    }
    return moved;
}

char* my_strdup(const char* text) {
    const std::size_t size = std::strlen(text) + 1;
    char* copy = static_cast<char*>(my_malloc(size));
    std::memcpy(copy, text, size);
    return copy;
}

void set_notice_hook(notice_hook hook) {
    current_hook = hook;
}
