// Serial-number rules: which instance-id components count, the checksum form, and how a
// name given to the open selects a serial number.
#include "dmx/DmxSerialNumber.h"

#include <gtest/gtest.h>

#include <string>

#include "support/Crc16.h"
#include "support/Variant.h"

namespace {

bool instanceSerial(const char* component) {
  return isInstanceSerialNumber(LString::fromUtf8(component));
}

std::string str(const LString& s) { return std::string(s.text(), s.length()); }

TEST(DmxSerialNumber, FourDigitComponentsAreSerialsOnEveryArchitecture) {
  EXPECT_TRUE(instanceSerial("1234"));
  EXPECT_TRUE(instanceSerial("1000"));
  EXPECT_TRUE(instanceSerial("9999"));
}

TEST(DmxSerialNumber, ComponentsThatAreNotOneWholeTokenAreRefused) {
  EXPECT_FALSE(instanceSerial("12A4"));
  EXPECT_FALSE(instanceSerial("12345"));  // 5 bytes
  EXPECT_FALSE(instanceSerial("123"));
  EXPECT_FALSE(instanceSerial(""));
  EXPECT_FALSE(instanceSerial("1.2."));  // token "1.2"
  EXPECT_FALSE(instanceSerial("12-3"));  // token "12"
  EXPECT_FALSE(instanceSerial(" 123"));  // the blank is skipped, not counted
  EXPECT_FALSE(instanceSerial("AB12"));
}

TEST(DmxSerialNumber, SignedAndFractionalComponentsFollowTheArchitecturesRule) {
  // Whole tokens that do not read as 1000..9999: taken by x86-64, refused by x86.
  for (const char* component : {"0123", "-123", "12.5", ".123", "++12", "+999"}) {
    SCOPED_TRACE(component);
    if constexpr (variant::kInstanceSerialMustBe1000To9999) {
      EXPECT_FALSE(instanceSerial(component));
    } else {
      EXPECT_TRUE(instanceSerial(component));
    }
  }
}

TEST(DmxSerialNumber, PaddingPutsZerosInFrontUpToEightCharacters) {
  EXPECT_EQ(str(padSerialNumber(LString::fromUtf8("4660"))), "00004660");
  EXPECT_EQ(str(padSerialNumber(LString::fromUtf8("0"))), "00000000");
  EXPECT_EQ(str(padSerialNumber(LString::fromUtf8("65535"))), "00065535");
  EXPECT_EQ(str(padSerialNumber(LString::fromUtf8("12345678"))), "12345678");
  EXPECT_EQ(str(padSerialNumber(LString())), "00000000");
}

TEST(DmxSerialNumber, ChecksumFormIsThePaddedDecimalCrcOfThePath) {
  EXPECT_EQ(str(checksumSerialNumber(LString())), "00000000");
  EXPECT_EQ(str(checksumSerialNumber(LString::fromUtf8("123456789"))), "00012739");

  // A 2-byte text whose CRC is 4660 exists (the CRC is a bijection on 16-bit messages).
  char text[2] = {};
  bool found = false;
  for (int value = 0; value < 65536 && !found; ++value) {
    text[0] = static_cast<char>(value >> 8);
    text[1] = static_cast<char>(value & 0xFF);
    found = crc16(text, 2) == 4660 && text[0] != 0 && text[1] != 0;
  }
  ASSERT_TRUE(found);
  EXPECT_EQ(str(checksumSerialNumber(LString::make(text, 2))), "00004660");
}

TEST(DmxSerialNumber, NamesMatchByteForByteAndCaseSensitively) {
  const LString serial = LString::fromUtf8("AbC1");
  EXPECT_EQ(matchSerialNumber("AbC1", serial), SerialMatch::Exact);
  EXPECT_EQ(matchSerialNumber("abc1", serial), SerialMatch::None);
  EXPECT_EQ(matchSerialNumber("ABC1", serial), SerialMatch::None);
  EXPECT_EQ(matchSerialNumber("AbC", serial), SerialMatch::None);
  EXPECT_EQ(matchSerialNumber("AbC1 ", serial), SerialMatch::None);
}

TEST(DmxSerialNumber, DigitNamesMatchDigitSerialsWithLeadingZerosSetAside) {
  const LString padded = LString::fromUtf8("00004660");
  // The symbol form matches exactly, the number's printed form by value.
  EXPECT_EQ(matchSerialNumber("00004660", padded), SerialMatch::Exact);
  EXPECT_EQ(matchSerialNumber("4660", padded), SerialMatch::ByValue);
  EXPECT_EQ(matchSerialNumber("04660", padded), SerialMatch::ByValue);
  EXPECT_EQ(matchSerialNumber("0", LString::fromUtf8("00000000")), SerialMatch::ByValue);
  EXPECT_EQ(matchSerialNumber("0012", LString::fromUtf8("12")), SerialMatch::ByValue);

  const SerialMatch none = SerialMatch::None;
  EXPECT_EQ(matchSerialNumber("4661", padded), none);
  EXPECT_EQ(matchSerialNumber("466", padded), none);
  EXPECT_EQ(matchSerialNumber("46600", padded), none);
  EXPECT_EQ(matchSerialNumber("+4660", padded), none);
  EXPECT_EQ(matchSerialNumber("-4660", padded), none);
  EXPECT_EQ(matchSerialNumber("4660.0", padded), none);
  EXPECT_EQ(matchSerialNumber("4660", LString::fromUtf8("AB004660")), none);
  EXPECT_EQ(matchSerialNumber("0AB", LString::fromUtf8("AB")), none);

  // Compared as text: longer than any integer type.
  EXPECT_EQ(matchSerialNumber("123456789012345678901234567890",
                              LString::fromUtf8("000123456789012345678901234567890")),
            SerialMatch::ByValue);
  EXPECT_EQ(matchSerialNumber("123456789012345678901234567891",
                              LString::fromUtf8("000123456789012345678901234567890")),
            none);
}

}  // namespace
