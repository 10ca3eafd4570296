#include "framework/CEnv.h"

#include "framework/LTimer.h"
#include "framework/LWindowPoster.h"
#include "support/Win32Text.h"

#include <new>

namespace {

CEnv* gCurrent = nullptr;

}  // namespace

CEnv* CEnv::current() noexcept { return gCurrent; }

CEnv* CEnv::create() {
  if (gCurrent != nullptr) return nullptr;
  CEnv* env = new (std::nothrow) CEnv();
  if (env == nullptr) return nullptr;
  if (!env->window_.create(kWindowName, env, &CEnv::windowCallback, true) ||
      !env->dispatcher_.start(env->window())) {
    delete env;
    return nullptr;
  }
  gCurrent = env;
  // Timers armed while there was no environment get their window timer now.
  if (LTimer::armedCount() != 0) LTimer::rearmWindowTimer();
  return env;
}

CEnv::~CEnv() {
  if (gCurrent == this) gCurrent = nullptr;
  dispatcher_.shutdown();
  // The window would take a queued service message with it, and the released poster that
  // waits for it would never be freed.
  drainServiceMessages();
  // A later window may get the same handle; it has no window timer yet.
  LTimer::forgetWindowTimer();
  window_.destroy();
}

void CEnv::drainServiceMessages() {
  if (window() == nullptr) return;
  MSG message;
  while (w32::peekMessage(&message, window(), LDispatcher::kServiceMessage,
                          LDispatcher::kServiceMessage, PM_REMOVE)) {
    LWindowPoster::arrive(message.wParam);
  }
}

bool CEnv::windowCallback(void* user, UINT message, WPARAM wParam, LPARAM lParam,
                          LRESULT* result) {
  // Nothing may leave into the host's message dispatch: a note that runs out of memory
  // (std::bad_alloc, the one exception raised) loses its work, and the rest goes on.
  if (message == WM_TIMER) {
    if (wParam == LTimer::kWindowTimerId) {
      CEnv* env = static_cast<CEnv*>(user);
      env->dispatcher()->takePendingEvents();
      try {
        LTimer::serviceTimers();
      } catch (...) {
        // The timers still due fire at the next WM_TIMER.
      }
      // A note may have destroyed the environment, and its window timer with it.
      if (current() == env) env->dispatcher()->afterTimerService();
    }
    return false;
  }
  if (message == LDispatcher::kServiceMessage) {
    try {
      LWindowPoster::arrive(wParam);
    } catch (...) {
    }
    *result = 0;
    return true;
  }
  return false;
}
