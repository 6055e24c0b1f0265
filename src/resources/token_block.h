// The token block: the sign-in token in a 9-byte slot (8 letters and digits and a NUL)
// and, from offset 9, the product identifier, a short NUL-terminated decimal string.
// Each copy of the program is stamped with its own values after building.
#pragma once

extern const char* const cookie;

inline const char* product_identifier() {
    return cookie + 9;
}
