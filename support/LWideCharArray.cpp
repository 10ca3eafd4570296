#include "support/LWideCharArray.h"

#include <cstdlib>

LWideCharArray::LWideCharArray(uint32_t count) noexcept {
  if (count == 0 || count > static_cast<size_t>(-1) / sizeof(wchar_t)) return;
  data_ = static_cast<wchar_t*>(std::malloc(static_cast<size_t>(count) * sizeof(wchar_t)));
  if (data_ != nullptr) count_ = count;
}

LWideCharArray::~LWideCharArray() { std::free(data_); }
