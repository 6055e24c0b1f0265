// How the system reads the names the store sends and how it tells two names apart. The
// store's names are bytes in the buyer's ANSI code page, which the A functions turn
// into UTF-16 before the file system sees them; the checks in download/product_list.cpp
// judge that UTF-16 name. names_win.cpp answers with Win32, names_posix.cpp with a
// stand-in for the native tests and the fuzzer.
#pragma once

#include <string>

namespace names_platform {

// text, read in the ANSI code page as the A functions read it, in UTF-16. False when a
// byte sequence in it is no character of the code page (a lead byte without its trail
// byte, say): the A functions would put a substitute in its place.
bool to_utf16(const char* text, std::u16string& wide);

// Replaces every unit of text with its upper case as Windows compares names when it
// ignores case, so that two names are one file exactly when the results are equal.
void upper_case(std::u16string& text);

#ifndef _WIN32
// The stand-in's ANSI code page, as iconv names it ("CP1252" until set): the tests read
// names as a buyer with that code page would.
void use_code_page(const char* iconv_name);
#endif

} // namespace names_platform
