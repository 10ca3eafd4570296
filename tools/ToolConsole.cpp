#include "tools/ToolConsole.h"

#include <cstdarg>

namespace {

void emit(std::FILE* file, std::string* capture, const char* format, va_list args) {
  char stackText[1024];
  va_list again;
  va_copy(again, args);
  const int length = std::vsnprintf(stackText, sizeof stackText, format, args);
  std::string text;
  if (length < 0) {
    text = "(unprintable)\n";
  } else if (static_cast<size_t>(length) < sizeof stackText) {
    text.assign(stackText, static_cast<size_t>(length));
  } else {
    text.resize(static_cast<size_t>(length) + 1);
    std::vsnprintf(&text[0], text.size(), format, again);
    text.resize(static_cast<size_t>(length));
  }
  va_end(again);
  if (capture != nullptr) {
    *capture += text;
  } else if (file != nullptr) {
    std::fwrite(text.data(), 1, text.size(), file);
    std::fflush(file);
  }
}

}  // namespace

void ToolConsole::print(const char* format, ...) {
  va_list args;
  va_start(args, format);
  emit(out, capturedOut, format, args);
  va_end(args);
}

void ToolConsole::error(const char* format, ...) {
  va_list args;
  va_start(args, format);
  emit(err, capturedErr, format, args);
  va_end(args);
}

std::string toolValuesText(const std::vector<double>& values) {
  std::string text;
  char number[32];
  for (size_t i = 0; i < values.size(); ++i) {
    std::snprintf(number, sizeof number, i ? " %g" : "%g", values[i]);
    text += number;
  }
  return text;
}

std::string toolBytesText(const unsigned char* bytes, int count) {
  std::string text;
  char number[8];
  for (int i = 0; i < count; ++i) {
    std::snprintf(number, sizeof number, i ? " %u" : "%u", bytes[i]);
    text += number;
  }
  return text;
}
