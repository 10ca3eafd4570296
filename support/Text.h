// NUL-terminated narrow text functions. A null pointer always counts as the empty text.
// All functions are pure and may be called from any thread.
#pragma once

#include <cstdint>

// A static empty narrow text and a static empty wide text: what views, builders and
// wide arguments point at when they hold nothing, so their text is never null.
extern const char kEmptyText[1];
extern const wchar_t kEmptyWideText[1];

// Length in bytes up to the first NUL; 0 for null.
uint32_t textSafeLength(const char* text);

// True for null or when the first byte is NUL.
bool textIsEmpty(const char* text);

// Byte-exact, case-sensitive comparison up to the first NUL, where null equals the empty
// text (and only the empty text). Used to match serial numbers and note names.
bool textEqual(const char* a, const char* b);

// Steps over one UTF-8 character: one byte, then every continuation byte (0x80-0xBF)
// after it. Null, or a pointer at the terminator, is returned unchanged; the terminator
// always stops the step.
const char* textNextChar(const char* text);
