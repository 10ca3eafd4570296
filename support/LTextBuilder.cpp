#include "support/LTextBuilder.h"

#include "support/Text.h"

#include <cstring>

LTextBuilder::LTextBuilder() noexcept { inline_[0] = 0; }

LTextBuilder::~LTextBuilder() = default;

const char* LTextBuilder::text() const noexcept {
  if (length_ == 0) return kEmptyText;
  if (length_ < kInlineCapacity) return inline_;
  return reinterpret_cast<const char*>(heap_.data());
}

void LTextBuilder::clear() noexcept {
  length_ = 0;
  failed_ = 0;
  inline_[0] = 0;
}

void LTextBuilder::reset() noexcept {
  clear();
  heap_.resize(0, false);
}

bool LTextBuilder::append(const char* bytes, uint32_t count) {
  if (count == 0) return true;
  const uint64_t wanted = static_cast<uint64_t>(length_) + count + 1;
  if (wanted > 0x7FFFFFFFu) {  // twice the needed size must still fit 32 bits
    failed_ = 1;
    return false;
  }
  const uint32_t needed = static_cast<uint32_t>(wanted);
  if (needed <= kInlineCapacity) {
    std::memcpy(inline_ + length_, bytes, count);
    length_ += count;
    inline_[length_] = 0;
    return true;
  }
  if (length_ < kInlineCapacity) {
    // Moving out of the inline storage: the heap block's old contents are not wanted.
    if (!heap_.reserve(needed, needed, false)) {
      failed_ = 1;
      return false;
    }
    std::memcpy(heap_.data(), inline_, length_);
  }
  if (!heap_.reserve(needed, needed, true)) {
    failed_ = 1;
    return false;
  }
  char* heap = reinterpret_cast<char*>(heap_.data());
  std::memcpy(heap + length_, bytes, count);
  length_ += count;
  heap[length_] = 0;
  return true;
}

bool LTextBuilder::appendText(const char* text) { return append(text, textSafeLength(text)); }
