#include "support/LStringSource.h"

#include "support/Text.h"

#include <cstring>

LStringSource::LStringSource(const char* bytes, uint32_t count) noexcept
    : begin_(kEmptyText), end_(kEmptyText), cursor_(kEmptyText) {
  if (bytes == nullptr || count == 0) return;
  begin_ = cursor_ = bytes;
  end_ = bytes + count;
}

bool LStringSource::get(char& c) {
  if (cursor_ >= end_ || *cursor_ == 0) {
    c = 0;
    return false;
  }
  c = *cursor_++;
  return true;
}

void LStringSource::unget() {
  if (cursor_ > begin_) --cursor_;
}

uint32_t LStringSource::read(void* destination, uint32_t count) {
  const size_t left = static_cast<size_t>(end_ - cursor_);
  const uint32_t copied = count < left ? count : static_cast<uint32_t>(left);
  std::memcpy(destination, cursor_, copied);
  cursor_ += copied;
  return copied;
}
