#include "tools/ToolInterrupt.h"

#include <atomic>

#include "support/Windows.h"

namespace {

std::atomic<bool> interrupted{false};

BOOL WINAPI onConsoleControl(DWORD type) {
  if (type == CTRL_C_EVENT || type == CTRL_BREAK_EVENT || type == CTRL_CLOSE_EVENT) {
    interrupted = true;
    return TRUE;
  }
  return FALSE;
}

}  // namespace

void installToolInterruptHandler() {
  static std::atomic<bool> installed{false};
  if (!installed.exchange(true)) SetConsoleCtrlHandler(onConsoleControl, TRUE);
}

bool toolInterrupted() { return interrupted; }
