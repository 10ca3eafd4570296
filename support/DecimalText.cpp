#include "support/DecimalText.h"

#include <cstdio>

LString decimalText(int32_t value) {
  char buffer[24];
  // long is 32 bits on Windows in both builds, so "%ld" is the signed 32-bit conversion.
  std::snprintf(buffer, sizeof buffer, "%ld", static_cast<long>(value));
  return LString::fromUtf8(buffer);
}
