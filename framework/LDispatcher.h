// LDispatcher: the environment thread and the environment lock.
//
// The worker thread waits (MsgWaitForMultipleObjects) on its wake event and on the handles
// of the armed LAsyncSignals, in arming order, and on its own thread's message input. Each
// wait serves one thing: the wake event (reset; the wait set is rebuilt), the earliest-armed
// signalled handle (the signal leaves the wait set, then "LAsyncSignal_X" is delivered to
// its owner), or the thread's messages (pumped).
//
// One wait takes at most 63 handles. With more signals armed than fit beside the wake
// event, the later-armed ones go to helper wait threads (LWaitGroup, 63 handles each) whose
// ready events sit in the worker's wait after its own signals; a helper only reports which
// handle it saw signalled, and the worker serves it in its own pass like one of its own.
// The first signals in arming order are always the worker's own, so earlier-armed signals
// still win. Helpers are started when first needed (or reserved ahead with reserveSignals)
// and kept until the environment ends.
//
// A wait that fails (a handle that cannot be waited on) drops the signals whose handles
// cannot be waited on, found without waiting on them; when none can be blamed (the wait
// saw a handle that was disarmed and closed after the wait set was built) nothing is
// dropped and the rebuilt wait set mends it. The worker holds the lock from the end of
// each wait to the end of that pass and never while it waits, so everything it runs is
// under the lock and may take it again.
//
// The main-thread service: set events queue in pendingEvents; requestService posts one
// message (1024) to the environment's window through the service poster; on that message,
// on the window's thread, every pending event's timer is started with 0 ms (under the
// lock), and the timers' WM_TIMER delivers the notes.
//
// Lifetime: constructed and started by CEnv on the window's thread; start() returns only
// when the worker has announced itself, or false when it could not be created or died
// first. shutdown() (also run by the destructor) stops and joins the worker and releases
// the service poster; CEnv then lets a service message still in flight arrive before it
// destroys the window. Lock order: any object lock before this one; never take another
// lock while holding it that a note handler on the main thread may hold.
#pragma once

#include "framework/LAsyncEnv.h"
#include "framework/LHandler.h"
#include "support/LArray.h"
#include "support/Windows.h"

#include <atomic>
#include <cstdint>

class LThread;
class LWaitGroup;
class LWindowPoster;

class LDispatcher final : public LAsyncEnv, public LHandler {
 public:
  // The message number of the main-thread service.
  static constexpr UINT kServiceMessage = WM_USER;

  LDispatcher() noexcept;
  ~LDispatcher() override;

  // Window's thread. Makes the lock, the wake event, the service poster bound to
  // `serviceWindow`, and the worker; waits until the worker runs. False on any failure
  // (the object is then only fit to be destroyed).
  bool start(HWND serviceWindow);
  // Window's thread. Stops and joins the worker, then releases the service poster (a
  // message in flight still has to arrive to free it). Safe to call twice.
  void shutdown();

  void lock() override;
  void unlock() override;
  void unlockAndWake() override;
  void requestService() override;
  void registerSignal(LAsyncSignal* signal) override;
  void unregisterSignal(LAsyncSignal* signal) override;
  void unregisterSignalLocked(LAsyncSignal* signal) override;
  bool reserveSignals(uint32_t count) override;
  void releaseSignals(uint32_t count) override;

  // Signals the worker waits on itself, beside its wake event and the helpers' ready events.
  static constexpr uint32_t kOwnWaitCapacity = MAXIMUM_WAIT_OBJECTS - 2;
  // Helper wait threads needed for `armed` signals at once.
  static uint32_t waitGroupsFor(uint32_t armed) noexcept;
  // Lock held: signals that can be armed at once with the helper wait threads started so
  // far; helper wait threads started so far; signals reserved.
  uint32_t signalRoom() const noexcept;
  uint32_t waitGroupCount() const noexcept { return waitGroups_.count(); }
  uint32_t reservedSignals() const noexcept { return reserved_; }

  // Passes the worker has completed (each ends with the rebuild of its wait set, under the
  // lock): a pass counted after a change made under the lock waits on the changed set.
  uint32_t passCount() const noexcept { return passes_.load(); }
  // Lock held: times the helper wait threads have come out of their waits, all together.
  uint32_t helperWakeups() noexcept;
  // The worker's thread id, 0 until it has started.
  uint32_t workerThreadId() const noexcept { return workerThreadId_.load(); }
  bool isServiceRequested() const noexcept { return serviceRequested_.load(); }
  LWindowPoster* servicePoster() const noexcept { return servicePoster_; }

 private:
  static uint32_t workerEntry(void* self);
  static void serviceEntry(void* self);
  uint32_t workerLoop();
  void serviceMainThread();
  // Lock held. Starts helper wait threads until there are `count`; false if one fails.
  bool ensureWaitGroups(uint32_t count);
  LWaitGroup* waitGroup(uint32_t index);
  // Lock held, worker. Delivers "LAsyncSignal_X" to the armed signal waiting on `handle`.
  void serveSignalled(HANDLE handle);
  void dropUnwaitableSignals();
  // Lock held, worker. Writes the wait array (wake event, own signals, helpers' ready
  // events) and hands the later signals to the helpers. False when not every armed signal
  // is watched (a helper could not be started).
  bool rebuildWaitArray(LArray& handles);

  CRITICAL_SECTION lock_;
  bool lockMade_ = false;
  std::atomic<bool> stopRequested_{false};
  std::atomic<bool> serviceRequested_{false};
  LWindowPoster* servicePoster_ = nullptr;
  std::atomic<uint32_t> workerThreadId_{0};
  std::atomic<uint32_t> passes_{0};
  HANDLE wakeEvent_ = nullptr;
  LThread* thread_ = nullptr;
  // Helper wait threads (LWaitGroup*), in the order their ready events sit in the wait.
  LArray waitGroups_;
  uint32_t reserved_ = 0;
  // The worker's own signals in its current wait array, after the wake event (worker only).
  uint32_t ownWaitCount_ = 0;
  // Failed waits in a row that no handle could be blamed for (worker only).
  uint32_t unblamedFailures_ = 0;
};
