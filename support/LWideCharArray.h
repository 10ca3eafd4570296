// LWideCharArray: a fixed block of n UTF-16 units, allocated at construction (nothing
// when n is 0) and freed by the destructor. Used to receive text from wide platform
// calls whose size is learnt first. A failed allocation gives count 0 and null data.
// Single-thread, non-copyable.
#pragma once

#include <cstdint>

class LWideCharArray {
 public:
  explicit LWideCharArray(uint32_t count) noexcept;
  ~LWideCharArray();
  LWideCharArray(const LWideCharArray&) = delete;
  LWideCharArray& operator=(const LWideCharArray&) = delete;

  wchar_t* data() noexcept { return data_; }
  const wchar_t* data() const noexcept { return data_; }
  uint32_t count() const noexcept { return count_; }

 private:
  wchar_t* data_ = nullptr;
  uint32_t count_ = 0;
};
