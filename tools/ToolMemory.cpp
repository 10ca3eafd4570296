#include "tools/ToolMemory.h"

#include "support/Windows.h"

#include <psapi.h>

ToolMemory toolMemoryNow() {
  ToolMemory memory;
  PROCESS_MEMORY_COUNTERS counters{};
  counters.cb = sizeof counters;
  if (GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters)) {
    memory.workingSet = counters.WorkingSetSize;
    memory.privateBytes = counters.PagefileUsage;
  }
  return memory;
}
