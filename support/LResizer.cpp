#include "support/LResizer.h"

#include <cstdlib>
#include <cstring>

namespace {

// The byte size of `count` elements, or false when it does not fit 32 bits: such a block
// is refused rather than allocated too small.
bool byteSize(uint32_t count, uint16_t elementSize, uint32_t& bytes) {
  const uint64_t size = static_cast<uint64_t>(count) * elementSize;
  if (size > 0xFFFFFFFFu) return false;
  bytes = static_cast<uint32_t>(size);
  return true;
}

}  // namespace

bool LResizer::bind(void** dataField, uint32_t* countField, uint16_t elementSize,
                    uint32_t initialCount) {
  data_ = dataField;
  count_ = countField;
  elementSize_ = elementSize;
  *data_ = nullptr;
  *count_ = 0;
  return resize(initialCount, false);
}

bool LResizer::resize(uint32_t count, bool keep) {
  if (count == 0) {
    std::free(*data_);
    *data_ = nullptr;
    *count_ = 0;
    return true;
  }
  uint32_t bytes = 0;
  if (!byteSize(count, elementSize_, bytes)) return false;
  if (*data_ != nullptr && (keep || *count_ >= count)) {
    void* grown = std::realloc(*data_, bytes);
    if (grown == nullptr) return false;
    *data_ = grown;
    *count_ = count;
    return true;
  }
  // Nothing is to be kept: a fresh block avoids realloc copying contents nobody wants.
  void* fresh = std::malloc(bytes);
  if (fresh == nullptr) return false;
  std::free(*data_);
  *data_ = fresh;
  *count_ = count;
  return true;
}

bool LResizer::reserve(uint32_t needed, uint32_t extra, bool keep) {
  if (*count_ >= needed) return true;
  const uint64_t total = static_cast<uint64_t>(needed) + extra;
  if (total > 0xFFFFFFFFu) return false;
  return resize(static_cast<uint32_t>(total), keep);
}

bool LResizer::assign(const void* source, uint32_t count) {
  if (!resize(count, false)) return false;
  if (count != 0) std::memcpy(*data_, source, static_cast<size_t>(count) * elementSize_);
  return true;
}
