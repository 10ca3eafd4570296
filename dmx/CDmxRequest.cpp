#include "dmx/CDmxRequest.h"

#include <cstring>

void CDmxRequest::setLength(uint32_t n) noexcept {
  if (n == 0) n = 1;
  if (n > kMaxLength) n = kMaxLength;
  if (n > length_) std::memset(data + length_, 0, n - length_);
  length_ = n;
}

void CDmxRequest::complete() {
  holder = nullptr;
  if (done != nullptr) done(user, this);
}
