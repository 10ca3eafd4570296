#include "support/TextConversion.h"

#include "support/Text.h"
#include "support/Windows.h"

#include <atomic>
#include <climits>

namespace {

// The platform calls take int sizes; a capacity beyond that cannot be asked for.
constexpr uint64_t kLargestCapacity = INT_MAX;

uint32_t fail(LHeapBuffer& out, uint32_t error) {
  out.resize(0, false);
  return error;
}

// A zero result with no error code would read as success; never pass that on.
uint32_t platformError() {
  const DWORD error = GetLastError();
  return error != 0 ? error : ERROR_INVALID_DATA;
}

std::atomic<const text_conversion_detail::Platform*> replacedPlatform{nullptr};

uint32_t ansiCodePage() {
  const text_conversion_detail::Platform* platform = replacedPlatform.load(std::memory_order_acquire);
  if (platform != nullptr && platform->ansiCodePage != nullptr) return platform->ansiCodePage();
  return GetACP();
}

int wideToMultiByte(uint32_t codePage, uint32_t flags, const wchar_t* text, int units, char* out,
                    int capacity, int* usedDefaultChar) {
  const text_conversion_detail::Platform* platform = replacedPlatform.load(std::memory_order_acquire);
  if (platform != nullptr && platform->wideToMultiByte != nullptr) {
    return platform->wideToMultiByte(codePage, flags, text, units, out, capacity, nullptr,
                                     usedDefaultChar);
  }
  static_assert(sizeof(BOOL) == sizeof(int), "BOOL is an int");
  return WideCharToMultiByte(codePage, flags, text, units, out, capacity, nullptr,
                             reinterpret_cast<BOOL*>(usedDefaultChar));
}

}  // namespace

namespace text_conversion_detail {

void setPlatform(const Platform* platform) {
  replacedPlatform.store(platform, std::memory_order_release);
}

uint32_t toMultiByte(const wchar_t* text, uint32_t units, LHeapBuffer& out, uint32_t codePage,
                     uint32_t flags, uint64_t firstCapacity, int* usedDefaultChar) {
  if (units == 0) return fail(out, 0);
  if (units > kLargestCapacity) return fail(out, ERROR_NOT_ENOUGH_MEMORY);
  // A capacity of 0 would turn the call into a size query.
  uint64_t capacity = firstCapacity != 0 ? firstCapacity : 1;
  for (;;) {
    if (capacity > kLargestCapacity || !out.resize(static_cast<uint32_t>(capacity), false)) {
      return fail(out, ERROR_NOT_ENOUGH_MEMORY);
    }
    int usedDefault = FALSE;
    const int written = wideToMultiByte(
        codePage, flags, text, static_cast<int>(units), reinterpret_cast<char*>(out.data()),
        static_cast<int>(capacity), usedDefaultChar != nullptr ? &usedDefault : nullptr);
    if (written > 0) {
      if (usedDefaultChar != nullptr) *usedDefaultChar = usedDefault;
      if (!out.resize(static_cast<uint32_t>(written), true)) return fail(out, ERROR_NOT_ENOUGH_MEMORY);
      return 0;
    }
    const uint32_t error = platformError();
    if (error != ERROR_INSUFFICIENT_BUFFER) return fail(out, error);
    capacity = static_cast<uint64_t>(out.count()) * 2;
  }
}

uint32_t toWide(const char* text, uint32_t bytes, LHeapBuffer& out, uint32_t codePage,
                uint32_t flags, uint64_t firstCapacity) {
  if (bytes == 0) return fail(out, 0);
  if (bytes > kLargestCapacity) return fail(out, ERROR_NOT_ENOUGH_MEMORY);
  uint64_t capacity = firstCapacity != 0 ? firstCapacity : 1;  // in UTF-16 units
  for (;;) {
    if (capacity > kLargestCapacity / 2 ||
        !out.resize(static_cast<uint32_t>(capacity * 2), false)) {
      return fail(out, ERROR_NOT_ENOUGH_MEMORY);
    }
    const int written =
        MultiByteToWideChar(codePage, flags, text, static_cast<int>(bytes),
                            reinterpret_cast<wchar_t*>(out.data()), static_cast<int>(capacity));
    if (written > 0) {
      if (!out.resize(static_cast<uint32_t>(written) * 2, true)) return fail(out, ERROR_NOT_ENOUGH_MEMORY);
      return 0;
    }
    const uint32_t error = platformError();
    if (error != ERROR_INSUFFICIENT_BUFFER) return fail(out, error);
    capacity = out.count();  // the byte count: twice the units just tried
  }
}

}  // namespace text_conversion_detail

uint32_t convertToMultiByte(const wchar_t* text, uint32_t units, LHeapBuffer& out,
                            uint32_t codePage, uint32_t flags) {
  return text_conversion_detail::toMultiByte(text, units, out, codePage, flags,
                                             static_cast<uint64_t>(units) * 4 + 64, nullptr);
}

uint32_t convertToWide(const char* text, uint32_t bytes, LHeapBuffer& out, uint32_t codePage,
                       uint32_t flags) {
  return text_conversion_detail::toWide(text, bytes, out, codePage, flags,
                                        static_cast<uint64_t>(bytes) * 3 + 64);
}

uint32_t utf8ToWide(const char* text, LHeapBuffer& out) {
  return convertToWide(text, textSafeLength(text), out, CP_UTF8, 0);
}

uint32_t wideToUtf8(const wchar_t* text, uint32_t units, LHeapBuffer& out) {
  return convertToMultiByte(text, units, out, CP_UTF8, 0);
}

uint32_t ansiToUtf8(const char* text, uint32_t bytes, LHeapBuffer& out) {
  LHeapBuffer wide;
  const uint32_t error = convertToWide(text, bytes, wide, ansiCodePage(), 0);
  if (error != 0) return fail(out, error);
  return wideToUtf8(reinterpret_cast<const wchar_t*>(wide.data()), wide.count() / 2, out);
}

uint32_t utf8ToAnsi(const char* text, LHeapBuffer& out) {
  LHeapBuffer wide;
  const uint32_t error = utf8ToWide(text, wide);
  if (error != 0) return fail(out, error);
  const auto* units = reinterpret_cast<const wchar_t*>(wide.data());
  const uint32_t count = wide.count() / 2;
  const uint32_t codePage = ansiCodePage();
  // For UTF-8 the platform refuses WC_NO_BEST_FIT_CHARS and a used-default pointer (every
  // ANSI call would then fail), and needs neither: every text has a UTF-8 form.
  if (codePage == CP_UTF8) return convertToMultiByte(units, count, out, CP_UTF8, 0);
  int usedDefault = FALSE;
  const uint32_t result = text_conversion_detail::toMultiByte(
      units, count, out, codePage, WC_NO_BEST_FIT_CHARS, static_cast<uint64_t>(count) * 4 + 64,
      &usedDefault);
  if (result != 0) return result;
  // A replaced character would name a different file, key or window: refuse instead.
  if (usedDefault) return fail(out, ERROR_NO_UNICODE_TRANSLATION);
  return 0;
}
