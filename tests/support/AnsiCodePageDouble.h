// Runs the ANSI text conversions as on a Windows system whose ANSI code page is the one
// given, and checks their calls to WideCharToMultiByte. Wine keeps the ANSI code page of
// its locale, so a system set to UTF-8 (65001) can only be had this way.
//
// The double keeps the rule Windows keeps for UTF-8 (Wine does not): flags other than 0
// or WC_ERR_INVALID_CHARS fail with ERROR_INVALID_FLAGS, a default character or a
// used-default pointer with ERROR_INVALID_PARAMETER. Every call is recorded, then made
// for real. One at a time, on the test's thread.
#pragma once

#include <cstdint>
#include <vector>

#include "support/TextConversion.h"
#include "support/Windows.h"

namespace testtext {

class ScopedAnsiCodePage {
 public:
  struct Call {
    uint32_t codePage;
    uint32_t flags;
    bool defaultChar;
    bool usedDefaultChar;
  };

  explicit ScopedAnsiCodePage(uint32_t codePage) {
    codePage_() = codePage;
    calls_().clear();
    static const text_conversion_detail::Platform platform{&ansiCodePage, &wideToMultiByte};
    text_conversion_detail::setPlatform(&platform);
  }
  ~ScopedAnsiCodePage() { text_conversion_detail::setPlatform(nullptr); }
  ScopedAnsiCodePage(const ScopedAnsiCodePage&) = delete;
  ScopedAnsiCodePage& operator=(const ScopedAnsiCodePage&) = delete;

  // The calls made since construction (or the last take), in order.
  std::vector<Call> takeCalls() {
    std::vector<Call> calls;
    calls.swap(calls_());
    return calls;
  }

 private:
  static uint32_t& codePage_() {
    static uint32_t codePage = 0;
    return codePage;
  }
  static std::vector<Call>& calls_() {
    static std::vector<Call> calls;
    return calls;
  }

  static uint32_t ansiCodePage() { return codePage_(); }

  static int wideToMultiByte(uint32_t codePage, uint32_t flags, const wchar_t* text, int units,
                             char* out, int capacity, const char* defaultChar,
                             int* usedDefaultChar) {
    calls_().push_back({codePage, flags, defaultChar != nullptr, usedDefaultChar != nullptr});
    if (codePage == CP_UTF8) {
      if ((flags & ~static_cast<uint32_t>(WC_ERR_INVALID_CHARS)) != 0) {
        SetLastError(ERROR_INVALID_FLAGS);
        return 0;
      }
      if (defaultChar != nullptr || usedDefaultChar != nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
      }
    }
    return WideCharToMultiByte(codePage, flags, text, units, out, capacity, defaultChar,
                               reinterpret_cast<BOOL*>(usedDefaultChar));
  }
};

}  // namespace testtext
