// LAnsiArg: the ANSI-code-page mirror of LWideArg, for the ANSI (...A) platform calls of
// the x86 build. UTF-8 text is converted through UTF-16 to the ANSI code page by
// utf8ToAnsi (no best-fit mapping; plain conversion when that code page is UTF-8). Text
// the code page cannot represent exactly is never passed on mangled: the
// argument is then not ok(), error() says ERROR_NO_UNICODE_TRANSLATION (or the conversion
// failure), and the caller must fail its call instead of making it.
// text() is never null and is NUL-terminated. Null or empty input is ok() with the empty
// text. Single-thread, non-copyable.
#pragma once

#include "support/LHeapBuffer.h"

#include <cstdint>

class LAnsiArg {
 public:
  explicit LAnsiArg(const char* utf8);
  LAnsiArg(const LAnsiArg&) = delete;
  LAnsiArg& operator=(const LAnsiArg&) = delete;

  bool ok() const noexcept { return error_ == 0; }
  uint32_t error() const noexcept { return error_; }  // 0 when ok
  const char* text() const noexcept { return text_; }
  uint32_t length() const noexcept { return length_; }  // bytes, no terminator

 private:
  LHeapBuffer buffer_;
  const char* text_;
  uint32_t length_;
  uint32_t error_;
};
