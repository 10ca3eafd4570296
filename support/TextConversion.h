// Conversions between UTF-8, the ANSI code page and UTF-16.
//
// Each returns a Win32 error code (0 for success) and leaves its result in `out`, whose
// count is then the exact byte size of the result; the result is NOT NUL-terminated.
// On failure `out` is empty. ERROR_NOT_ENOUGH_MEMORY (8) means the buffer could not be
// had; any other code comes from the platform call. Zero input units succeed with an
// empty buffer and allocate nothing. Any thread; `out` belongs to the caller.
#pragma once

#include "support/LHeapBuffer.h"

#include <cstdint>

// UTF-16 -> code page. The first buffer is units x 4 + 64 bytes; on
// ERROR_INSUFFICIENT_BUFFER it doubles and the call is repeated.
uint32_t convertToMultiByte(const wchar_t* text, uint32_t units, LHeapBuffer& out,
                            uint32_t codePage, uint32_t flags);

// Code page -> UTF-16; out's count is in bytes (2 per unit). The first buffer is
// bytes x 3 + 64 units; on ERROR_INSUFFICIENT_BUFFER it doubles and the call is repeated.
uint32_t convertToWide(const char* text, uint32_t bytes, LHeapBuffer& out,
                       uint32_t codePage, uint32_t flags);

// NUL-terminated UTF-8 (null allowed) -> UTF-16, terminator not converted.
uint32_t utf8ToWide(const char* text, LHeapBuffer& out);
// `units` UTF-16 units -> UTF-8 (every unit converted, NUL units included).
uint32_t wideToUtf8(const wchar_t* text, uint32_t units, LHeapBuffer& out);
// `bytes` bytes of text in the ANSI code page -> UTF-8, through UTF-16.
uint32_t ansiToUtf8(const char* text, uint32_t bytes, LHeapBuffer& out);
// NUL-terminated UTF-8 (null allowed) -> the ANSI code page, through UTF-16. When that
// code page is UTF-8 (65001, which Windows 10 and later can be set to) every text is
// representable and is converted with flags 0 and no used-default pointer, the only form
// the platform accepts for that code page. Any other code page is converted with
// WC_NO_BEST_FIT_CHARS, and text it cannot represent exactly is refused with
// ERROR_NO_UNICODE_TRANSLATION (1113) instead of being replaced by look-alikes or '?'.
uint32_t utf8ToAnsi(const char* text, LHeapBuffer& out);

// The conversion loops with an explicit first capacity (bytes for the multibyte side,
// UTF-16 units for the wide side). The public functions above use the generous first
// sizes; tests use a small one to run the ERROR_INSUFFICIENT_BUFFER retry, which the
// generous sizes never need. `usedDefaultChar` (may be null) is passed to the platform
// as lpUsedDefaultChar.
//
// The ANSI conversions ask the platform for the ANSI code page, and every UTF-16 ->
// multibyte conversion goes through one platform call; both can be replaced, so that tests
// can run the conversions under a code page that the test system cannot be switched to
// and check what is passed to the platform. Null members, or no replacement, mean the
// real calls (GetACP, WideCharToMultiByte). Replace them only while no other thread
// converts text.
namespace text_conversion_detail {
struct Platform {
  uint32_t (*ansiCodePage)();
  // WideCharToMultiByte's arguments and result; `usedDefaultChar` is its lpUsedDefaultChar.
  int (*wideToMultiByte)(uint32_t codePage, uint32_t flags, const wchar_t* text, int units,
                         char* out, int capacity, const char* defaultChar, int* usedDefaultChar);
};
// Installs `platform` (null: the real calls again); `platform` must outlive its use.
void setPlatform(const Platform* platform);

uint32_t toMultiByte(const wchar_t* text, uint32_t units, LHeapBuffer& out, uint32_t codePage,
                     uint32_t flags, uint64_t firstCapacity, int* usedDefaultChar);
uint32_t toWide(const char* text, uint32_t bytes, LHeapBuffer& out, uint32_t codePage,
                uint32_t flags, uint64_t firstCapacity);
}  // namespace text_conversion_detail
