#include "tools/ToolCpuTime.h"

#include "support/Windows.h"

namespace {

double fileTimeSeconds(const FILETIME& time) {
  const ULONGLONG ticks = (static_cast<ULONGLONG>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
  return static_cast<double>(ticks) * 1e-7;  // 100 ns units
}

}  // namespace

double toolProcessCpuSeconds() {
  FILETIME created{}, exited{}, kernel{}, user{};
  if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) return 0;
  return fileTimeSeconds(kernel) + fileTimeSeconds(user);
}

double toolThreadCpuSeconds() {
  FILETIME created{}, exited{}, kernel{}, user{};
  if (!GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user)) return 0;
  return fileTimeSeconds(kernel) + fileTimeSeconds(user);
}
