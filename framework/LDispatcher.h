// LDispatcher: the environment thread and the environment lock.
//
// The worker thread waits (MsgWaitForMultipleObjects) on its wake event, on the handles of
// the first armed LAsyncSignals in arming order, on the ready events of its helper wait
// threads and on its own thread's message input. Each wait serves one thing: the wake
// event (reset; the wait set is rebuilt), the earliest-armed signalled handle of its own
// (the signal leaves the wait set, then "LAsyncSignal_X" is delivered to its owner), a
// helper's report (every member of that helper found signalled is served the same way, in
// joining order), or the thread's messages (pumped). A note goes only to an arming that
// was waited on and is signalled: a signal disarmed and armed again after a wait saw it is
// waited on afresh.
//
// Signals beyond the worker's own wait join helpers (LWaitGroup, 63 handles each) with
// room and stay with them while armed; each served signal is re-armed at the tail, so the
// worker's own wait moves on through the arming order and nothing waits for ever. Helpers
// are started when first needed (or reserved ahead with reserveSignals) and kept until
// the environment ends. At most kMaxArmedSignals fit in all; reserveSignals refuses room
// beyond it (setSignalBound lowers it for tests).
//
// A failed wait makes the worker look at every armed handle alone without waiting: those
// that cannot be waited on are dropped without notes, the others stay. A wait that saw a
// handle disarmed and closed after the wait set was built fails too; the rebuild mends it.
//
// The main-thread service: set events queue in pendingEvents. While the environment's
// window timer ticks at its shortest interval, each tick takes them (their timers start
// with 0 ms and expire in the same tick) and the timer keeps ticking while events wait;
// otherwise requestService posts one message (1024) whose service starts their timers,
// which starts the tick. So under steady traffic the main thread gets one WM_TIMER per
// batch and no posted message that could crowd out the host's own. A post or window timer
// that Windows refused is owed: the worker posts the service again 10 ms later, and again
// while it keeps failing.
//
// Calls that a note handler on the worker queues with deferUnlocked (driver starts) run
// after the pass's notes with the lock released, then finish under it (LUnlockedCall).
//
// Wake-ups: unlockAndWake wakes the worker only when its wait must change (a signal armed
// or disarmed, a service owed) and never from the worker's own pass, which rebuilds its
// wait at its end anyway.
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
class LUnlockedCall;
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
  // Any thread, lock not needed: SetTimer refused the window timer. The service, which
  // sets it again, is posted 10 ms later.
  void requestServiceLater();
  // Window's thread, on the window timer's WM_TIMER, around the timer service: starts the
  // timers of the events set since the last service, so that they expire in this tick;
  // afterwards sets the window timer for what is left, ticking on while events wait.
  void takePendingEvents();
  void afterTimerService();
  void registerSignal(LAsyncSignal* signal) override;
  void unregisterSignal(LAsyncSignal* signal) override;
  void unregisterSignalLocked(LAsyncSignal* signal) override;
  bool reserveSignals(uint32_t count) override;
  void releaseSignals(uint32_t count) override;
  bool deferUnlocked(LUnlockedCall* call) override;
  void waitForUnlockedCalls() override;

  // Signals the worker waits on itself, beside its wake event and the helpers' ready events.
  static constexpr uint32_t kOwnWaitCapacity = MAXIMUM_WAIT_OBJECTS - 2;
  // Helpers whose ready events fill the worker's wait, and the signals they hold together.
  static constexpr uint32_t kMaxWaitGroups = kOwnWaitCapacity;
  static constexpr uint32_t kMaxArmedSignals = kMaxWaitGroups * (MAXIMUM_WAIT_OBJECTS - 1);
  // Helper wait threads needed for `armed` signals at once.
  static uint32_t waitGroupsFor(uint32_t armed) noexcept;
  // Lock held: signals that can be armed at once with the helper wait threads started so
  // far; helper wait threads started so far; signals reserved.
  uint32_t signalRoom() const noexcept;
  uint32_t waitGroupCount() const noexcept { return waitGroups_.count(); }
  uint32_t reservedSignals() const noexcept { return reserved_; }
  // Lowers the signals reserveSignals grants in all (never above kMaxArmedSignals), for
  // tests; returns the bound before.
  uint32_t setSignalBound(uint32_t bound) noexcept;
  // Failed waits, the worker's own and its helpers' (any thread; takes the lock).
  uint32_t failedWaitCount() noexcept;

  // Passes the worker has completed (each ends with the rebuild of its wait set when it
  // changed, under the lock): a pass counted after a change made under the lock waits on
  // the changed set.
  uint32_t passCount() const noexcept { return passes_.load(); }
  // Waits of the worker that have returned (counted before it takes the lock).
  uint32_t waitCount() const noexcept { return waits_.load(); }
  // Lock held: times the helper wait threads have come out of their waits, all together.
  uint32_t helperWakeups() noexcept;
  LWaitGroup* waitGroup(uint32_t index);
  // Lock held: which wait watches `signal`: 0 none yet, 1 the worker's own, 2 + i helper i.
  static constexpr uint32_t kWorkerWait = 1;
  static constexpr uint32_t kFirstHelper = 2;
  // The worker's thread id, 0 until it has started.
  uint32_t workerThreadId() const noexcept { return workerThreadId_.load(); }
  // Lock held: a service post or window timer was refused and is not yet made good.
  bool isServiceOwed() const noexcept { return serviceOwed_; }
  LWindowPoster* servicePoster() const noexcept { return servicePoster_; }

 private:
  static uint32_t workerEntry(void* self);
  static void serviceEntry(void* self);
  uint32_t workerLoop();
  void serviceMainThread();
  // Lock held: every pending event's timer starts with 0 ms.
  void startPendingTimers();
  // Lock held: the service is owed from now on (unless it was already).
  void oweService();
  // Lock held, worker. Posts an owed service once it is due; the time left until the next
  // try (kLongWait when nothing is owed).
  DWORD retryOwedService();
  // Lock held. Starts helper wait threads until there are `count`; false if one fails.
  bool ensureWaitGroups(uint32_t count);
  // Lock held. The signal's arming is watched by no wait any more.
  void unwatch(LAsyncSignal* signal);
  bool joinHelper(LAsyncSignal* signal, uint32_t groups);
  // Lock held, worker. Serves the arming of the worker's own wait on `handle`, or every
  // signalled member of helper `index`.
  void serveOwn(HANDLE handle);
  void serveHelper(uint32_t index);
  void deliverSignal(LAsyncSignal* signal);
  // Lock held once, worker, after the pass's notes: runs the queued unlocked calls (the
  // lock is left and taken again around them) until none is queued.
  void runUnlockedCalls();
  // Lock held, worker: after a failed wait. Drops every armed signal that cannot be waited on.
  void dropUnwaitableSignals();
  // Lock held, worker. Writes the wait array (wake event, own signals, helpers' ready
  // events) and hands the later signals to the helpers. False when not every armed signal
  // is watched (a helper could not be started).
  bool rebuildWaitArray(LArray& handles);

  CRITICAL_SECTION lock_;
  // Held by the worker while it runs unlocked calls; taken before lock_ is left, so that a
  // thread that saw lock_ free afterwards finds the calls still running here.
  CRITICAL_SECTION unlockedCallsLock_;
  // Queued unlocked calls, first and last (worker only).
  LUnlockedCall* firstUnlockedCall_ = nullptr;
  LUnlockedCall* lastUnlockedCall_ = nullptr;
  // Guarded by the lock: the worker's pass holds it (so whoever holds it is the worker).
  bool passHoldsLock_ = false;
  std::atomic<bool> stopRequested_{false};
  LWindowPoster* servicePoster_ = nullptr;
  std::atomic<uint32_t> workerThreadId_{0};
  std::atomic<uint32_t> passes_{0};
  std::atomic<uint32_t> waits_{0};
  HANDLE wakeEvent_ = nullptr;
  LThread* thread_ = nullptr;
  // Helper wait threads (LWaitGroup*), in the order their ready events sit in the wait.
  LArray waitGroups_;
  uint32_t reserved_ = 0;
  uint32_t signalBound_ = kMaxArmedSignals;
  std::atomic<uint32_t> failedWaits_{0};
  // Guarded by the lock: the worker must rebuild its wait before it waits again; the
  // window timer ticks and takes pendingEvents; a service is owed since owedSince_.
  bool waitChanged_ = false;
  bool ticking_ = false;
  bool serviceOwed_ = false;
  DWORD owedSince_ = 0;
  // The worker's own signals in its current wait array, after the wake event (worker only).
  uint32_t ownWaitCount_ = 0;
};
