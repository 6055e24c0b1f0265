// The native stand-in for the system's reading of names: iconv reads them in a chosen
// code page (CP1252, Wine's default, unless a test picks another), and upper case
// covers the letters the tests use (ASCII, Latin-1, Greek, Cyrillic, full-width Latin).
#include <iconv.h>

#include <cstring>

#include "foundation/names_platform.h"

namespace names_platform {

namespace {

const iconv_t no_reader = reinterpret_cast<iconv_t>(-1);
iconv_t reader = no_reader; // opened once per code page: opening costs more than reading

} // namespace

void use_code_page(const char* iconv_name) {
    if (reader != no_reader) {
        iconv_close(reader);
    }
    reader = iconv_open("UTF-16LE", iconv_name);
}

bool to_utf16(const char* text, std::u16string& wide) {
    if (reader == no_reader) {
        use_code_page("CP1252");
        if (reader == no_reader) {
            return false;
        }
    }
    iconv(reader, nullptr, nullptr, nullptr, nullptr); // a fresh start for every name
    std::size_t in_left = std::strlen(text);
    std::string out(in_left * 4 + 4, '\0');
    char* in = const_cast<char*>(text);
    char* at = out.data();
    std::size_t out_left = out.size();
    if (iconv(reader, &in, &in_left, &at, &out_left) == static_cast<std::size_t>(-1)) {
        return false;
    }
    const std::size_t units = (out.size() - out_left) / 2;
    wide.resize(units);
    for (std::size_t i = 0; i < units; ++i) {
        wide[i] = static_cast<char16_t>(static_cast<unsigned char>(out[2 * i]) |
                                        static_cast<unsigned char>(out[2 * i + 1]) << 8);
    }
    return true;
}

void upper_case(std::u16string& text) {
    for (char16_t& c : text) {
        if ((c >= u'a' && c <= u'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7) ||
            (c >= 0x3B1 && c <= 0x3CB && c != 0x3C2) || (c >= 0x430 && c <= 0x44F)) {
            c = static_cast<char16_t>(c - 0x20);
        } else if (c >= 0x450 && c <= 0x45F) {
            c = static_cast<char16_t>(c - 0x50);
        } else if (c >= 0xFF41 && c <= 0xFF5A) {
            c = static_cast<char16_t>(c - 0xFF41 + 0xFF21);
        } else if (c == 0xFF) {
            c = 0x178;
        } else if (c == 0x3C2) {
            c = 0x3A3;
        }
    }
}

} // namespace names_platform
