// Conversion of one list element to the DMX byte that is sent for it.
#pragma once

#include <cmath>
#include <cstdint>

#include "support/Variant.h"

// `value` is the element as the host reports it; `k` is 255 / scale. The product is
// formed in double and narrowed to float, then rounded to the nearest integer and clamped
// to 0..255. x86-64: roundf (halves away from zero), a NaN gives 0. x86: adds 0.5 (-0.5
// below zero) and truncates, a NaN gives 255.
inline uint8_t dmxByteFromListValue(double value, float k) {
  const float product = static_cast<float>(value * static_cast<double>(k));
  if constexpr (variant::kListRoundsByTruncation) {
    if (std::isnan(product)) return 255;
    const float shifted = product < 0.0f ? product - 0.5f : product + 0.5f;
    if (shifted >= 255.0f) return 255;
    if (shifted <= 0.0f) return 0;
    return static_cast<uint8_t>(static_cast<int>(shifted));
  } else {
    const float rounded = std::roundf(product);
    if (std::isnan(rounded)) return 0;
    if (rounded > 255.0f) return 255;
    if (rounded < 0.0f) return 0;
    return static_cast<uint8_t>(rounded);
  }
}
