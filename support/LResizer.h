// LResizer: the resize policy of a block of fixed-size elements, shared by LHeapBuffer and
// LArray. It owns nothing itself: it is bound to its owner's data-pointer and count
// (capacity) fields and changes them in place, so the owner must not move after bind().
//
// The byte size of a block is count x element size in 32 bits; a request whose byte size
// does not fit is refused as an allocation failure. Every operation returns false on
// allocation failure and then leaves the old block and count exactly as they were.
// Single-thread object.
#pragma once

#include <cstdint>

class LResizer {
 public:
  LResizer() = default;
  LResizer(const LResizer&) = delete;
  LResizer& operator=(const LResizer&) = delete;

  // Stores the bindings, sets the data to null and the count to 0, then
  // resize(initialCount, discard).
  bool bind(void** dataField, uint32_t* countField, uint16_t elementSize, uint32_t initialCount);

  // n = 0 frees the block. With a block present and (keep set or shrinking) the block is
  // reallocated, keeping its contents; otherwise a fresh block replaces the old one and
  // the old contents are NOT copied.
  bool resize(uint32_t count, bool keep);

  // No change when the count is already >= needed; otherwise resize(needed + extra, keep).
  bool reserve(uint32_t needed, uint32_t extra, bool keep);

  // resize(count, discard), then copy count elements from `source`.
  bool assign(const void* source, uint32_t count);

  uint16_t elementSize() const noexcept { return elementSize_; }

 private:
  void** data_ = nullptr;
  uint32_t* count_ = nullptr;
  uint16_t elementSize_ = 1;
};
