// LAsyncSignal: has the environment thread tell the owner when a Win32 waitable handle is
// signalled. Once armed, the environment thread waits for the handle; when it is signalled
// the thread takes the signal out of the wait set and delivers "LAsyncSignal_X"
// (sender = this signal, target = owner) on the environment thread with the environment
// lock held. One note per arming, and only for an arming whose handle was signalled while
// it was armed: the owner arms again to hear about the next completion.
//
// The handle must stay signalled until someone resets it (a manual-reset event, as every
// transfer's is): the environment looks at handles without waiting on them to find which
// are signalled, which would take the signal of an auto-reset event or a semaphore, or the
// ownership of a mutex.
//
// Threads and locks: arm and disarm are called with the environment lock held (any
// thread); end the locked region with unlockAndWake so the thread notices. A signal armed
// and disarmed under one hold of the lock is never waited on.
//
// Ownership: the handle is not owned; whoever owns it keeps it open while the signal is
// armed. Destroying the signal takes the lock itself and withdraws the signal from the wait
// set, so no note reaches it afterwards; this is allowed on any thread, also inside a note
// on the environment thread (the lock is recursive).
#pragma once

#include "framework/LHandler.h"
#include "support/LList.h"
#include "support/Windows.h"

#include <cstdint>

class LAsyncEnv;

class LAsyncSignal : public LHandler, public LListNode {
 public:
  LAsyncSignal(LHandler* owner, LAsyncEnv* env) noexcept;
  ~LAsyncSignal() override;

  // Lock held. Waits for `handle` from the thread's next pass. Arming an armed signal
  // only changes its handle.
  void arm(HANDLE handle);
  // Lock held. Takes the signal out of the wait set; nothing happens when it is unarmed.
  void disarm();

  // Lock held (or on the environment thread).
  bool isArmed() const noexcept { return isLinked(); }
  HANDLE handle() const noexcept { return handle_; }
  LAsyncEnv* env() const noexcept { return env_; }

  // Kept by the environment, lock held: which wait watches this arming (0 while none
  // does yet).
  uint32_t watcher() const noexcept { return watcher_; }
  void setWatcher(uint32_t watcher) noexcept { watcher_ = watcher; }

 private:
  LAsyncEnv* const env_;
  HANDLE handle_ = nullptr;
  uint32_t watcher_ = 0;
};
