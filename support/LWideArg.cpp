#include "support/LWideArg.h"

#include "support/Text.h"
#include "support/TextConversion.h"

LWideArg::LWideArg(const char* utf8) : text_(kEmptyWideText), length_(0) {
  utf8ToWide(utf8, buffer_);
  const uint32_t bytes = buffer_.count();
  if (bytes < 2) return;
  if (!buffer_.resize(bytes + 2, true)) return;
  wchar_t* units = reinterpret_cast<wchar_t*>(buffer_.data());
  length_ = bytes / 2;
  units[length_] = 0;
  text_ = units;
}
