#include "tools/ToolScreen.h"

#include <io.h>

#include "support/Windows.h"

namespace {

std::vector<std::string> splitLines(const std::string& block) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = block.find('\n', start)) != std::string::npos; start = end + 1)
    lines.push_back(block.substr(start, end - start));
  return lines;
}

}  // namespace

ToolScreen::ToolScreen(ToolConsole& console) : console_(console) {
  if (console.capturedOut != nullptr || console.out == nullptr) return;
  const intptr_t osHandle = _get_osfhandle(_fileno(console.out));
  const HANDLE handle = reinterpret_cast<HANDLE>(osHandle);
  DWORD mode = 0;
  CONSOLE_SCREEN_BUFFER_INFO info{};
  // GetConsoleMode fails for files and pipes; the buffer info is what show() places lines by.
  if (osHandle == -1 || !GetConsoleMode(handle, &mode) || !GetConsoleScreenBufferInfo(handle, &info)) return;
  handle_ = handle;
  available_ = true;
}

void ToolScreen::show(const std::string& block) {
  std::vector<std::string> lines = splitLines(block);
  if (!available_) {
    console_.print("%s", block.c_str());
    return;
  }
  if (shown_.size() != lines.size()) {
    // A new block is printed as text, which makes room for it (scrolling if need be); its
    // top line is then known from where the cursor ends.
    console_.print("%s", block.c_str());
    CONSOLE_SCREEN_BUFFER_INFO info{};
    GetConsoleScreenBufferInfo(handle_, &info);
    top_ = info.dwCursorPosition.Y - static_cast<int>(lines.size());
    shown_ = std::move(lines);
    return;
  }
  // Redraw: only the lines that changed, written into the buffer where they stand; the cursor
  // stays below the block. (A console may take long to take in a whole block as text.)
  for (size_t i = 0; i < lines.size(); ++i) {
    if (lines[i] == shown_[i]) continue;
    DWORD written = 0;
    const COORD at{0, static_cast<SHORT>(top_ + static_cast<int>(i))};
    if (top_ + static_cast<int>(i) >= 0)
      WriteConsoleOutputCharacterA(handle_, lines[i].data(), static_cast<DWORD>(lines[i].size()), at, &written);
    shown_[i] = std::move(lines[i]);
  }
}
