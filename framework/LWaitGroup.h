// LWaitGroup: a helper thread that waits on up to kCapacity handles for the environment
// thread, once the environment's own wait (at most 63 handles) is full.
//
// The environment thread hands the group the handles to watch (watch) and keeps the group's
// ready event in its own wait. When one of the handles is signalled, the group notes the
// lowest such handle, sets its ready event and then watches nothing until the environment
// thread has taken the report (take) and handed it a list again. So the group never reports
// twice before the environment thread has looked, and it never delivers anything itself:
// notes are still delivered on the environment thread, under the environment lock, one per
// pass.
//
// No report of a signalled handle is thrown away, not even when the list was replaced
// while the group waited or while the report waited: for an auto-reset event or a
// semaphore the group's wait took the signal, so nobody would see it again. The report
// names the generation of the list it was made on; the environment thread serves it if an
// armed signal has that handle and has not been served since that list was handed over,
// and ignores it otherwise. A wait that fails (a handle in the list cannot be waited on) is reported as a
// failure, for the environment thread to find the culprit; only a failure of a list that
// was replaced meanwhile is dropped, since the new list is waited on next.
//
// Each list comes with a generation that the environment thread changes whenever the
// armings behind the list changed, even when the handle values came out equal (a handle
// closed and a new event created may get the old value back): a new generation is always
// waited on afresh, an unchanged one never wakes the thread.
//
// Threads and locks: watch and take run on the environment thread under the environment
// lock; the destructor on the thread that destroys the environment, after the environment
// thread has stopped. The group thread never takes the environment lock; the two share
// only the fields below, under the group's own lock, which is never held while waiting.
// Destruction stops and joins the thread.
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
    uint32_t generation;  // of the list the wait was on
  };

  // Runs on the waiting thread right before each wait on a list of handles (the
  // environment thread's and every group's), with that list; for tests.
  using BeforeWait = void (*)(const HANDLE* handles, uint32_t count);
  static BeforeWait setBeforeWait(BeforeWait hook) noexcept;
  static void runBeforeWait(const HANDLE* handles, uint32_t count) noexcept;

  LWaitGroup() noexcept;
  ~LWaitGroup();
  LWaitGroup(const LWaitGroup&) = delete;
  LWaitGroup& operator=(const LWaitGroup&) = delete;

  // Makes the events and starts the thread; false on any failure (destroy it then).
  bool start();

  // Manual-reset; set while a report waits to be taken.
  HANDLE readyEvent() const noexcept { return readyEvent_; }

  // Watch exactly these handles (at most kCapacity; none is allowed) as the list of
  // `generation`. A list of the generation already watched is not handed over again. While
  // a report waits to be taken the list is kept for later: the group resumes with the
  // newest list after take.
  void watch(const HANDLE* handles, uint32_t count, uint32_t generation);
  // After the ready event was seen: takes the report and clears the ready event.
  Report take();

  // Times the group's thread has come out of its wait, for whatever reason, and times the
  // wait failed (any thread).
  uint32_t wakeupCount() const noexcept { return wakeups_.load(); }
  uint32_t failedWaitCount() const noexcept { return failures_.load(); }

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
  uint32_t generation_ = 0;  // of the list in handles_
  uint32_t version_ = 0;     // bumped for every list handed over
  bool reportWaiting_ = false;
  bool resumeAfterTake_ = false;  // the next watch hands the list over even if unchanged
  Report report_ = {nullptr, false, 0};
  bool stop_ = false;
  std::atomic<uint32_t> wakeups_{0};
  std::atomic<uint32_t> failures_{0};
};
