// Text that the host hands to the object (atom_gettext) is in the system's ANSI code
// page; inside the program all text is UTF-8.
#pragma once

#include <string>

// Converts ANSI text to UTF-8 (through UTF-16). Null, empty or unconvertible text gives
// the empty string.
std::string utf8FromAnsi(const char* text);
