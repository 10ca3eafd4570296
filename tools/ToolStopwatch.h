// Elapsed time since construction, from the monotonic clock; and the performance counter that
// the stand-in host and the simulated interface stamp their events with. Any thread.
#pragma once

#include <chrono>
#include <cstdint>

#include "support/Windows.h"

class ToolStopwatch {
 public:
  double seconds() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  }
  void restart() { start_ = std::chrono::steady_clock::now(); }

 private:
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

// QueryPerformanceCounter's value now.
inline int64_t toolCounterNow() {
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return now.QuadPart;
}

// A performance counter difference in seconds.
inline double toolCounterSeconds(int64_t ticks) {
  static const double frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return static_cast<double>(f.QuadPart);
  }();
  return static_cast<double>(ticks) / frequency;
}
