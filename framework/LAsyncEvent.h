// LAsyncEvent: carries "something happened" from any thread to the thread that owns the
// environment's window (the host's main thread), as the note "LAsyncEvent_Note"
// (sender = this event, target = owner), delivered there without the environment lock.
//
// set() under the lock queues the event for the main-thread service, which starts the
// embedded timer with 0 ms; the timer's expiry becomes the note. Sets are coalesced: from
// a set until the note is about to be delivered, further sets do nothing; a set made
// after that (also one made while the owner handles the note) gives exactly one more
// note. Events set in some order deliver their notes in that order.
//
// Threads and locks:
//  - set: environment lock held, any thread.
//  - cancel and destruction: on the window's thread; they take the lock themselves (it is
//    recursive, so a caller may hold it already).
// After cancel or destruction no note of this event is delivered any more.
// The owner must outlive the event (as with every handler).
#pragma once

#include "framework/LHandler.h"
#include "framework/LTimer.h"
#include "support/LList.h"

#include <atomic>

class LAsyncEnv;

class LAsyncEvent : public LHandler, public LListNode {
 public:
  LAsyncEvent(LHandler* owner, LAsyncEnv* env) noexcept;
  ~LAsyncEvent() override;

  // Environment lock held; any thread. Does nothing while a note is already on its way.
  void set();
  // Window thread. Withdraws a set that has not been delivered yet; idle: nothing.
  void cancel();

  // Lock held: true from set until the note is about to be delivered.
  bool isScheduled() const noexcept { return scheduled_.load(); }
  LAsyncEnv* env() const noexcept { return env_; }

  // Answers its own timer's "LTimer_Expire" with "LAsyncEvent_Note" to the owner.
  LNote handleNote(const LNote& note) override;

 private:
  // The main-thread service moves pending events to their timers.
  friend class LDispatcher;
  void startTimer() { timer_.start(0); }

  LAsyncEnv* const env_;
  // Stands for "in pendingEvents or timer armed"; kept apart from the timer's own state
  // because the timer list belongs to the window's thread alone, while set() runs on any
  // thread. Set under the environment lock; cleared under it by cancel, and without it
  // when the note is about to be delivered.
  std::atomic<bool> scheduled_{false};
  LTimer timer_;
};
