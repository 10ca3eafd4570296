// LStringSource: an LCharSource over counted bytes that it does not own (the caller keeps
// them alive). A NUL byte ends the text for get() even before the count is reached.
// Null bytes or a count of 0 give an empty source. Single-thread.
#pragma once

#include "support/LCharSource.h"

#include <cstdint>

class LStringSource : public LCharSource {
 public:
  LStringSource(const char* bytes, uint32_t count) noexcept;

  bool get(char& c) override;
  void unget() override;
  uint32_t read(void* destination, uint32_t count) override;

 private:
  const char* begin_;
  const char* end_;
  const char* cursor_;
};
