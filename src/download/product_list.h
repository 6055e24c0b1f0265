// The store's answer to a sign-in: the envelope that says whether the sign-in worked,
// and after "ok" the product specification, the plan of everything to download.
//
// A body is a run of text fields joined by single NUL bytes. The reader keeps it in a
// buffer of at least n + 1 bytes with a NUL at position n; nothing here reads past that
// terminator.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

enum class response_outcome {
    not_from_store, // does not begin with the store's magic word
    malformed,      // too short, or a status word nobody knows
    not_signed_in,
    error, // the server's own message follows
    ok,    // the product specification follows
};

// Judges the envelope of body[0..n) (body[n] must be NUL). For "error" the message is
// the server's text at offset 17.
response_outcome check_envelope(const char* body, std::size_t n, const char** message);

// What the rest of the program reads of a product specification. The texts point into
// the body, which stays alive and unchanged for the rest of the run.
struct product_specification {
    const char* download_title = nullptr;
    const char* download_executable = nullptr;
    const char* request_host = nullptr; // after the scheme, if the field has one
    std::string request_path;
    bool request_secure = false;             // the field began with "https://"
    const char* first_file = nullptr;        // start of the first file name
    bool has_hashes = false;                 // every file carries a SHA-256 field
    const char* specification_end = nullptr; // the reader's terminator
    std::int64_t total_size = 0;
};

// Parses the product specification of an "ok" body of length n. On success the first
// "/" of the server field has been overwritten with NUL (it ends request_host there).
// The server field may begin with "https://" or "http://" in any case; the host is what
// follows up to the first "/". False means malformed: the body ends early, a size is
// negative or the sizes overflow, a file or installer name is not one Windows stores as
// written (is_storable_name), two file names would be one file on disk (the same as
// Windows compares names, ignoring case, or but for the kind of slash, or one a file
// that another uses as a directory: "x" and "x/y.bin"), or the server field names no
// host or one with a ":" (a port), a blank or a control character.
//
// After a file's size the store may give its SHA-256 as one more field, "sha256:" and 64
// hexadecimal digits. No name may hold a ":", so the field can never be read as the next
// file's name, and a list without such fields means what it always meant. Either every
// file has one or none does; a field that begins with "sha256:" but is not exactly 64
// hexadecimal digits after it, or a list where only some files have one, is malformed.
bool parse_product_specification(char* body, std::size_t n, product_specification& out);

inline constexpr char sha256_field_prefix[] = "sha256:";

// Walks the file list that parse_product_specification has accepted.
struct product_file {
    const char* name;
    std::int64_t size;
    const char* sha256; // the 64 digits after "sha256:", or null without hashes
};
class product_file_cursor {
  public:
    explicit product_file_cursor(const product_specification& s)
        : position(s.first_file), end(s.specification_end), hashes(s.has_hashes) {}
    // Continues from the entry of a file that next has returned.
    product_file_cursor(const product_specification& s, const char* name)
        : position(name), end(s.specification_end), hashes(s.has_hashes) {}
    bool next(product_file& file);

  private:
    const char* position;
    const char* end;
    bool hashes;
};

// The digest that 64 hexadecimal digits (either case) spell; false for anything else.
bool read_sha256_digits(const char* digits, std::uint8_t (&digest)[32]);

// The size of a file as the store writes it: leading blanks, one sign, digits up to
// the first non-digit; no digits at all count as 0. False on overflow.
bool read_size(const char* text, std::int64_t& size);

// True for a name, relative to the product's directory, that Windows stores as written
// and inside that directory. The name is judged as the A functions hand it to the file
// system: read in the ANSI code page (a byte sequence that is no character there is
// refused, as Windows would store a substitute). "/" and "\\" separate segments, and
// every segment is non-empty, ends in neither "." nor " " (Windows drops them: "a." would
// be "a", and ".." the directory above), holds no control character nor any of
// < > : " | ? *, and is no device (CON, PRN, AUX, NUL, COM0-9, LPT0-9, CONIN$, CONOUT$ in
// any case, with or without an extension).
bool is_storable_name(const char* name);

inline constexpr const char* cannot_understand_text =
    "The server sent a response that this program cannot understand.";
