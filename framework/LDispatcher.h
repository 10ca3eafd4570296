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
// Helpers are started when first needed (or reserved ahead with reserveSignals) and kept
// until the environment ends, each with its ready event in the worker's wait.
//
// Which wait watches what: the first signals in arming order are the worker's own. A
// signal beyond them joins a helper with room (one that wakes in this pass anyway if there
// is one) and stays with it for as long as it stays armed there, so a helper is woken only
// when its own armings change, not whenever a signal elsewhere is served and re-armed.
// The order that remains: of the signals signalled when the worker looks, those in its
// own wait (the earliest armed) are served first, earliest armed first; a helper's are
// served after them, helpers in the order they were started, and within a helper the one
// that joined it first. Each served signal is re-armed at the tail, so the worker's own
// wait moves on through the arming order and no signal waits behind the others for ever.
//
// A bound: at most kMaxArmedSignals signals fit into the worker's wait and the helpers'
// together. reserveSignals refuses room beyond it (setSignalBound lowers it for tests);
// signals armed beyond it without room are watched as room allows, retried every few
// milliseconds.
//
// A wait that fails (a handle that cannot be waited on) drops the signals whose handles
// cannot be waited on, found without waiting on them; when none can be blamed (the wait
// saw a handle that was disarmed and closed after the wait set was built) nothing is
// dropped and the rebuilt wait set mends it. When waits keep failing with nobody to blame
// (the access of a handle cannot be read, or its object cannot be waited on whatever its
// access), every handle is waited on alone for no time: one that fails is dropped, one
// found signalled is delivered, so the probe loses no signal. The worker holds the lock
// from the end of each wait to the end of that pass and never while it waits, so
// everything it runs is under the lock and may take it again.
//
// The main-thread service: set events queue in pendingEvents; requestService posts one
// message (1024) to the environment's window through the service poster; on that message,
// on the window's thread, every pending event's timer is started with 0 ms (under the
// lock), and the timers' WM_TIMER delivers the notes. A post that fails (the window's
// queue is full) is owed: the worker posts again at the end of each pass, every 10 ms while
// it keeps failing, so the service resumes once the queue has room; the service drains
// pendingEvents, so nothing is delivered twice. A window timer that SetTimer refused asks
// for the service the same way, 10 ms later (requestTimerRetry), and the service sets it
// again.
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
  // Any thread, lock not needed: SetTimer refused the window timer. The worker posts the
  // main-thread service (which sets it again) after one short wait, and keeps trying while
  // the post fails.
  void requestTimerRetry();
  void registerSignal(LAsyncSignal* signal) override;
  void unregisterSignal(LAsyncSignal* signal) override;
  void unregisterSignalLocked(LAsyncSignal* signal) override;
  bool reserveSignals(uint32_t count) override;
  void releaseSignals(uint32_t count) override;

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

  // Passes the worker has completed (each ends with the rebuild of its wait set, under the
  // lock): a pass counted after a change made under the lock waits on the changed set.
  uint32_t passCount() const noexcept { return passes_.load(); }
  // Lock held: times the helper wait threads have come out of their waits, all together.
  uint32_t helperWakeups() noexcept;
  LWaitGroup* waitGroup(uint32_t index);
  // The worker's thread id, 0 until it has started.
  uint32_t workerThreadId() const noexcept { return workerThreadId_.load(); }
  bool isServiceRequested() const noexcept { return serviceRequested_.load(); }
  // A service post failed and has not gone through since.
  bool isServiceOwed() const noexcept { return serviceOwed_.load(); }
  LWindowPoster* servicePoster() const noexcept { return servicePoster_; }

 private:
  static uint32_t workerEntry(void* self);
  static void serviceEntry(void* self);
  uint32_t workerLoop();
  void serviceMainThread();
  // Lock held, worker. Posts an owed service; true while it is still owed (the post failed).
  bool retryOwedService();
  // Lock held. Starts helper wait threads until there are `count`; false if one fails.
  bool ensureWaitGroups(uint32_t count);
  struct HelperWait;
  HelperWait* helperWait(uint32_t index);
  // Lock held. A signal leaves the helper it is with (if any); joins one of the first
  // `groups` helpers with room (false when none has any).
  void leaveHelper(LAsyncSignal* signal);
  bool joinHelper(LAsyncSignal* signal, uint32_t groups);
  // Lock held, worker. Delivers "LAsyncSignal_X" to the armed signal waiting on `handle`
  // unless it was served after generation `seenIn` (the list the handle was seen in).
  void serveSignalled(HANDLE handle, uint32_t seenIn);
  void deliverSignal(LAsyncSignal* signal);
  // Lock held, worker: after a failed wait. Drops the signals to blame, or probes.
  void handleFailedWait();
  bool dropUnwaitableSignals();
  void probeEveryHandle();
  void deliverProbed();
  // Lock held, worker. Writes the wait array (wake event, own signals, helpers' ready
  // events) and hands the later signals to the helpers. False when not every armed signal
  // is watched (a helper could not be started).
  bool rebuildWaitArray(LArray& handles);

  CRITICAL_SECTION lock_;
  bool lockMade_ = false;
  std::atomic<bool> stopRequested_{false};
  std::atomic<bool> serviceRequested_{false};
  std::atomic<bool> serviceOwed_{false};
  std::atomic<bool> timerOwed_{false};
  // A refused window timer's service is posted at the end of the next pass (worker only).
  bool timerRetryDue_ = false;
  LWindowPoster* servicePoster_ = nullptr;
  std::atomic<uint32_t> workerThreadId_{0};
  std::atomic<uint32_t> passes_{0};
  HANDLE wakeEvent_ = nullptr;
  LThread* thread_ = nullptr;
  // Helper wait threads (HelperWait*), in the order their ready events sit in the wait.
  LArray waitGroups_;
  uint32_t reserved_ = 0;
  uint32_t signalBound_ = kMaxArmedSignals;
  // Bumped for every note delivered and for every list a helper is handed after its
  // armings changed: a helper's report is compared with what was served since its list.
  uint32_t generation_ = 0;
  // Signals a probe found signalled, unarmed, waiting for their notes in this pass.
  LList probed_;
  std::atomic<uint32_t> failedWaits_{0};
  // The worker's own signals in its current wait array, after the wake event (worker only).
  uint32_t ownWaitCount_ = 0;
  // Failed waits in a row that no handle could be blamed for (worker only).
  uint32_t unblamedFailures_ = 0;
};
