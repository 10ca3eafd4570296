// LCharSource: a pull source of single bytes for the scanners (TextScan.h).
#pragma once

#include <cstdint>

class LCharSource {
 public:
  virtual ~LCharSource() = default;
  // The next byte; false at the end of the text, with `c` set to 0.
  virtual bool get(char& c) = 0;
  // Steps back one byte; nothing at the start.
  virtual void unget() = 0;
  // Copies up to `count` bytes (NULs included); returns how many were copied.
  virtual uint32_t read(void* destination, uint32_t count) = 0;
};
