// LWaitGroup: a helper thread that waits on up to kCapacity signals' handles for the
// environment thread, once the environment thread's own wait (at most 63 handles) is full.
//
// The environment thread adds and removes members. When one of their handles is signalled
// the group sets its ready event (auto-reset, kept in the environment thread's wait) and
// then waits on nothing but its wake event until the environment thread resumes it. A
// report says only "look at my members" (a failed wait reports the same way): the
// environment thread finds the signalled ones by looking at the members' handles without
// waiting, which takes nothing from them (members are handles that stay signalled until
// reset, as LAsyncSignal requires), and resumes the group after serving them.
//
// A change of the members wakes the group before the change is complete, unless the group
// is already woken or waits for its resume: so the group never starts a wait on a handle
// removed earlier, whose owner may close it as soon as the environment lock is released
// (and whose value the system may then give to another object). A wait begun on an older
// list returns at once on the wake event, which is first in it.
//
// Threads and locks: add, remove and resume run under the environment lock; the members
// are read there without the group's lock. The group thread never takes the environment
// lock; it reads the handles under the group's own lock, never held while waiting.
// Destruction stops and joins the thread.
//
// Cost: one thread, two events and one critical section per group.
#pragma once

#include "support/Windows.h"

#include <atomic>
#include <cstdint>

class LAsyncSignal;
class LThread;

class LWaitGroup {
 public:
  // One slot of WaitForMultipleObjects goes to the group's own wake event.
  static constexpr uint32_t kCapacity = MAXIMUM_WAIT_OBJECTS - 1;

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

  // Auto-reset; set once per report.
  HANDLE readyEvent() const noexcept { return readyEvent_; }

  // Environment lock held. Members in the order they joined, and their handles.
  uint32_t count() const noexcept { return count_; }
  bool isFull() const noexcept { return count_ == kCapacity; }
  LAsyncSignal* member(uint32_t index) const noexcept { return members_[index]; }
  const HANDLE* handles() const noexcept { return handles_; }
  void add(LAsyncSignal* signal);
  void remove(LAsyncSignal* signal);
  // After a report was served: the group waits on its members again.
  void resume();

  // A report waits to be served (any thread; for tests).
  bool isReportWaiting();

  // Times the group's thread has come out of its wait, for whatever reason, and times the
  // wait failed (any thread).
  uint32_t wakeupCount() const noexcept { return wakeups_.load(); }
  uint32_t failedWaitCount() const noexcept { return failures_.load(); }

 private:
  static uint32_t threadEntry(void* self);
  uint32_t run();
  // Group lock held: makes the thread read its members again before it waits on them.
  void wake();

  CRITICAL_SECTION lock_;
  LThread* thread_ = nullptr;
  HANDLE wakeEvent_ = nullptr;   // auto-reset: read the members again, or stop
  HANDLE readyEvent_ = nullptr;  // auto-reset: look at my members
  // Written under both locks.
  LAsyncSignal* members_[kCapacity] = {};
  HANDLE handles_[kCapacity] = {};
  uint32_t count_ = 0;
  // Guarded by lock_.
  bool woken_ = false;     // wakeEvent_ is set and the thread has not read the members since
  bool reported_ = false;  // a report waits to be served; the thread waits for resume
  bool stop_ = false;
  std::atomic<uint32_t> wakeups_{0};
  std::atomic<uint32_t> failures_{0};
};
