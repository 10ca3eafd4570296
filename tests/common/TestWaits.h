// Bounded waiting for tests: pumping this thread's messages with a deadline, and a watchdog
// that ends the process with a failure when a call that waits without a limit (a close, a
// destruction, a lock) does not return. A test never hangs: it fails.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <mutex>
#include <thread>

#include "support/Windows.h"

namespace testwaits {

// Dispatches this thread's messages until `done` holds or `ms` have passed. True if done.
inline bool pumpUntil(const std::function<bool()>& done, DWORD ms = 5000) {
  const DWORD start = GetTickCount();
  for (;;) {
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
    if (done && done()) return true;
    if (GetTickCount() - start >= ms) return false;
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 5, QS_ALLINPUT);
  }
}

inline void pumpFor(DWORD ms) { pumpUntil(nullptr, ms); }

// Polls `done` every few milliseconds for up to `ms`, without dispatching this thread's
// messages (notes stay undelivered meanwhile). True if done.
inline bool waitUntil(const std::function<bool()>& done, DWORD ms = 5000) {
  const DWORD start = GetTickCount();
  while (!done()) {
    if (GetTickCount() - start >= ms) return false;
    Sleep(2);
  }
  return true;
}

// Ends the process with a failure message when the scope is not left within `ms`.
class Watchdog {
 public:
  Watchdog(DWORD ms, const char* what)
      : thread_([this, ms, what] {
          std::unique_lock<std::mutex> hold(mutex_);
          if (!doneChanged_.wait_for(hold, std::chrono::milliseconds(ms), [this] { return done_; })) {
            std::fprintf(stderr, "watchdog: %s did not finish within %lu ms\n", what,
                         static_cast<unsigned long>(ms));
            std::fflush(stderr);
            TerminateProcess(GetCurrentProcess(), 3);
          }
        }) {}
  ~Watchdog() {
    {
      std::lock_guard<std::mutex> hold(mutex_);
      done_ = true;
    }
    doneChanged_.notify_all();
    thread_.join();
  }
  Watchdog(const Watchdog&) = delete;
  Watchdog& operator=(const Watchdog&) = delete;

 private:
  std::mutex mutex_;
  std::condition_variable doneChanged_;
  bool done_ = false;
  std::thread thread_;
};

}  // namespace testwaits
