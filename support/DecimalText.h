// A 32-bit number as decimal text ("%ld"): no padding, a '-' only for negative values.
#pragma once

#include "support/LString.h"

#include <cstdint>

LString decimalText(int32_t value);
