// LHeapBuffer: a byte block owned by value (element size 1), used for conversion results
// and variable-size platform query results (registry values, device interface details).
// It starts empty without allocating; data() is null exactly when count() is 0.
// Non-copyable and non-movable (its resizer is bound to its own fields). Single-thread.
#pragma once

#include "support/LResizer.h"

#include <cstdint>

class LHeapBuffer {
 public:
  LHeapBuffer() noexcept;
  virtual ~LHeapBuffer();
  LHeapBuffer(const LHeapBuffer&) = delete;
  LHeapBuffer& operator=(const LHeapBuffer&) = delete;

  uint32_t count() const noexcept { return count_; }
  uint8_t* data() noexcept { return static_cast<uint8_t*>(data_); }
  const uint8_t* data() const noexcept { return static_cast<const uint8_t*>(data_); }

  // See LResizer; counts are in bytes.
  bool resize(uint32_t count, bool keep) { return resizer_.resize(count, keep); }
  bool reserve(uint32_t needed, uint32_t extra, bool keep) { return resizer_.reserve(needed, extra, keep); }
  bool assign(const void* source, uint32_t count) { return resizer_.assign(source, count); }
  LResizer& resizer() noexcept { return resizer_; }

 private:
  uint32_t count_ = 0;
  void* data_ = nullptr;
  LResizer resizer_;
};
