// Conversions between UTF-8, UTF-16 and the ANSI code page; LWideArg and LAnsiArg.
#include "support/LAnsiArg.h"
#include "support/LString.h"
#include "support/LWideArg.h"
#include "support/Text.h"
#include "support/TextConversion.h"
#include "support/Windows.h"
#include "tests/support/AnsiCodePageDouble.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

std::string bytesOf(const LHeapBuffer& buffer) {
  return std::string(reinterpret_cast<const char*>(buffer.data()), buffer.count());
}

std::wstring unitsOf(const LHeapBuffer& buffer) {
  return std::wstring(reinterpret_cast<const wchar_t*>(buffer.data()), buffer.count() / 2);
}

// U+00E9 U+4E2D U+1F600: 2-, 3- and 4-byte UTF-8 forms.
const char kUtf8[] = "x\xc3\xa9\xe4\xb8\xad\xf0\x9f\x98\x80y";
const wchar_t kUtf16[] = L"x\u00e9\u4e2d\U0001F600y";

TEST(TextConversion, BothDirectionsGiveExactSizedResults) {
  LHeapBuffer wide;
  ASSERT_EQ(0u, utf8ToWide(kUtf8, wide));
  EXPECT_EQ(std::wstring(kUtf16), unitsOf(wide));
  EXPECT_EQ(2u * 6, wide.count());  // 6 units, no terminator

  LHeapBuffer utf8;
  ASSERT_EQ(0u, wideToUtf8(kUtf16, 6, utf8));
  EXPECT_EQ(std::string(kUtf8), bytesOf(utf8));
}

TEST(TextConversion, ZeroUnitsSucceedWithoutABlock) {
  LHeapBuffer out;
  out.assign("old", 3);
  EXPECT_EQ(0u, wideToUtf8(L"abc", 0, out));
  EXPECT_EQ(0u, out.count());
  EXPECT_EQ(nullptr, out.data());
  out.assign("old", 3);
  EXPECT_EQ(0u, utf8ToWide(nullptr, out));
  EXPECT_EQ(nullptr, out.data());
  EXPECT_EQ(0u, convertToWide("abc", 0, out, CP_UTF8, 0));
  EXPECT_EQ(nullptr, out.data());
}

TEST(TextConversion, PlatformErrorsPassThroughAndEmptyTheBuffer) {
  LHeapBuffer out;
  out.assign("old", 3);
  // An invalid UTF-8 sequence with strict checking.
  EXPECT_EQ(static_cast<uint32_t>(ERROR_NO_UNICODE_TRANSLATION),
            convertToWide("a\xff", 2, out, CP_UTF8, MB_ERR_INVALID_CHARS));
  EXPECT_EQ(0u, out.count());
  out.assign("old", 3);
  EXPECT_EQ(static_cast<uint32_t>(ERROR_INVALID_PARAMETER), convertToMultiByte(L"a", 1, out, 0xFFFF, 0));
  EXPECT_EQ(nullptr, out.data());
}

// The generous first sizes always suffice, so the retry on ERROR_INSUFFICIENT_BUFFER is
// run with a first capacity of one unit.
TEST(TextConversion, ShortBuffersAreDoubledUntilTheResultFits) {
  const std::wstring longText = std::wstring(40, L'\u4e2d') + L"end";  // 123 UTF-8 bytes
  LHeapBuffer utf8;
  ASSERT_EQ(0u, text_conversion_detail::toMultiByte(longText.c_str(), longText.size(), utf8,
                                                    CP_UTF8, 0, 1, nullptr));
  EXPECT_EQ(123u, utf8.count());
  EXPECT_EQ(LString::fromWide(longText.c_str()).text(), bytesOf(utf8));

  LHeapBuffer wide;
  ASSERT_EQ(0u, text_conversion_detail::toWide(reinterpret_cast<const char*>(utf8.data()),
                                               utf8.count(), wide, CP_UTF8, 0, 1));
  EXPECT_EQ(longText, unitsOf(wide));
}

TEST(TextConversion, AnsiRoundTripAndRefusalOfUnrepresentableText) {
  // In the ANSI code page of the test prefix (1252) e-acute is one byte.
  ASSERT_EQ(1252u, GetACP());
  LHeapBuffer ansi;
  ASSERT_EQ(0u, utf8ToAnsi("caf\xc3\xa9", ansi));
  EXPECT_EQ(std::string("caf\xe9"), bytesOf(ansi));

  LHeapBuffer utf8;
  ASSERT_EQ(0u, ansiToUtf8("caf\xe9", 4, utf8));
  EXPECT_EQ(std::string("caf\xc3\xa9"), bytesOf(utf8));
  EXPECT_STREQ("caf\xc3\xa9", LString::fromAnsi("caf\xe9").text());

  // U+4E2D has no 1252 form; U+0100 would best-fit to 'A'. Both are refused, not mangled.
  ansi.assign("old", 3);
  EXPECT_EQ(static_cast<uint32_t>(ERROR_NO_UNICODE_TRANSLATION), utf8ToAnsi("a\xe4\xb8\xad", ansi));
  EXPECT_EQ(0u, ansi.count());
  EXPECT_EQ(static_cast<uint32_t>(ERROR_NO_UNICODE_TRANSLATION), utf8ToAnsi("\xc4\x80", ansi));
}

TEST(TextConversion, AnsiConversionFollowsTheCodePageInForce) {
  {
    // UTF-8: every text is taken as it is, with the only flags and pointers the platform
    // accepts for that code page.
    testtext::ScopedAnsiCodePage utf8CodePage(CP_UTF8);
    LHeapBuffer ansi;
    ASSERT_EQ(0u, utf8ToAnsi(kUtf8, ansi));
    EXPECT_EQ(std::string(kUtf8), bytesOf(ansi));
    const LAnsiArg arg("\xe4\xb8\xad.dll");
    EXPECT_TRUE(arg.ok());
    EXPECT_STREQ("\xe4\xb8\xad.dll", arg.text());
    LHeapBuffer utf8;
    ASSERT_EQ(0u, ansiToUtf8(kUtf8, sizeof kUtf8 - 1, utf8));
    EXPECT_EQ(std::string(kUtf8), bytesOf(utf8));

    const auto calls = utf8CodePage.takeCalls();
    ASSERT_FALSE(calls.empty());
    for (const auto& call : calls) {
      EXPECT_EQ(static_cast<uint32_t>(CP_UTF8), call.codePage);
      EXPECT_EQ(0u, call.flags);
      EXPECT_FALSE(call.defaultChar);
      EXPECT_FALSE(call.usedDefaultChar);
    }
  }
  {
    // Any other code page keeps the strict conversion, in the code page in force.
    testtext::ScopedAnsiCodePage westernCodePage(1252);
    LHeapBuffer ansi;
    ASSERT_EQ(0u, utf8ToAnsi("caf\xc3\xa9", ansi));
    EXPECT_EQ(std::string("caf\xe9"), bytesOf(ansi));
    const auto calls = westernCodePage.takeCalls();
    ASSERT_FALSE(calls.empty());
    const auto& last = calls.back();
    EXPECT_EQ(1252u, last.codePage);
    EXPECT_EQ(static_cast<uint32_t>(WC_NO_BEST_FIT_CHARS), last.flags);
    EXPECT_FALSE(last.defaultChar);
    EXPECT_TRUE(last.usedDefaultChar);
    EXPECT_EQ(static_cast<uint32_t>(ERROR_NO_UNICODE_TRANSLATION), utf8ToAnsi("\xc4\x80", ansi));
  }
}

TEST(LWideArg, TerminatedCopyOrTheStaticEmptyText) {
  const LWideArg arg(kUtf8);
  EXPECT_EQ(6u, arg.length());
  EXPECT_EQ(0, std::wcscmp(kUtf16, arg.text()));

  const LWideArg none(nullptr);
  EXPECT_EQ(kEmptyWideText, none.text());
  EXPECT_EQ(0u, none.length());
  const LWideArg empty("");
  EXPECT_EQ(kEmptyWideText, empty.text());
}

TEST(LAnsiArg, ConvertsOrRefuses) {
  const LAnsiArg arg("caf\xc3\xa9");
  ASSERT_TRUE(arg.ok());
  EXPECT_STREQ("caf\xe9", arg.text());
  EXPECT_EQ(4u, arg.length());

  const LAnsiArg none(nullptr);
  EXPECT_TRUE(none.ok());
  EXPECT_EQ(kEmptyText, none.text());

  const LAnsiArg bad("\xe4\xb8\xad.dll");
  EXPECT_FALSE(bad.ok());
  EXPECT_EQ(static_cast<uint32_t>(ERROR_NO_UNICODE_TRANSLATION), bad.error());
  EXPECT_EQ(kEmptyText, bad.text());
}

}  // namespace
