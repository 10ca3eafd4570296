// LUnlockedCall: work of the environment thread that runs with the environment lock
// released.
//
// A note handler on the environment thread may have to make a slow call that needs nothing
// the lock guards (a driver start, for one). Made inside the pass, it would keep every
// other thread that hands work over waiting for the lock. Such a call is queued instead
// (LAsyncEnv::deferUnlocked): once the pass has served its signals, the thread leaves the
// lock, runs every queued call's runUnlocked, takes the lock again and runs their
// finishLocked, in queue order; finishLocked applies what the call found and may queue
// further calls, which run the same way before the pass ends.
//
// A thread that is about to free what a queued call uses (a device closing the handle a
// start was queued on) first makes the call impossible under the lock, then, without the
// lock, calls LAsyncEnv::waitForUnlockedCalls: it returns once no call queued before is
// still running.
#pragma once

class LUnlockedCall {
 public:
  LUnlockedCall() = default;
  LUnlockedCall(const LUnlockedCall&) = delete;
  LUnlockedCall& operator=(const LUnlockedCall&) = delete;

  // Environment thread, lock NOT held.
  virtual void runUnlocked() = 0;
  // Environment thread, lock held, after runUnlocked.
  virtual void finishLocked() = 0;

 protected:
  ~LUnlockedCall() = default;

 private:
  friend class LDispatcher;
  // The next call in the environment's queue: a call is queued at most once at a time, so
  // queueing needs no memory and cannot fail.
  LUnlockedCall* nextQueued_ = nullptr;
};
