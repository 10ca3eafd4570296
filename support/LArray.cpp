#include "support/LArray.h"

#include <cstring>

LArray::LArray(uint16_t elementSize, uint32_t initialCapacity) {
  resizer_.bind(&data_, &capacity_, elementSize, initialCapacity);
}

LArray::~LArray() { resizer_.resize(0, false); }

void* LArray::element(uint32_t i) noexcept {
  return static_cast<uint8_t*>(data_) + static_cast<size_t>(i) * elementSize();
}

const void* LArray::element(uint32_t i) const noexcept {
  return static_cast<const uint8_t*>(data_) + static_cast<size_t>(i) * elementSize();
}

bool LArray::insert(uint32_t index, const void* item) {
  if (count_ == 0xFFFFFFFFu) return false;
  const uint32_t needed = count_ + 1;
  // Grow by a little over double, never by fewer than 32 elements.
  if (!resizer_.reserve(needed, needed >= 32 ? needed : 32, true)) return false;
  if (index > count_) index = count_;
  const size_t size = elementSize();
  std::memmove(element(index + 1), element(index), (count_ - index) * size);
  std::memcpy(element(index), item, size);
  ++count_;
  return true;
}

void LArray::remove(uint32_t index, uint32_t n) noexcept {
  if (index >= count_) return;
  if (static_cast<uint64_t>(index) + n < count_) {
    std::memmove(element(index), element(index + n),
                 static_cast<size_t>(count_ - index - n) * elementSize());
    count_ -= n;
  } else {
    count_ = index;
  }
}
