// The reference to one present DMX interface that the enumeration hands to the open: which
// device interface class it was found in (0 the first class walked, 1 the second) and its
// device interface path as UTF-8, the text the USB device opens as a file.
#pragma once

#include <cstdint>

#include "support/LString.h"

struct CDmxDevicePath {
  int32_t classIndex = 0;
  LString path;
};
