#include "tools/ToolSlotGrid.h"

#include <cmath>
#include <cstdio>

std::vector<uint8_t> toolFrameBytes(const std::vector<double>& values, double scale) {
  const double factor = 255.0 / (scale == 0 ? 1.0 : scale);
  std::vector<uint8_t> bytes;
  bytes.reserve(values.size());
  for (double value : values) {
    const double byte = std::round(value * factor);
    bytes.push_back(static_cast<uint8_t>(!(byte > 0) ? 0 : byte > 255 ? 255 : byte));
  }
  return bytes;
}

std::string toolSlotGridText(const std::vector<uint8_t>& frame, double framesPerSecond) {
  // "slot" and the row labels take 5 columns, every value 4.
  constexpr int kWidth = 5 + 4 * kToolGridColumns;
  char line[128];
  std::string text;
  auto addLine = [&](int length) {
    std::string padded(line, static_cast<size_t>(length < 0 ? 0 : length));
    padded.resize(kWidth, ' ');
    text += padded + '\n';
  };
  if (frame.empty()) {
    addLine(std::snprintf(line, sizeof line, "%7.1f frames/s   no frame yet", framesPerSecond));
  } else {
    addLine(std::snprintf(line, sizeof line, "%7.1f frames/s   start code %3u   length %3u", framesPerSecond,
                          frame[0], static_cast<unsigned>(frame.size())));
  }
  int at = std::snprintf(line, sizeof line, "slot ");
  for (int column = 0; column < kToolGridColumns; ++column) {
    char offset[8];
    std::snprintf(offset, sizeof offset, "+%d", column);
    at += std::snprintf(line + at, sizeof line - static_cast<size_t>(at), " %3s", offset);
  }
  addLine(at);
  for (int row = 0; row < kToolGridRows; ++row) {
    const int first = 1 + row * kToolGridColumns;
    at = std::snprintf(line, sizeof line, "%4d ", first);
    for (int slot = first; slot < first + kToolGridColumns; ++slot) {
      if (slot < static_cast<int>(frame.size())) {
        at += std::snprintf(line + at, sizeof line - static_cast<size_t>(at), " %3u", frame[static_cast<size_t>(slot)]);
      } else {
        at += std::snprintf(line + at, sizeof line - static_cast<size_t>(at), "   -");
      }
    }
    addLine(at);
  }
  return text;
}
