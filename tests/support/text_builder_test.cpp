// LResizer / LHeapBuffer block rules and LTextBuilder's inline-to-heap switch.
#include "support/LHeapBuffer.h"
#include "support/LTextBuilder.h"
#include "support/Text.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

TEST(LHeapBuffer, StartsEmptyAndResizesByTheKeepRule) {
  LHeapBuffer buffer;
  EXPECT_EQ(0u, buffer.count());
  EXPECT_EQ(nullptr, buffer.data());

  ASSERT_TRUE(buffer.assign("abcdef", 6));
  EXPECT_EQ(0, std::memcmp(buffer.data(), "abcdef", 6));

  ASSERT_TRUE(buffer.resize(3, false));  // shrinking keeps the contents
  EXPECT_EQ(3u, buffer.count());
  EXPECT_EQ(0, std::memcmp(buffer.data(), "abc", 3));

  ASSERT_TRUE(buffer.resize(100, true));  // growing with keep too
  EXPECT_EQ(0, std::memcmp(buffer.data(), "abc", 3));

  // Growing without keep takes a fresh block while the old one is still held.
  const uint8_t* before = buffer.data();
  ASSERT_TRUE(buffer.resize(200, false));
  EXPECT_NE(before, buffer.data());
  EXPECT_EQ(200u, buffer.count());

  ASSERT_TRUE(buffer.resize(0, true));
  EXPECT_EQ(nullptr, buffer.data());
}

TEST(LHeapBuffer, ReserveGrowsOnlyWhenShort) {
  LHeapBuffer buffer;
  ASSERT_TRUE(buffer.reserve(10, 10, false));
  EXPECT_EQ(20u, buffer.count());
  ASSERT_TRUE(buffer.reserve(15, 100, true));  // already big enough
  EXPECT_EQ(20u, buffer.count());
}

TEST(LResizer, ByteSizesBeyond32BitsAreRefusedAndChangeNothing) {
  void* data = nullptr;
  uint32_t count = 0;
  LResizer resizer;
  ASSERT_TRUE(resizer.bind(&data, &count, 16, 4));
  void* const block = data;
  // 0x10000000 x 16 bytes wraps to 0 in 32 bits: must fail, not allocate a tiny block.
  EXPECT_FALSE(resizer.resize(0x10000000u, true));
  EXPECT_FALSE(resizer.reserve(0x0FFFFFFFu, 2, true));
  EXPECT_FALSE(resizer.reserve(0xFFFFFFF0u, 0x20, true));  // needed + extra wraps
  EXPECT_EQ(block, data);
  EXPECT_EQ(4u, count);
  EXPECT_TRUE(resizer.resize(0, false));
}

TEST(LTextBuilder, SixtyThreeBytesStayInlineTheSixtyFourthMovesToTheHeap) {
  LTextBuilder builder;
  EXPECT_EQ(kEmptyText, builder.text());

  const std::string sixtyThree(63, 'x');
  ASSERT_TRUE(builder.appendText(sixtyThree.c_str()));
  EXPECT_TRUE(builder.isInline());
  EXPECT_EQ(0u, builder.heapCapacity());
  EXPECT_EQ(sixtyThree, builder.text());

  ASSERT_TRUE(builder.append("y", 1));
  // needed = 63 + 1 + 1 = 65, and a block that is too small becomes 2 x 65
  EXPECT_FALSE(builder.isInline());
  EXPECT_EQ(130u, builder.heapCapacity());
  EXPECT_EQ(sixtyThree + "y", builder.text());
  EXPECT_EQ(64u, builder.length());

  ASSERT_TRUE(builder.appendText(std::string(65, 'z').c_str()));  // needs 130: still fits
  EXPECT_EQ(130u, builder.heapCapacity());
  ASSERT_TRUE(builder.append("!", 1));  // needs 131: grows to 262, text kept
  EXPECT_EQ(262u, builder.heapCapacity());
  EXPECT_EQ(sixtyThree + "y" + std::string(65, 'z') + "!", builder.text());

  builder.clear();
  EXPECT_EQ(kEmptyText, builder.text());
  ASSERT_TRUE(builder.appendText("0001"));
  EXPECT_TRUE(builder.isInline());
  EXPECT_STREQ("0001", builder.text());
  EXPECT_EQ(262u, builder.heapCapacity());  // clear keeps the block

  builder.reset();
  EXPECT_EQ(0u, builder.heapCapacity());
  EXPECT_EQ(0u, builder.length());
  EXPECT_FALSE(builder.failed());
}

TEST(LTextBuilder, MovingBackToTheHeapCopiesTheInlineText) {
  LTextBuilder builder;
  builder.appendText(std::string(100, 'a').c_str());  // heap block of 202
  builder.clear();
  builder.appendText("head-");
  builder.appendText(std::string(70, 'b').c_str());  // inline text moves to the old block
  EXPECT_EQ("head-" + std::string(70, 'b'), builder.text());
  EXPECT_EQ(202u, builder.heapCapacity());
}

}  // namespace
