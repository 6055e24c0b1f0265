// Messages, errors and memory: the three ways this program fails.
//
// - A system call that should never fail is guarded by system_assert_, which shows one
//   box and ends the program.
// - Exhausted memory ends the program through mem_error, after one box. The standard
//   library's own allocations go the same way (a new-handler calls mem_error).
// - Expected failures become texts built by system_error or format_string; the caller
//   shows them or hands them to the window's thread.
//
// Every end of the program caused here uses exit code 0, like a normal end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <type_traits>

// One argument of a numbered insert: %n!s! takes text, %n!d! a signed 32-bit number.
struct format_arg {
    format_arg(const char* s) : text(s) {}
    format_arg(const std::string& s) : text(s.c_str()) {}
    format_arg(std::int32_t n) : number(n), is_number(true) {}

    const char* text = nullptr;
    std::int32_t number = 0;
    bool is_number = false;
};

std::string format_string_args(const char* templ, const format_arg* args, std::size_t count);

// Fills the numbered inserts of a template. Inserted text is never scanned again, line
// breaks are copied, and argument n is the n-th one whatever the order of the inserts.
// An insert whose argument is missing or of the other kind stays as it stands.
template <class... Args> std::string format_string(const char* templ, const Args&... args) {
    if constexpr (sizeof...(Args) == 0) {
        return format_string_args(templ, nullptr, 0);
    } else {
        const format_arg list[] = {format_arg(args)...};
        return format_string_args(templ, list, sizeof...(Args));
    }
}

// "text: description (Error code)" when the system can describe the code (the
// description keeps its own line break), else "text: Error code".
std::string system_error(const char* text, std::uint32_t code);

// Warning and information boxes owned by the main window, one OK button.
int show_error(const char* text);
int show_info(const char* text);
void show_system_error(const char* text, std::uint32_t code);

// Ends the program with a box naming the system function when value is zero. Reads
// nothing, not even the last error code, when it is non-zero.
void system_assert_value(const char* name, std::uintptr_t value);
template <class T> inline void system_assert_(const char* name, T value) {
    if constexpr (std::is_null_pointer_v<T>) {
        system_assert_value(name, 0);
    } else if constexpr (std::is_pointer_v<T>) {
        system_assert_value(name, reinterpret_cast<std::uintptr_t>(value));
    } else {
        system_assert_value(name, static_cast<std::uintptr_t>(value));
    }
}

// Removes the product's directory (below download_dir, a wide-character path) with
// everything in it, then download_dir itself if nothing else is left there. Non-zero
// when download_dir went. Windows only.
int delete_product_files(const wchar_t* download_dir, const char* product);

[[noreturn]] void mem_error();
void* my_malloc(std::size_t size);
void* my_realloc(void* block, std::size_t size);
char* my_strdup(const char* text);

// Test seam: while set, boxes are handed to this function instead of being shown.
// The shipped program never sets it.
enum class notice_kind { warning, info };
using notice_hook = int (*)(const char* text, notice_kind kind);
void set_notice_hook(notice_hook hook);
