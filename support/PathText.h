// Path components of UTF-8 text. Separators are the backslash and the colon only (a
// forward slash is an ordinary character); a run of separators counts as one. Scanning
// steps one UTF-8 character at a time, so continuation bytes are never taken for
// separators. Results point into the given text (null is treated as the empty text and
// returned as kEmptyText).
#pragma once

// The first position holding '\\', ':' or the terminator.
const char* pathNextSeparator(const char* text);
// From a separator: past it and every separator directly after it.
const char* pathSkipSeparator(const char* position);
// The last component: the whole text when it has no separators, the terminator (empty
// text) when it ends in a separator.
const char* pathLastComponent(const char* text);
