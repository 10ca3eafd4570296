// The process's memory use as the system counts it (psapi). Any thread.
#pragma once

#include <cstdint>

struct ToolMemory {
  uint64_t workingSet = 0;    // bytes resident
  uint64_t privateBytes = 0;  // committed private bytes (PagefileUsage)
};

// Zeros when the system does not say.
ToolMemory toolMemoryNow();
