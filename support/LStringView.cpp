#include "support/LStringView.h"

#include "support/Text.h"

LStringView::LStringView(const char* text) noexcept
    : owner_(), text_(kEmptyText), length_(textSafeLength(text)) {
  if (length_ != 0) text_ = text;
}

LStringView::LStringView(const LString& string) noexcept
    : owner_(string), text_(kEmptyText), length_(string.length()) {
  if (length_ != 0) text_ = owner_.text();
}
