// The program's own paths in wide characters. The folder the program sits in may be named
// in any script, and the A functions would turn what the ANSI code page lacks into "?"
// (every creation then fails) or into a look-alike ("Łukasz" into "Lukasz", another
// folder). So the program's location is kept wide, and the parts that come from the
// store (names, the installer's name) are still read in the ANSI code page and widened
// exactly as the A functions widen them: nothing changes on the wire or on disk.
// Windows only.
#pragma once

#include <string>

// text, read in the ANSI code page, as the A functions would hand it on in wide
// characters.
std::wstring widen(const char* text);
inline std::wstring widen(const std::string& text) {
    return widen(text.c_str());
}

// A wide path in the ANSI code page, for messages: what the A functions would have shown
// (a character the code page lacks becomes its closest match or "?").
std::string narrow(const wchar_t* text);
inline std::string narrow(const std::wstring& text) {
    return narrow(text.c_str());
}

// The directory of the running program, with its last backslash. False when the path
// does not fit in MAX_PATH characters: a cut-off name would put files somewhere else.
bool program_directory(std::wstring& directory);
