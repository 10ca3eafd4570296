// LStringView: a read-only view of narrow text for narrow platform calls. It keeps the
// viewed record alive through `owner` (the shared empty record when the view was made
// from a plain NUL-terminated text, whose lifetime the caller then guarantees).
// text() is never null: a zero-length view points at kEmptyText. Single-thread object.
#pragma once

#include "support/LString.h"

#include <cstdint>

class LStringView {
 public:
  explicit LStringView(const char* text) noexcept;
  explicit LStringView(const LString& string) noexcept;

  const LString& owner() const noexcept { return owner_; }
  const char* text() const noexcept { return text_; }
  uint32_t length() const noexcept { return length_; }

 private:
  LString owner_;
  const char* text_;
  uint32_t length_;
};
