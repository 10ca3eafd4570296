#include "tools/ToolCpuTime.h"

#include "support/Windows.h"

namespace {

double fileTimeSeconds(const FILETIME& time) {
  const ULONGLONG ticks = (static_cast<ULONGLONG>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
  return static_cast<double>(ticks) * 1e-7;  // 100 ns units
}

double threadCpuSeconds(HANDLE thread) {
  FILETIME created{}, exited{}, kernel{}, user{};
  if (!GetThreadTimes(thread, &created, &exited, &kernel, &user)) return 0;
  return fileTimeSeconds(kernel) + fileTimeSeconds(user);
}

}  // namespace

double toolProcessCpuSeconds() {
  FILETIME created{}, exited{}, kernel{}, user{};
  if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) return 0;
  return fileTimeSeconds(kernel) + fileTimeSeconds(user);
}

double toolThreadCpuSeconds() { return threadCpuSeconds(GetCurrentThread()); }

double toolThreadCpuSeconds(unsigned long threadId) {
  HANDLE thread = OpenThread(THREAD_QUERY_LIMITED_INFORMATION, FALSE, threadId);
  if (thread == nullptr) return 0;
  const double seconds = threadCpuSeconds(thread);
  CloseHandle(thread);
  return seconds;
}
