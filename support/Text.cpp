#include "support/Text.h"

#include <cstring>

const char kEmptyText[1] = {0};
const wchar_t kEmptyWideText[1] = {0};

uint32_t textSafeLength(const char* text) {
  return text == nullptr ? 0 : static_cast<uint32_t>(std::strlen(text));
}

bool textIsEmpty(const char* text) { return text == nullptr || text[0] == 0; }

bool textEqual(const char* a, const char* b) {
  if (a == nullptr) return textIsEmpty(b);
  if (b == nullptr) return a[0] == 0;
  return std::strcmp(a, b) == 0;
}

const char* textNextChar(const char* text) {
  if (text == nullptr || *text == 0) return text;
  ++text;
  while ((static_cast<unsigned char>(*text) & 0xC0) == 0x80) ++text;
  return text;
}
