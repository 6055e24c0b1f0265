// The system's own reading and comparison of names (foundation/names_platform.h).
#include <windows.h>

#include "foundation/names_platform.h"

namespace names_platform {

bool to_utf16(const char* text, std::u16string& wide) {
    // CP_ACP is what the A functions convert with; MB_ERR_INVALID_CHARS refuses what
    // they, without it, would replace by a substitute. Where it succeeds the result is
    // theirs unit for unit.
    const int size = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text, -1, nullptr, 0);
    if (size <= 0) {
        return false;
    }
    wide.resize(static_cast<std::size_t>(size));
    static_assert(sizeof(wchar_t) == sizeof(char16_t));
    if (MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text, -1,
                            reinterpret_cast<wchar_t*>(wide.data()), size) != size) {
        return false;
    }
    wide.resize(static_cast<std::size_t>(size) - 1);
    return true;
}

void upper_case(std::u16string& text) {
    // The invariant locale's simple upper case maps unit to unit, as the file system's
    // comparison ignoring case does (CompareStringOrdinal with bIgnoreCase); no
    // locale's own rules (a Turkish "i") take part.
    if (text.empty()) {
        return;
    }
    std::u16string upper(text.size(), u'\0');
    const int n = static_cast<int>(text.size());
    if (LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE,
                      reinterpret_cast<const wchar_t*>(text.data()), n,
                      reinterpret_cast<wchar_t*>(upper.data()), n, nullptr, nullptr, 0) == n) {
        text.swap(upper);
        return;
    }
    // Not expected; ASCII letters at least must never tell two names apart.
    for (char16_t& c : text) {
        c = c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - u'a' + u'A') : c;
    }
}

} // namespace names_platform
