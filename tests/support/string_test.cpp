// LString records and counts, LStringView, and the NUL-terminated text functions.
#include "support/LString.h"
#include "support/LStringView.h"
#include "support/Text.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

TEST(LString, EveryEmptyStringSharesOneRecord) {
  const LString reference;
  const LString made[] = {
      LString::empty(),          LString::make(nullptr, 7),  LString::make("abc", 0),
      LString::make("", 0xFFFFFFFFu), LString::fromUtf8(nullptr), LString::fromUtf8(""),
      LString::fromAnsi(nullptr), LString::fromAnsi(""),      LString::fromWide(nullptr),
      LString::fromWide(L""),    LString::fromWide(L"x", 0),
  };
  for (const LString& s : made) {
    EXPECT_TRUE(s.sharesRecordWith(reference));
    EXPECT_EQ(0u, s.length());
    EXPECT_STREQ("", s.text());
  }
  // Each handle holds a reference to the shared record, and it is never freed.
  const int32_t before = reference.referenceCount();
  {
    LString another;
    EXPECT_EQ(before + 1, reference.referenceCount());
  }
  EXPECT_EQ(before, reference.referenceCount());
}

TEST(LString, CountsFollowCopyAssignAndRelease) {
  LString a = LString::make("abc", 3);
  EXPECT_EQ(3u, a.length());
  EXPECT_STREQ("abc", a.text());
  EXPECT_EQ(1, a.referenceCount());

  LString b = a;  // [a, b] -> record
  EXPECT_TRUE(b.sharesRecordWith(a));
  EXPECT_EQ(2, a.referenceCount());

  b = b;  // self-assignment: still alive, count unchanged
  EXPECT_EQ(2, a.referenceCount());
  EXPECT_STREQ("abc", b.text());

  LString c = LString::fromUtf8("xyz");
  c = a;  // [a, b, c] -> record; c's old record went away with its last handle
  EXPECT_EQ(3, a.referenceCount());

  b.release();
  EXPECT_TRUE(b.isEmpty());
  EXPECT_EQ(2, a.referenceCount());
  c = LString();
  EXPECT_EQ(1, a.referenceCount());
}

TEST(LString, CountedTextKeepsEveryByte) {
  const LString s = LString::make("ab\0cd", 5);
  EXPECT_EQ(5u, s.length());
  EXPECT_EQ('c', s.text()[3]);
  EXPECT_EQ(0, s.text()[5]);
  // The text functions stop at the inner NUL.
  EXPECT_EQ(2u, textSafeLength(s.text()));
  EXPECT_TRUE(textEqual("ab", s.text()));

  EXPECT_EQ(4u, LString::make("abcd", 0xFFFFFFFFu).length());
}

TEST(LString, WideTextWithItsTerminatorInsideTheCount) {
  const wchar_t text[] = L"AB12";
  const LString s = LString::fromWide(text, 5);
  EXPECT_EQ(5u, s.length());
  EXPECT_EQ(0, s.text()[4]);
  EXPECT_TRUE(textEqual("AB12", s.text()));

  EXPECT_STREQ("AB12", LString::fromWide(text).text());
  EXPECT_EQ(4u, LString::fromWide(text).length());
}

TEST(LString, WideAndUtf8MultibyteText) {
  // U+00E9, U+4E2D, U+1F600 (a surrogate pair)
  const LString s = LString::fromWide(L"\u00e9\u4e2d\U0001F600");
  EXPECT_EQ(2u + 3u + 4u, s.length());
  EXPECT_STREQ("\xc3\xa9\xe4\xb8\xad\xf0\x9f\x98\x80", s.text());
}

TEST(LString, CopiesOnManyThreadsKeepTheCount) {
  const LString shared = LString::fromUtf8("shared");
  std::thread threads[4];
  for (auto& t : threads) {
    t = std::thread([&shared] {
      for (int i = 0; i < 20000; ++i) {
        LString copy = shared;
        LString other;
        other = copy;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(1, shared.referenceCount());
}

TEST(LStringView, ViewsKeepTheirTextAliveAndNeverPointAtNull) {
  LString owner = LString::fromUtf8("serial");
  {
    const LStringView view(owner);
    EXPECT_EQ(2, owner.referenceCount());
    owner.release();  // the view still holds the record
    EXPECT_STREQ("serial", view.text());
    EXPECT_EQ(6u, view.length());
    EXPECT_EQ(1, view.owner().referenceCount());
  }
  const LStringView fromNull(static_cast<const char*>(nullptr));
  EXPECT_EQ(kEmptyText, fromNull.text());
  EXPECT_EQ(0u, fromNull.length());
  EXPECT_TRUE(fromNull.owner().sharesRecordWith(LString()));

  const char* plain = "WinUsb_Initialize";
  const LStringView narrow(plain);
  EXPECT_EQ(plain, narrow.text());
  EXPECT_EQ(17u, narrow.length());
  EXPECT_EQ(kEmptyText, LStringView(LString()).text());
}

TEST(Text, NullCountsAsTheEmptyText) {
  EXPECT_EQ(0u, textSafeLength(nullptr));
  EXPECT_EQ(3u, textSafeLength("abc"));
  EXPECT_TRUE(textIsEmpty(nullptr));
  EXPECT_TRUE(textIsEmpty(""));
  EXPECT_FALSE(textIsEmpty("a"));

  EXPECT_TRUE(textEqual(nullptr, nullptr));
  EXPECT_TRUE(textEqual(nullptr, ""));
  EXPECT_TRUE(textEqual("", nullptr));
  EXPECT_TRUE(textEqual("", ""));
  EXPECT_FALSE(textEqual(nullptr, "a"));
  EXPECT_FALSE(textEqual("a", nullptr));
  EXPECT_FALSE(textEqual("A", "a"));
  const char first[] = "LTimer_Expire";
  const char second[] = "LTimer_Expire";
  EXPECT_TRUE(textEqual(first, second));
}

TEST(Text, NextCharStepsOverWholeUtf8Characters) {
  const char text[] = "a\xc3\xa9\xe4\xb8\xad\xf0\x9f\x98\x80z";
  const char* p = text;
  p = textNextChar(p);
  EXPECT_EQ(text + 1, p);  // after 'a'
  p = textNextChar(p);
  EXPECT_EQ(text + 3, p);  // after the 2-byte character
  p = textNextChar(p);
  EXPECT_EQ(text + 6, p);  // after the 3-byte character
  p = textNextChar(p);
  EXPECT_EQ(text + 10, p);  // after the 4-byte character
  p = textNextChar(textNextChar(p));
  EXPECT_EQ(text + 11, p);  // the terminator stops it
  EXPECT_EQ(text + 11, textNextChar(p));
  EXPECT_EQ(nullptr, textNextChar(nullptr));
  // A stray continuation byte at the end does not run past the terminator.
  const char truncated[] = "a\x80";
  EXPECT_EQ(truncated + 2, textNextChar(truncated));
}

}  // namespace
