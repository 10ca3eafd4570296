#include "support/TextScan.h"

#include <cctype>

namespace {
bool isBlank(char c) {
  return c != '\n' && c != '\r' && std::isspace(static_cast<unsigned char>(c)) != 0;
}
}  // namespace

void skipBlanks(LCharSource& source) {
  char c = 0;
  while (source.get(c)) {
    if (!isBlank(c)) {
      source.unget();
      return;
    }
  }
}

void numberToken(LCharSource& source, LTextBuilder& sink) {
  enum class State { kEmpty, kDigits, kAfterPoint };
  skipBlanks(source);
  State state = State::kEmpty;
  char c = 0;
  while (source.get(c)) {
    if (c == '+' || c == '-') {
      if (state != State::kEmpty) break;
    } else if (c == '.') {
      if (state == State::kAfterPoint) break;
      state = State::kAfterPoint;
    } else if (c >= '0' && c <= '9') {
      if (state != State::kAfterPoint) state = State::kDigits;
    } else {
      break;
    }
    sink.append(&c, 1);
  }
  if (c != 0) source.unget();  // the byte that ended the token, unless the source did
}
