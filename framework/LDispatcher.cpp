#include "framework/LDispatcher.h"

#include "framework/LAsyncEvent.h"
#include "framework/LAsyncSignal.h"
#include "framework/LThread.h"
#include "framework/LTimer.h"
#include "framework/LWaitGroup.h"
#include "framework/LWindowPoster.h"
#include "framework/NoteNames.h"
#include "framework/WaitableHandle.h"
#include "support/LArray.h"
#include "support/Win32Text.h"

#include <new>

namespace {

constexpr DWORD kLongWait = 2147483647;
// When a helper wait thread could not be started for every armed signal, look again soon
// rather than leave the ones left out unwatched until the next wake.
constexpr DWORD kRetryWait = 10;
// The wake event, the worker's own signals and the helpers' ready events.
constexpr uint32_t kWaitArrayCapacity = MAXIMUM_WAIT_OBJECTS - 1;

// Unblamed failed waits in a row after which every armed handle is probed on its own.
constexpr uint32_t kProbeAfterUnblamedFailures = 3;

LAsyncSignal* asSignal(LListNode* node) { return static_cast<LAsyncSignal*>(node); }

HANDLE handleAt(LArray& handles, uint32_t index) {
  return *static_cast<HANDLE*>(handles.element(index));
}

}  // namespace

// A helper wait thread and the signals it watches, in the order they joined it. Worker
// side (lock held); each member's waitGroupIndex() is this helper's index + 1.
struct LDispatcher::HelperWait {
  LWaitGroup group;
  LAsyncSignal* members[LWaitGroup::kCapacity] = {};
  uint32_t count = 0;
  // The generation of the list the group was last handed; `changed` once its armings
  // changed after that.
  uint32_t generation = 0;
  bool changed = true;
};

LAsyncEnv::~LAsyncEnv() = default;

LDispatcher::LDispatcher() noexcept
    : LHandler(nullptr), waitGroups_(sizeof(LWaitGroup*), 0) {
  InitializeCriticalSection(&lock_);
}

LDispatcher::~LDispatcher() {
  shutdown();
  if (wakeEvent_ != nullptr) CloseHandle(wakeEvent_);
  DeleteCriticalSection(&lock_);
  // Whatever is still listed is unlinked, not destroyed.
  pendingEvents_.clear();
  waitList_.clear();
  probed_.clear();
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
  // The worker has stopped: nobody reads the helpers' reports any more. Their signals
  // forget them, so that a later disarm has no helper to tell.
  for (uint32_t i = 0; i < waitGroups_.count(); ++i) {
    HelperWait* helper = helperWait(i);
    for (uint32_t m = 0; m < helper->count; ++m) helper->members[m]->setWaitGroupIndex(0);
    delete helper;
  }
  waitGroups_.remove(0, waitGroups_.count());
}

void LDispatcher::lock() { EnterCriticalSection(&lock_); }

void LDispatcher::unlock() { LeaveCriticalSection(&lock_); }

void LDispatcher::unlockAndWake() {
  LeaveCriticalSection(&lock_);
  if (wakeEvent_ != nullptr) SetEvent(wakeEvent_);
}

void LDispatcher::requestService() {
  if (serviceRequested_.load()) return;
  serviceRequested_ = true;
  if (servicePoster_ != nullptr && servicePoster_->post()) return;
  // Nothing is in flight (the window's queue is full): the events already pending would
  // wait for a set that may never come, so the worker posts again until it goes through.
  serviceRequested_ = false;
  serviceOwed_ = true;
}

void LDispatcher::requestTimerRetry() {
  timerOwed_ = true;
  if (wakeEvent_ != nullptr) SetEvent(wakeEvent_);
}

bool LDispatcher::retryOwedService() {
  // A refused window timer is asked for again one short wait later: at once it would most
  // likely be refused again, and the two threads would chase each other.
  if (timerRetryDue_) {
    timerRetryDue_ = false;
    serviceOwed_ = true;
  }
  if (timerOwed_.exchange(false)) timerRetryDue_ = true;
  if (serviceOwed_.exchange(false)) requestService();
  return serviceOwed_.load() || timerRetryDue_;
}

void LDispatcher::registerSignal(LAsyncSignal* signal) {
  if (signal == nullptr) return;
  if (signal->isLinked()) {
    // Armed again, maybe on a new handle with an old value: its helper waits afresh.
    if (signal->waitGroupIndex() != 0) helperWait(signal->waitGroupIndex() - 1)->changed = true;
    return;
  }
  waitList_.pushBack(signal);
  ++armedCount_;
}

void LDispatcher::unregisterSignal(LAsyncSignal* signal) {
  if (signal == nullptr) return;
  if (waitList_.remove(signal)) {
    --armedCount_;
    leaveHelper(signal);
  } else {
    // Found signalled by a probe and waiting for its note: it gets none now.
    probed_.remove(signal);
  }
}

void LDispatcher::unregisterSignalLocked(LAsyncSignal* signal) {
  if (signal == nullptr) return;
  lock();
  unregisterSignal(signal);
  unlockAndWake();
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

LDispatcher::HelperWait* LDispatcher::helperWait(uint32_t index) {
  return *static_cast<HelperWait**>(waitGroups_.element(index));
}

LWaitGroup* LDispatcher::waitGroup(uint32_t index) { return &helperWait(index)->group; }

bool LDispatcher::ensureWaitGroups(uint32_t count) {
  while (waitGroups_.count() < count) {
    auto* helper = new (std::nothrow) HelperWait();
    if (helper == nullptr) return false;
    if (!helper->group.start() || !waitGroups_.append(&helper)) {
      delete helper;
      return false;
    }
  }
  return true;
}

void LDispatcher::leaveHelper(LAsyncSignal* signal) {
  const uint32_t index = signal->waitGroupIndex();
  if (index == 0) return;
  signal->setWaitGroupIndex(0);
  HelperWait* helper = helperWait(index - 1);
  for (uint32_t m = 0; m < helper->count; ++m) {
    if (helper->members[m] != signal) continue;
    for (uint32_t k = m + 1; k < helper->count; ++k) helper->members[k - 1] = helper->members[k];
    --helper->count;
    helper->changed = true;
    return;
  }
}

bool LDispatcher::joinHelper(LAsyncSignal* signal, uint32_t groups) {
  // A helper that wakes in this pass anyway is preferred to one that would not.
  uint32_t chosen = groups;
  for (uint32_t g = 0; g < groups; ++g) {
    const HelperWait* helper = helperWait(g);
    if (helper->count == LWaitGroup::kCapacity) continue;
    if (chosen == groups) chosen = g;
    if (helper->changed) {
      chosen = g;
      break;
    }
  }
  if (chosen == groups) return false;
  HelperWait* helper = helperWait(chosen);
  helper->members[helper->count++] = signal;
  helper->changed = true;
  signal->setWaitGroupIndex(chosen + 1);
  return true;
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

uint32_t LDispatcher::workerEntry(void* self) {
  return static_cast<LDispatcher*>(self)->workerLoop();
}

void LDispatcher::serviceEntry(void* self) { static_cast<LDispatcher*>(self)->serviceMainThread(); }

void LDispatcher::serviceMainThread() {
  serviceRequested_ = false;
  lock();
  while (LListNode* node = pendingEvents_.popFront()) static_cast<LAsyncEvent*>(node)->startTimer();
  // A window timer that SetTimer refused is set now (a start above did it already).
  LTimer::mendWindowTimer();
  unlockAndWake();
}

bool LDispatcher::rebuildWaitArray(LArray& handles) {
  // Every helper started stays in the wait, also when fewer would do now: one that was
  // handed a shorter list may still report what its wait on the old one took.
  bool complete = ensureWaitGroups(waitGroupsFor(armedCount_));
  const uint32_t groups = waitGroups_.count();
  const uint32_t ownCapacity = kOwnWaitCapacity - groups;

  // The earliest-armed signals are the worker's own; they leave their helpers. Everyone
  // else stays with the helper it has.
  // Element 0 stays the wake event; the array never holds more than kWaitArrayCapacity,
  // the capacity it was made with, so writing never allocates.
  handles.remove(1, handles.count() - 1);
  LListNode* node = waitList_.first();
  for (uint32_t i = 0; i < ownCapacity && !LList::isEnd(node); ++i, node = node->next) {
    LAsyncSignal* signal = asSignal(node);
    leaveHelper(signal);
    HANDLE handle = signal->handle();
    handles.append(&handle);
  }
  ownWaitCount_ = handles.count() - 1;
  // The newly armed join a helper with room, in arming order.
  for (; !LList::isEnd(node); node = node->next) {
    LAsyncSignal* signal = asSignal(node);
    if (signal->waitGroupIndex() == 0 && !joinHelper(signal, groups)) complete = false;
  }

  // Only a helper whose armings changed gets a new list (and wakes).
  HANDLE batch[LWaitGroup::kCapacity];
  for (uint32_t g = 0; g < groups; ++g) {
    HelperWait* helper = helperWait(g);
    if (helper->changed) {
      helper->changed = false;
      helper->generation = ++generation_;
    }
    for (uint32_t m = 0; m < helper->count; ++m) batch[m] = helper->members[m]->handle();
    helper->group.watch(batch, helper->count, helper->generation);
  }
  for (uint32_t g = 0; g < groups; ++g) {
    HANDLE ready = waitGroup(g)->readyEvent();
    handles.append(&ready);
  }
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
  while (!stopRequested_.load()) {
    // A wait that keeps failing with nobody to blame must not spin at full speed.
    if (unblamedFailures_ > 1) Sleep(1);
    const DWORD count = handles.count();
    HANDLE* waited = static_cast<HANDLE*>(handles.data());
    LWaitGroup::runBeforeWait(waited + 1, ownWaitCount_);
    const DWORD result = MsgWaitForMultipleObjects(count, waited, FALSE, timeout, QS_ALLINPUT);
    lock();
    bool waitFailed = false;
    const DWORD groupsFrom = WAIT_OBJECT_0 + 1 + ownWaitCount_;
    if (result == WAIT_OBJECT_0) {
      ResetEvent(wakeEvent_);
    } else if (result > WAIT_OBJECT_0 && result < groupsFrom) {
      serveSignalled(handleAt(handles, result - WAIT_OBJECT_0), generation_);
    } else if (result >= groupsFrom && result < WAIT_OBJECT_0 + count) {
      const LWaitGroup::Report report = waitGroup(result - groupsFrom)->take();
      if (report.waitFailed) {
        waitFailed = true;
        handleFailedWait();
      } else if (report.signalled != nullptr) {
        serveSignalled(report.signalled, report.generation);
      }
    } else if (result == WAIT_OBJECT_0 + count) {
      while (w32::peekMessage(&message, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&message);
        w32::dispatchMessage(&message);
      }
    } else if (result == WAIT_FAILED) {
      ++failedWaits_;
      waitFailed = true;
      handleFailedWait();
    }
    if (!waitFailed) unblamedFailures_ = 0;
    deliverProbed();
    const bool watchesAll = rebuildWaitArray(handles);
    // A service post that failed is tried again, soon again while it keeps failing.
    const bool serviceOwed = retryOwedService();
    timeout = watchesAll && !serviceOwed ? kLongWait : kRetryWait;
    ++passes_;
    unlock();
  }
  return 0;
}

void LDispatcher::serveSignalled(HANDLE handle, uint32_t seenIn) {
  for (LListNode* node = waitList_.first(); !LList::isEnd(node); node = node->next) {
    LAsyncSignal* signal = asSignal(node);
    // Served after the list the handle was seen in was handed over: the report is about
    // what that note answered (a helper's report while the worker's own wait saw it too).
    if (signal->handle() != handle || int32_t(signal->deliveredAt() - seenIn) > 0) continue;
    // Unarmed before the note: the owner may arm it again at once.
    unregisterSignal(signal);
    deliverSignal(signal);
    return;
  }
  // No signal has that handle any more: it was disarmed after the wait set was built (or
  // served from another wait meanwhile).
}

void LDispatcher::handleFailedWait() {
  if (dropUnwaitableSignals()) {
    unblamedFailures_ = 0;
  } else if (++unblamedFailures_ >= kProbeAfterUnblamedFailures) {
    unblamedFailures_ = 0;
    probeEveryHandle();
  }
}

bool LDispatcher::dropUnwaitableSignals() {
  // A handle that cannot be waited on (closed while armed, or opened without SYNCHRONIZE)
  // fails every wait it is in: take out those, found without waiting on them, so the others
  // keep being served. When none is to blame the wait may have seen a handle that was
  // disarmed and closed after the wait set was built; the rebuild that follows mends that,
  // so nothing is dropped.
  bool blamed = false;
  LListNode* node = waitList_.first();
  while (!LList::isEnd(node)) {
    LAsyncSignal* signal = asSignal(node);
    node = node->next;
    if (!canWaitOn(signal->handle())) {
      unregisterSignal(signal);
      blamed = true;
    }
  }
  return blamed;
}

void LDispatcher::probeEveryHandle() {
  // The waits keep failing and no handle could be blamed without waiting on it (the access
  // could not be read, or the object cannot be waited on whatever its access): each handle
  // is waited on alone for no time. One that fails is dropped; one found signalled may have
  // had its signal taken by the probe, so it is put aside for its note.
  LListNode* node = waitList_.first();
  while (!LList::isEnd(node)) {
    LAsyncSignal* signal = asSignal(node);
    node = node->next;
    const DWORD result = WaitForSingleObject(signal->handle(), 0);
    if (result == WAIT_TIMEOUT) continue;
    unregisterSignal(signal);
    if (result == WAIT_OBJECT_0 || result == WAIT_ABANDONED) probed_.pushBack(signal);
  }
}

void LDispatcher::deliverProbed() {
  // One at a time off the list: a note may disarm (or destroy) a signal still waiting here.
  while (LListNode* node = probed_.popFront()) deliverSignal(asSignal(node));
}

void LDispatcher::deliverSignal(LAsyncSignal* signal) {
  signal->setDeliveredAt(++generation_);
  deliver(LNote(LAsyncSignal_X, signal, signal->owner()));
}
