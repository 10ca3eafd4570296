// LWideArg: a temporary UTF-16 copy of UTF-8 text, made on the stack just before one wide
// (...W) platform call that takes program text. text() is never null and is
// NUL-terminated; null input, empty input and a failed conversion all give the static
// empty wide text with length 0. Single-thread, non-copyable.
#pragma once

#include "support/LHeapBuffer.h"

#include <cstdint>

class LWideArg {
 public:
  explicit LWideArg(const char* utf8);
  LWideArg(const LWideArg&) = delete;
  LWideArg& operator=(const LWideArg&) = delete;

  const wchar_t* text() const noexcept { return text_; }
  uint32_t length() const noexcept { return length_; }  // UTF-16 units, no terminator

 private:
  LHeapBuffer buffer_;
  const wchar_t* text_;
  uint32_t length_;
};
