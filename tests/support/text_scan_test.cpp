// LStringSource and the number-token scanner that decides 4-character serial numbers.
#include "support/LStringSource.h"
#include "support/TextScan.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

std::string tokenOf(const char* bytes, uint32_t count) {
  LStringSource source(bytes, count);
  LTextBuilder sink;
  numberToken(source, sink);
  return sink.text();
}

std::string tokenOf(const char* text) { return tokenOf(text, static_cast<uint32_t>(std::strlen(text))); }

TEST(NumberToken, AcceptedAndRejectedCandidates) {
  // The whole candidate is one token:
  EXPECT_EQ("1234", tokenOf("1234"));
  EXPECT_EQ("12.3", tokenOf("12.3"));
  EXPECT_EQ("-123", tokenOf("-123"));
  EXPECT_EQ(".123", tokenOf(".123"));
  EXPECT_EQ("++12", tokenOf("++12"));  // signs may repeat before anything else
  EXPECT_EQ("-.5", tokenOf("-.5"));
  // The token stops early:
  EXPECT_EQ("1.2", tokenOf("1.2."));
  EXPECT_EQ("12", tokenOf("12-3"));
  EXPECT_EQ("1.", tokenOf("1.+2"));
  EXPECT_EQ("", tokenOf("AB12"));
  EXPECT_EQ("123", tokenOf(" 123"));   // a leading blank is skipped and not counted
  EXPECT_EQ("12", tokenOf("\t\v12"));
  EXPECT_EQ("", tokenOf("\n123"));     // line feed and carriage return are not blanks
  EXPECT_EQ("", tokenOf("\r123"));
  EXPECT_EQ("1", tokenOf("1\0" "23", 4));  // a NUL ends the source
  EXPECT_EQ("", tokenOf(nullptr, 4));
}

TEST(NumberToken, TheStoppingByteIsPutBack) {
  LStringSource source("12-3", 4);
  LTextBuilder sink;
  numberToken(source, sink);
  char c = 0;
  ASSERT_TRUE(source.get(c));
  EXPECT_EQ('-', c);

  LStringSource blanks("  x", 3);
  skipBlanks(blanks);
  ASSERT_TRUE(blanks.get(c));
  EXPECT_EQ('x', c);
}

TEST(LStringSource, EndsUngetsAndReads) {
  LStringSource source("a\0b", 3);
  char c = 'q';
  source.unget();  // at the start: nothing
  ASSERT_TRUE(source.get(c));
  EXPECT_EQ('a', c);
  EXPECT_FALSE(source.get(c));  // the NUL ends the text
  EXPECT_EQ(0, c);
  char copy[8] = {};
  EXPECT_EQ(2u, source.read(copy, 8));  // read copies NULs too
  EXPECT_EQ(0, std::memcmp(copy, "\0b", 2));
  EXPECT_EQ(0u, source.read(copy, 8));
  source.unget();
  ASSERT_TRUE(source.get(c));
  EXPECT_EQ('b', c);

  LStringSource empty("abc", 0);
  EXPECT_FALSE(empty.get(c));
  EXPECT_EQ(0u, empty.read(copy, 8));
}

}  // namespace
