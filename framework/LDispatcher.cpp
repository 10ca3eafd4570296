#include "framework/LDispatcher.h"

#include "framework/LAsyncEvent.h"
#include "framework/LAsyncSignal.h"
#include "framework/LThread.h"
#include "framework/LTimer.h"
#include "framework/LUnlockedCall.h"
#include "framework/LWaitGroup.h"
#include "framework/LWindowPoster.h"
#include "framework/NoteNames.h"
#include "support/LArray.h"
#include "support/Win32Text.h"

#include <new>

namespace {

constexpr DWORD kLongWait = 2147483647;
// A refused service post or window timer, or a helper that could not be started for every
// armed signal, is tried again this much later: at once it would most likely fail again.
constexpr DWORD kRetryWait = 10;
// The wake event, the worker's own signals and the helpers' ready events.
constexpr uint32_t kWaitArrayCapacity = MAXIMUM_WAIT_OBJECTS - 1;

LAsyncSignal* asSignal(LListNode* node) { return static_cast<LAsyncSignal*>(node); }

HANDLE handleAt(LArray& handles, uint32_t index) {
  return *static_cast<HANDLE*>(handles.element(index));
}

// The first of `count` handles that is signalled now, found without waiting; `count` when
// none is, WAIT_FAILED when one cannot be waited on. Takes nothing from handles that stay
// signalled until reset.
DWORD firstSignalled(const HANDLE* handles, uint32_t count) {
  if (count == 0) return 0;
  const DWORD result = WaitForMultipleObjects(count, handles, FALSE, 0);
  if (result < WAIT_OBJECT_0 + count) return result - WAIT_OBJECT_0;
  return result == WAIT_TIMEOUT ? count : WAIT_FAILED;
}

}  // namespace

LAsyncEnv::~LAsyncEnv() = default;

LDispatcher::LDispatcher() noexcept
    : LHandler(nullptr), waitGroups_(sizeof(LWaitGroup*), 0) {
  InitializeCriticalSection(&lock_);
  InitializeCriticalSection(&unlockedCallsLock_);
}

LDispatcher::~LDispatcher() {
  shutdown();
  if (wakeEvent_ != nullptr) CloseHandle(wakeEvent_);
  DeleteCriticalSection(&unlockedCallsLock_);
  DeleteCriticalSection(&lock_);
  // Whatever is still listed is unlinked, not destroyed.
  pendingEvents_.clear();
  waitList_.clear();
  armedCount_ = 0;
}

bool LDispatcher::start(HWND serviceWindow) {
  if (thread_ != nullptr || serviceWindow == nullptr) return false;
  wakeEvent_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (wakeEvent_ == nullptr) return false;
  servicePoster_ =
      new (std::nothrow) LWindowPoster(serviceWindow, kServiceMessage, this, &serviceEntry);
  if (servicePoster_ == nullptr) return false;
  thread_ = new (std::nothrow) LThread(&workerEntry, this);
  if (thread_ == nullptr || !thread_->start()) return false;
  // Wait until the worker announces itself, but not for a worker that ended before it
  // could: its handle is signalled then.
  while (workerThreadId_.load() == 0) {
    if (WaitForSingleObject(thread_->handle(), 1) != WAIT_TIMEOUT) return false;
  }
  return true;
}

void LDispatcher::shutdown() {
  if (thread_ != nullptr) {
    stopRequested_ = true;
    if (wakeEvent_ != nullptr) SetEvent(wakeEvent_);
    thread_->join();
    delete thread_;
    thread_ = nullptr;
  }
  if (servicePoster_ != nullptr) {
    servicePoster_->release();
    servicePoster_ = nullptr;
  }
  // The worker has stopped: nobody serves the helpers' reports any more. Their signals
  // forget them, so that a later disarm has no helper to tell.
  for (LListNode* node = waitList_.first(); !LList::isEnd(node); node = node->next)
    asSignal(node)->setWatcher(0);
  for (uint32_t i = 0; i < waitGroups_.count(); ++i) delete waitGroup(i);
  waitGroups_.remove(0, waitGroups_.count());
}

void LDispatcher::lock() { EnterCriticalSection(&lock_); }

void LDispatcher::unlock() { LeaveCriticalSection(&lock_); }

void LDispatcher::unlockAndWake() {
  // The worker's own pass rebuilds its wait at its end; from elsewhere the worker is woken
  // only when its wait must change.
  const bool wake = waitChanged_ && GetCurrentThreadId() != workerThreadId_.load();
  LeaveCriticalSection(&lock_);
  if (wake && wakeEvent_ != nullptr) SetEvent(wakeEvent_);
}

void LDispatcher::requestService() {
  // A ticking window timer takes the pending events itself (takePendingEvents).
  if (ticking_ || servicePoster_ == nullptr) return;
  // Nothing is in flight when the post fails (the window's queue is full): the events
  // already pending would wait for a set that may never come.
  if (!servicePoster_->post()) oweService();
}

void LDispatcher::requestServiceLater() {
  lock();
  oweService();
  unlockAndWake();
}

void LDispatcher::oweService() {
  if (serviceOwed_) return;
  serviceOwed_ = true;
  owedSince_ = GetTickCount();
  waitChanged_ = true;
}

DWORD LDispatcher::retryOwedService() {
  if (!serviceOwed_) return kLongWait;
  const DWORD waited = GetTickCount() - owedSince_;
  if (waited < kRetryWait) return kRetryWait - waited;
  serviceOwed_ = false;
  requestService();
  return serviceOwed_ ? kRetryWait : kLongWait;
}

void LDispatcher::registerSignal(LAsyncSignal* signal) {
  if (signal == nullptr) return;
  if (signal->isLinked()) {
    // Armed again, maybe on another handle: waited on afresh, in its place.
    unwatch(signal);
  } else {
    waitList_.pushBack(signal);
    ++armedCount_;
  }
  waitChanged_ = true;
}

void LDispatcher::unregisterSignal(LAsyncSignal* signal) {
  if (signal == nullptr || !waitList_.remove(signal)) return;
  --armedCount_;
  unwatch(signal);
  waitChanged_ = true;
}

void LDispatcher::unregisterSignalLocked(LAsyncSignal* signal) {
  if (signal == nullptr) return;
  lock();
  unregisterSignal(signal);
  unlockAndWake();
}

void LDispatcher::unwatch(LAsyncSignal* signal) {
  const uint32_t watcher = signal->watcher();
  signal->setWatcher(0);
  // The helper is woken before the lock is released, so it never waits on the handle again.
  if (watcher >= kFirstHelper) waitGroup(watcher - kFirstHelper)->remove(signal);
}

uint32_t LDispatcher::waitGroupsFor(uint32_t armed) noexcept {
  // With g helpers the worker keeps kOwnWaitCapacity - g signals itself (each helper's
  // ready event takes a slot) and the helpers LWaitGroup::kCapacity each.
  const uint32_t extraPerGroup = LWaitGroup::kCapacity - 1;
  if (armed <= kOwnWaitCapacity) return 0;
  const uint32_t groups = (armed - kOwnWaitCapacity + extraPerGroup - 1) / extraPerGroup;
  return groups < kMaxWaitGroups ? groups : kMaxWaitGroups;
}

uint32_t LDispatcher::signalRoom() const noexcept {
  return kOwnWaitCapacity + (LWaitGroup::kCapacity - 1) * waitGroups_.count();
}

uint32_t LDispatcher::setSignalBound(uint32_t bound) noexcept {
  lock();
  const uint32_t previous = signalBound_;
  signalBound_ = bound < kMaxArmedSignals ? bound : kMaxArmedSignals;
  unlock();
  return previous;
}

uint32_t LDispatcher::failedWaitCount() noexcept {
  lock();
  uint32_t total = failedWaits_.load();
  for (uint32_t i = 0; i < waitGroups_.count(); ++i) total += waitGroup(i)->failedWaitCount();
  unlock();
  return total;
}

uint32_t LDispatcher::helperWakeups() noexcept {
  uint32_t total = 0;
  for (uint32_t i = 0; i < waitGroups_.count(); ++i) total += waitGroup(i)->wakeupCount();
  return total;
}

LWaitGroup* LDispatcher::waitGroup(uint32_t index) {
  return *static_cast<LWaitGroup**>(waitGroups_.element(index));
}

bool LDispatcher::ensureWaitGroups(uint32_t count) {
  while (waitGroups_.count() < count) {
    auto* group = new (std::nothrow) LWaitGroup();
    if (group == nullptr) return false;
    if (!group->start() || !waitGroups_.append(&group)) {
      delete group;
      return false;
    }
  }
  return true;
}

bool LDispatcher::joinHelper(LAsyncSignal* signal, uint32_t groups) {
  for (uint32_t g = 0; g < groups; ++g) {
    LWaitGroup* group = waitGroup(g);
    if (group->isFull()) continue;
    signal->setWatcher(kFirstHelper + g);
    group->add(signal);
    return true;
  }
  return false;
}

bool LDispatcher::reserveSignals(uint32_t count) {
  lock();
  const uint32_t wanted = reserved_ + count;
  const uint32_t needed = wanted > armedCount_ ? wanted : armedCount_;
  // Beyond the bound no wait could hold them all: refused while the owner can still
  // refuse its work.
  const bool made =
      wanted >= reserved_ && wanted <= signalBound_ && ensureWaitGroups(waitGroupsFor(needed));
  if (made) reserved_ = wanted;
  unlock();
  return made;
}

void LDispatcher::releaseSignals(uint32_t count) {
  lock();
  reserved_ -= count < reserved_ ? count : reserved_;
  unlock();
}

bool LDispatcher::deferUnlocked(LUnlockedCall* call) {
  // The caller holds the lock: while a pass holds it too, the caller is the worker.
  if (call == nullptr || !passHoldsLock_) return false;
  call->nextQueued_ = nullptr;
  if (lastUnlockedCall_ != nullptr) {
    lastUnlockedCall_->nextQueued_ = call;
  } else {
    firstUnlockedCall_ = call;
  }
  lastUnlockedCall_ = call;
  return true;
}

void LDispatcher::waitForUnlockedCalls() {
  EnterCriticalSection(&unlockedCallsLock_);
  LeaveCriticalSection(&unlockedCallsLock_);
}

void LDispatcher::runUnlockedCalls() {
  while (firstUnlockedCall_ != nullptr) {
    // This round's calls; those their finishing queues run in the next round.
    LUnlockedCall* const round = firstUnlockedCall_;
    firstUnlockedCall_ = lastUnlockedCall_ = nullptr;
    EnterCriticalSection(&unlockedCallsLock_);
    passHoldsLock_ = false;
    unlock();
    for (LUnlockedCall* call = round; call != nullptr; call = call->nextQueued_)
      call->runUnlocked();
    LeaveCriticalSection(&unlockedCallsLock_);
    lock();
    passHoldsLock_ = true;
    for (LUnlockedCall* call = round; call != nullptr;) {
      // Read before finishing: the finish may queue the call again.
      LUnlockedCall* const next = call->nextQueued_;
      call->finishLocked();
      call = next;
    }
  }
}

uint32_t LDispatcher::workerEntry(void* self) {
  return static_cast<LDispatcher*>(self)->workerLoop();
}

void LDispatcher::serviceEntry(void* self) { static_cast<LDispatcher*>(self)->serviceMainThread(); }

void LDispatcher::startPendingTimers() {
  while (LListNode* node = pendingEvents_.popFront()) static_cast<LAsyncEvent*>(node)->startTimer();
}

void LDispatcher::serviceMainThread() {
  lock();
  startPendingTimers();
  // A window timer that SetTimer refused is set now (a start above did it already).
  LTimer::mendWindowTimer();
  ticking_ = LTimer::isTicking();
  unlock();
}

void LDispatcher::takePendingEvents() {
  lock();
  startPendingTimers();
  unlock();
}

void LDispatcher::afterTimerService() {
  lock();
  // Events set during the notes wait for the next tick, which must come.
  const bool eventsWait = !pendingEvents_.isEmpty();
  LTimer::rearmWindowTimer(eventsWait);
  ticking_ = eventsWait && LTimer::isTicking();
  // Without the tick (SetTimer refused: the service is owed by now) they need the service.
  if (eventsWait && !ticking_) requestService();
  unlock();
}

bool LDispatcher::rebuildWaitArray(LArray& handles) {
  // Every helper started stays in the wait, also when fewer would do now.
  bool complete = ensureWaitGroups(waitGroupsFor(armedCount_));
  const uint32_t groups = waitGroups_.count();
  const uint32_t ownCapacity = kOwnWaitCapacity - groups;

  // The earliest-armed signals are the worker's own; they leave their helpers. The later
  // ones keep the helper they have, or join one with room.
  // Element 0 stays the wake event; the array never holds more than kWaitArrayCapacity,
  // the capacity it was made with, so writing never allocates.
  handles.remove(1, handles.count() - 1);
  LListNode* node = waitList_.first();
  for (uint32_t i = 0; i < ownCapacity && !LList::isEnd(node); ++i, node = node->next) {
    LAsyncSignal* signal = asSignal(node);
    if (signal->watcher() != kWorkerWait) {
      unwatch(signal);
      signal->setWatcher(kWorkerWait);
    }
    HANDLE handle = signal->handle();
    handles.append(&handle);
  }
  ownWaitCount_ = handles.count() - 1;
  for (; !LList::isEnd(node); node = node->next) {
    LAsyncSignal* signal = asSignal(node);
    if (signal->watcher() >= kFirstHelper) continue;
    signal->setWatcher(0);
    if (!joinHelper(signal, groups)) complete = false;
  }
  for (uint32_t g = 0; g < groups; ++g) {
    HANDLE ready = waitGroup(g)->readyEvent();
    handles.append(&ready);
  }
  waitChanged_ = false;
  return complete;
}

uint32_t LDispatcher::workerLoop() {
  LArray handles(sizeof(HANDLE), kWaitArrayCapacity);
  // Without its wake event the worker could never be stopped: end before announcing, so
  // that start() fails.
  if (handles.capacity() < kWaitArrayCapacity || !handles.append(&wakeEvent_)) return 1;
  workerThreadId_ = GetCurrentThreadId();
  MSG message;
  // Gives the thread a message queue before it first waits.
  w32::peekMessage(&message, nullptr, 0, 0, PM_NOREMOVE);

  DWORD timeout = 0;
  bool watchesAll = true;
  while (!stopRequested_.load()) {
    const DWORD count = handles.count();
    HANDLE* waited = static_cast<HANDLE*>(handles.data());
    LWaitGroup::runBeforeWait(waited + 1, ownWaitCount_);
    const DWORD result = MsgWaitForMultipleObjects(count, waited, FALSE, timeout, QS_ALLINPUT);
    ++waits_;
    // Reset before the lock, so that the lock is not held through the call; a wake that
    // comes in between leaves the event set for the next wait.
    if (result == WAIT_OBJECT_0) ResetEvent(wakeEvent_);
    lock();
    passHoldsLock_ = true;
    const DWORD groupsFrom = WAIT_OBJECT_0 + 1 + ownWaitCount_;
    if (result == WAIT_OBJECT_0) {
      // The wait is rebuilt below.
      waitChanged_ = true;
    } else if (result > WAIT_OBJECT_0 && result < groupsFrom) {
      serveOwn(handleAt(handles, result - WAIT_OBJECT_0));
    } else if (result >= groupsFrom && result < WAIT_OBJECT_0 + count) {
      serveHelper(result - groupsFrom);
    } else if (result == WAIT_OBJECT_0 + count) {
      while (w32::peekMessage(&message, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&message);
        w32::dispatchMessage(&message);
      }
    } else if (result == WAIT_FAILED) {
      ++failedWaits_;
      dropUnwaitableSignals();
    }
    runUnlockedCalls();
    if (waitChanged_ || !watchesAll) watchesAll = rebuildWaitArray(handles);
    // Helpers that could not be started are tried again soon.
    const DWORD serviceDue = retryOwedService();
    timeout = watchesAll || serviceDue < kRetryWait ? serviceDue : kRetryWait;
    ++passes_;
    passHoldsLock_ = false;
    unlock();
  }
  return 0;
}

void LDispatcher::serveOwn(HANDLE handle) {
  for (LListNode* node = waitList_.first(); !LList::isEnd(node); node = node->next) {
    LAsyncSignal* signal = asSignal(node);
    // Only the arming the wait was on: one disarmed and armed again since is waited on
    // afresh by the next wait.
    if (signal->handle() != handle || signal->watcher() != kWorkerWait) continue;
    deliverSignal(signal);
    return;
  }
  // Disarmed after the wait set was built: nothing to tell.
}

void LDispatcher::serveHelper(uint32_t index) {
  LWaitGroup* group = waitGroup(index);
  for (;;) {
    const DWORD first = firstSignalled(group->handles(), group->count());
    if (first == WAIT_FAILED) {
      dropUnwaitableSignals();
      break;
    }
    if (first == group->count()) break;
    // Leaves the group (and so the next search) before its note.
    deliverSignal(group->member(first));
  }
  group->resume();
}

void LDispatcher::dropUnwaitableSignals() {
  // A handle that cannot be waited on (closed while armed, or opened without SYNCHRONIZE)
  // fails every wait it is in: each armed handle is looked at alone, and those that fail
  // leave without notes, so the others keep being served. Looking takes nothing from the
  // handles that stay (they stay signalled until reset). None may fail: the wait then saw
  // a handle disarmed and closed after the wait set was built, which the rebuild mends.
  LListNode* node = waitList_.first();
  while (!LList::isEnd(node)) {
    LAsyncSignal* signal = asSignal(node);
    node = node->next;
    HANDLE handle = signal->handle();
    if (firstSignalled(&handle, 1) == WAIT_FAILED) unregisterSignal(signal);
  }
  waitChanged_ = true;
}

void LDispatcher::deliverSignal(LAsyncSignal* signal) {
  // Unarmed before the note: the owner may arm it again at once.
  unregisterSignal(signal);
  deliver(LNote(LAsyncSignal_X, signal, signal->owner()));
}
