// LDispatcher: the environment thread and the environment lock.
//
// The worker thread waits (MsgWaitForMultipleObjects) on its wake event and on the handles
// of the armed LAsyncSignals, in arming order, and on its own thread's message input. Each
// wait serves one thing: the wake event (reset; the wait set is rebuilt), the earliest-armed
// signalled handle (the signal leaves the wait set, then "LAsyncSignal_X" is delivered to
// its owner), or the thread's messages (pumped). The worker holds the lock from the end of
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
#include "support/Windows.h"

#include <atomic>
#include <cstdint>

class LThread;
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
  bool registerSignal(LAsyncSignal* signal) override;
  void unregisterSignal(LAsyncSignal* signal) override;
  void unregisterSignalLocked(LAsyncSignal* signal) override;

  // The worker's thread id, 0 until it has started.
  uint32_t workerThreadId() const noexcept { return workerThreadId_.load(); }
  bool isServiceRequested() const noexcept { return serviceRequested_.load(); }
  LWindowPoster* servicePoster() const noexcept { return servicePoster_; }

 private:
  static uint32_t workerEntry(void* self);
  static void serviceEntry(void* self);
  uint32_t workerLoop();
  void serviceMainThread();
  void dropUnwaitableSignals();

  CRITICAL_SECTION lock_;
  bool lockMade_ = false;
  std::atomic<bool> stopRequested_{false};
  std::atomic<bool> serviceRequested_{false};
  LWindowPoster* servicePoster_ = nullptr;
  std::atomic<uint32_t> workerThreadId_{0};
  HANDLE wakeEvent_ = nullptr;
  LThread* thread_ = nullptr;
};
