#include "dmx/DmxSerialNumber.h"

#include <cstdlib>
#include <cstring>

#include "support/Crc16.h"
#include "support/DecimalText.h"
#include "support/LStringSource.h"
#include "support/LTextBuilder.h"
#include "support/Text.h"
#include "support/TextScan.h"
#include "support/Variant.h"

namespace {

constexpr uint32_t kInstanceSerialLength = 4;
constexpr uint32_t kPaddedSerialLength = 8;

bool isAllDigits(const char* text) {
  if (textIsEmpty(text)) return false;
  for (; *text != '\0'; ++text) {
    if (*text < '0' || *text > '9') return false;
  }
  return true;
}

const char* skipLeadingZeros(const char* digits) {
  while (*digits == '0') ++digits;
  return digits;
}

}  // namespace

bool isInstanceSerialNumber(const LString& component) {
  if (component.length() != kInstanceSerialLength) return false;
  LStringSource source(component.text(), component.length());
  LTextBuilder token;
  numberToken(source, token);
  if (token.length() != kInstanceSerialLength) return false;
  if constexpr (variant::kInstanceSerialMustBe1000To9999) {
    // The token is the whole component, so strtod reads the same characters; a text it
    // cannot read ("++12") gives 0 and is refused.
    const double value = std::strtod(token.text(), nullptr);
    if (value < 1000.0 || value > 9999.0) return false;
  }
  return true;
}

LString padSerialNumber(const LString& digits) {
  if (digits.length() >= kPaddedSerialLength) return digits;
  char padded[kPaddedSerialLength];
  const uint32_t zeros = kPaddedSerialLength - digits.length();
  std::memset(padded, '0', zeros);
  std::memcpy(padded + zeros, digits.text(), digits.length());
  return LString::make(padded, kPaddedSerialLength);
}

LString checksumSerialNumber(const LString& devicePath) {
  const uint16_t crc = crc16(devicePath.text(), devicePath.length());
  return padSerialNumber(decimalText(crc));
}

SerialMatch matchSerialNumber(const char* name, const LString& serialNumber) {
  if (textEqual(name, serialNumber.text())) return SerialMatch::Exact;
  if (!isAllDigits(name) || !isAllDigits(serialNumber.text())) return SerialMatch::None;
  return std::strcmp(skipLeadingZeros(name), skipLeadingZeros(serialNumber.text())) == 0
             ? SerialMatch::ByValue
             : SerialMatch::None;
}
