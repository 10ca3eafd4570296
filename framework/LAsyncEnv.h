// LAsyncEnv: what an asynchronous event or signal needs of the environment it lives in.
// The one implementation is LDispatcher (the environment thread of CEnv); the async
// objects hold a pointer to this interface, never to CEnv.
//
// The environment lock is recursive. Every change under it that the environment thread
// must notice (arming or disarming a signal, setting an event) ends with unlockAndWake,
// which makes the thread rebuild its wait set before it waits again.
//
// Capacity: the environment thread waits on the first signals itself and hands the rest to
// helper wait threads; a helper thread is started when the signals first need it. An owner
// that must not lose a wait for want of a thread reserves room first (reserveSignals), when
// it can still refuse the work cleanly; room beyond what the waits can hold at all is
// refused the same way.
#pragma once

#include "support/LList.h"

#include <cstdint>

class LAsyncSignal;
class LUnlockedCall;

class LAsyncEnv {
 public:
  LAsyncEnv() = default;
  LAsyncEnv(const LAsyncEnv&) = delete;
  LAsyncEnv& operator=(const LAsyncEnv&) = delete;
  virtual ~LAsyncEnv();

  // Takes the environment lock (recursive); any thread.
  virtual void lock() = 0;
  // Leaves the lock without waking the environment thread: only for regions that changed
  // nothing the thread waits on.
  virtual void unlock() = 0;
  // Leaves the lock, then wakes the environment thread so that it re-reads waitList.
  virtual void unlockAndWake() = 0;

  // Lock held. Makes the thread that owns the environment's window run the main-thread
  // service soon (one message in flight at most), which turns pendingEvents into notes.
  virtual void requestService() = 0;

  // Lock held. Appends the signal to waitList unless it is already in a list (then it
  // stays where it is). Does not wake the thread; the caller's unlockAndWake does.
  virtual void registerSignal(LAsyncSignal* signal) = 0;
  // Lock held. Removes the signal from waitList if it is there; null is ignored.
  virtual void unregisterSignal(LAsyncSignal* signal) = 0;
  // Lock NOT held: lock, unregisterSignal, unlockAndWake. Null is ignored.
  virtual void unregisterSignalLocked(LAsyncSignal* signal) = 0;

  // Lock NOT held. Makes sure that `count` more signals can be armed at once without a
  // thread having to be started later; false (nothing reserved) when a helper wait thread
  // could not be started or the room would exceed the bound. Give the room back with
  // releaseSignals.
  virtual bool reserveSignals(uint32_t count) = 0;
  virtual void releaseSignals(uint32_t count) = 0;
  // Lock held. On the environment thread, during a pass: queues `call` (not queued yet) to
  // run once the pass has served its signals, outside the lock (see LUnlockedCall), and
  // returns true. Elsewhere false: the caller makes the call itself.
  virtual bool deferUnlocked(LUnlockedCall* call) = 0;
  // Lock NOT held; any thread but the environment thread. Returns once no call queued
  // before is still running outside the lock.
  virtual void waitForUnlockedCalls() = 0;

  // Both lists are guarded by the lock. Entries are not owned.
  LList& pendingEvents() noexcept { return pendingEvents_; }  // LAsyncEvents, set order
  LList& waitList() noexcept { return waitList_; }            // LAsyncSignals, arming order
  // Signals in waitList (lock held).
  uint32_t armedCount() const noexcept { return armedCount_; }

 protected:
  LList pendingEvents_;
  LList waitList_;
  uint32_t armedCount_ = 0;
};
