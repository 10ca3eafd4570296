// LArray: a contiguous, growable array of fixed-size elements. Elements are plain bytes:
// moved with memmove, never constructed or destroyed. Growth on insert: when the capacity
// is below count + 1 it becomes (count + 1) + max(count + 1, 32), contents kept (so an
// empty array first gets 33, then 68, 138, ...). Nothing locks; the owner serialises use.
// Non-copyable, non-movable.
#pragma once

#include "support/LResizer.h"

#include <cstdint>

class LArray {
 public:
  // Allocates `initialCapacity` elements at once when above 0 (a failed allocation leaves
  // capacity 0).
  LArray(uint16_t elementSize, uint32_t initialCapacity);
  virtual ~LArray();
  LArray(const LArray&) = delete;
  LArray& operator=(const LArray&) = delete;

  uint32_t count() const noexcept { return count_; }
  uint32_t capacity() const noexcept { return capacity_; }
  uint16_t elementSize() const noexcept { return resizer_.elementSize(); }

  // The block (null when the capacity is 0) and element i within it, read and written in
  // place. No bounds check.
  void* data() noexcept { return data_; }
  const void* data() const noexcept { return data_; }
  void* element(uint32_t i) noexcept;
  const void* element(uint32_t i) const noexcept;

  // Copies one element in at `index` (clamped to count: beyond it appends), moving later
  // elements up. False, with nothing changed, when the block cannot grow.
  bool insert(uint32_t index, const void* element);
  bool append(const void* element) { return insert(count_, element); }

  // Removes n elements from `index`. Nothing happens when index >= count; a range that
  // reaches the end drops the tail (count = index).
  void remove(uint32_t index, uint32_t n) noexcept;

 private:
  uint32_t count_ = 0;
  uint32_t capacity_ = 0;
  void* data_ = nullptr;
  LResizer resizer_;
};
