#include "support/PathText.h"

#include "support/Text.h"

namespace {
bool isSeparator(char c) { return c == '\\' || c == ':'; }
}  // namespace

const char* pathNextSeparator(const char* text) {
  const char* p = text != nullptr ? text : kEmptyText;
  while (*p != 0 && !isSeparator(*p)) p = textNextChar(p);
  return p;
}

const char* pathSkipSeparator(const char* position) {
  const char* p = position != nullptr ? position : kEmptyText;
  if (*p == 0) return p;
  p = textNextChar(p);
  while (isSeparator(*p)) p = textNextChar(p);
  return p;
}

const char* pathLastComponent(const char* text) {
  const char* p = text != nullptr ? text : kEmptyText;
  for (;;) {
    const char* separator = pathNextSeparator(p);
    if (*separator == 0) return p;
    p = pathSkipSeparator(separator);
  }
}
