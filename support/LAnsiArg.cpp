#include "support/LAnsiArg.h"

#include "support/Text.h"
#include "support/TextConversion.h"

LAnsiArg::LAnsiArg(const char* utf8) : text_(kEmptyText), length_(0), error_(0) {
  error_ = utf8ToAnsi(utf8, buffer_);
  const uint32_t bytes = buffer_.count();
  if (error_ != 0 || bytes == 0) return;
  if (!buffer_.resize(bytes + 1, true)) {
    error_ = 8;  // ERROR_NOT_ENOUGH_MEMORY
    return;
  }
  char* text = reinterpret_cast<char*>(buffer_.data());
  length_ = bytes;
  text[length_] = 0;
  text_ = text;
}
