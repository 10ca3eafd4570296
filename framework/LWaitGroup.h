// LWaitGroup: a helper thread that waits on up to kCapacity handles for the environment
// thread, once the environment's own wait (at most 63 handles) is full.
//
// The environment thread hands the group the handles to watch (watch) and keeps the group's
// ready event in its own wait. When one of the handles is signalled, the group notes the
// lowest such handle (the earliest armed), sets its ready event and then watches nothing
// until the environment thread has taken the report (take) and handed it a list again. So
// the group never reports twice before the environment thread has looked, and it never
// delivers anything itself: notes are still delivered on the environment thread, under the
// environment lock, one per pass.
//
// A report made against a list that was replaced meanwhile is discarded: the handles are
// manual-reset events, which stay signalled, so the new wait reports them again. A wait
// that fails (a handle in the list cannot be waited on) is reported as a failure, for the
// environment thread to find the culprit.
//
// Threads and locks: watch, take and the destructor run on the environment thread (watch
// and take under the environment lock). The group thread never takes the environment lock;
// the two share only the fields below, under the group's own lock, which is never held
// while waiting. Destruction stops and joins the thread.
//
// Cost: one thread, two events and one critical section per group.
#pragma once

#include "support/Windows.h"

#include <atomic>
#include <cstdint>

class LThread;

class LWaitGroup {
 public:
  // One slot of WaitForMultipleObjects goes to the group's own wake-up event.
  static constexpr uint32_t kCapacity = MAXIMUM_WAIT_OBJECTS - 1;

  struct Report {
    HANDLE signalled;  // the handle seen signalled; null when the wait failed
    bool waitFailed;
  };

  LWaitGroup() noexcept;
  ~LWaitGroup();
  LWaitGroup(const LWaitGroup&) = delete;
  LWaitGroup& operator=(const LWaitGroup&) = delete;

  // Makes the events and starts the thread; false on any failure (destroy it then).
  bool start();

  // Manual-reset; set while a report waits to be taken.
  HANDLE readyEvent() const noexcept { return readyEvent_; }

  // Watch exactly these handles (at most kCapacity; none is allowed). While a report waits
  // to be taken the list is kept for later: the group resumes with the newest list after
  // take. An unchanged list is not handed over again.
  void watch(const HANDLE* handles, uint32_t count);
  // After the ready event was seen: takes the report and clears the ready event.
  Report take();

  // Times the group's thread has come out of its wait, for whatever reason (any thread).
  uint32_t wakeupCount() const noexcept { return wakeups_.load(); }

 private:
  static uint32_t threadEntry(void* self);
  uint32_t run();

  CRITICAL_SECTION lock_;
  LThread* thread_ = nullptr;
  HANDLE wakeEvent_ = nullptr;   // auto-reset: a new list, or stop
  HANDLE readyEvent_ = nullptr;  // manual-reset: a report is waiting
  // Guarded by lock_.
  HANDLE handles_[kCapacity] = {};
  uint32_t count_ = 0;
  uint32_t version_ = 0;     // bumped for every list handed over
  bool reportWaiting_ = false;
  bool resumeAfterTake_ = false;  // the next watch hands the list over even if unchanged
  Report report_ = {nullptr, false};
  bool stop_ = false;
  std::atomic<uint32_t> wakeups_{0};
};
