#include "max/HostText.h"

#include <cstring>
#include <vector>

#include "support/Windows.h"

std::string utf8FromAnsi(const char* text) {
  if (text == nullptr) return {};
  const int bytes = static_cast<int>(std::strlen(text));
  if (bytes == 0) return {};
  const int units = MultiByteToWideChar(CP_ACP, 0, text, bytes, nullptr, 0);
  if (units <= 0) return {};
  std::vector<wchar_t> wide(units);
  if (MultiByteToWideChar(CP_ACP, 0, text, bytes, wide.data(), units) != units) return {};
  const int length = WideCharToMultiByte(CP_UTF8, 0, wide.data(), units, nullptr, 0, nullptr, nullptr);
  if (length <= 0) return {};
  std::string result(static_cast<size_t>(length), '\0');
  if (WideCharToMultiByte(CP_UTF8, 0, wide.data(), units, result.data(), length, nullptr, nullptr) != length)
    return {};
  return result;
}
