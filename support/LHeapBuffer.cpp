#include "support/LHeapBuffer.h"

LHeapBuffer::LHeapBuffer() noexcept { resizer_.bind(&data_, &count_, 1, 0); }

LHeapBuffer::~LHeapBuffer() { resizer_.resize(0, false); }
