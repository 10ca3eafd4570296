// The monitor's picture of a received frame: its 512 slots as bytes in a grid of 32 rows of 16,
// under a line with the frame rate, the start code and the frame length. Pure functions; any
// thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

inline constexpr int kToolGridColumns = 16;
inline constexpr int kToolGridRows = 512 / kToolGridColumns;

// The bytes a list from the outlet stands for: each value is byte x scale / 255, so byte =
// value x 255 / scale, rounded and clamped to 0..255 (a scale of 0 means 1, as in the object).
std::vector<uint8_t> toolFrameBytes(const std::vector<double>& values, double scale);

// The grid for `frame` (start code first; empty: no frame yet): kToolGridRows + 2 lines, each
// ending in a newline and all of one width, so that a new grid drawn over an old one covers it.
// Slots the frame does not reach show as "-".
std::string toolSlotGridText(const std::vector<uint8_t>& frame, double framesPerSecond);
