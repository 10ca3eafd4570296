// Path components and the CRC-16 / decimal text that make substitute serial numbers.
#include "support/Crc16.h"
#include "support/DecimalText.h"
#include "support/PathText.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

TEST(PathText, LastComponent) {
  EXPECT_STREQ("AB12", pathLastComponent("USB\\VID_1234&PID_5678\\AB12"));
  EXPECT_STREQ("AB12", pathLastComponent("AB12"));
  EXPECT_STREQ("file", pathLastComponent("C:\\dir\\file"));
  EXPECT_STREQ("", pathLastComponent(""));
  EXPECT_STREQ("", pathLastComponent(nullptr));
  EXPECT_STREQ("", pathLastComponent("a\\"));
  EXPECT_STREQ("", pathLastComponent("a:"));
  EXPECT_STREQ("b", pathLastComponent("a:\\b"));      // runs of separators count as one
  EXPECT_STREQ("b", pathLastComponent("a\\\\b"));
  EXPECT_STREQ("a/b", pathLastComponent("a/b"));      // a forward slash is no separator
}

TEST(PathText, ScanningStepsOverContinuationBytesAsAUnit) {
  // Scanning steps a character at a time: a continuation byte is never the start of a
  // step, also a stray one right after a separator. That byte goes with the separator, so
  // the last component of [x \ 9C a b] is "ab" (a byte scanner would give 9C a b).
  const char stray[] = "x\\\x9c" "ab";
  EXPECT_STREQ("ab", pathLastComponent(stray));
  EXPECT_EQ(stray + 3, pathSkipSeparator(stray + 1));
  // [x \ E5 B1 9C : E3 A8 BA 1]: whole characters between the separators.
  const char text[] = "x\\\xe5\xb1\x9c:\xe3\xa8\xba" "1";
  EXPECT_STREQ("\xe3\xa8\xba" "1", pathLastComponent(text));
  const char* separator = pathNextSeparator(text + 2);
  EXPECT_EQ(text + 5, separator);
  EXPECT_EQ(text + 6, pathSkipSeparator(separator));
  const char end[] = "ab";
  EXPECT_EQ(end + 2, pathNextSeparator(end));
  EXPECT_EQ(end + 2, pathSkipSeparator(end + 2));
}

uint16_t crcOf(const char* text) { return crc16(text, static_cast<uint32_t>(std::strlen(text))); }

TEST(Crc16, PublishedCheckValues) {
  EXPECT_EQ(0, crcOf(""));
  EXPECT_EQ(0x31C3, crcOf("123456789"));
  EXPECT_EQ(40406, crcOf("abc"));
  uint16_t state = 0xFFFF;
  crc16Start(state);  // start resets
  crc16Add(state, "1234", 4);
  crc16Add(state, "56789", 5);  // adding in pieces equals adding at once
  EXPECT_EQ(0x31C3, state);
}

TEST(DecimalText, PlainDigits) {
  EXPECT_STREQ("0", decimalText(crcOf("")).text());
  EXPECT_STREQ("12739", decimalText(crcOf("123456789")).text());
  EXPECT_STREQ("65535", decimalText(0xFFFF).text());
  EXPECT_STREQ("-2147483648", decimalText(INT32_MIN).text());
}

}  // namespace
