#include "framework/LDispatcher.h"

#include "framework/LAsyncEvent.h"
#include "framework/LAsyncSignal.h"
#include "framework/LThread.h"
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

LAsyncSignal* asSignal(LListNode* node) { return static_cast<LAsyncSignal*>(node); }

HANDLE handleAt(LArray& handles, uint32_t index) {
  return *static_cast<HANDLE*>(handles.element(index));
}

}  // namespace

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
  // The worker has stopped: nobody reads the helpers' reports any more.
  for (uint32_t i = 0; i < waitGroups_.count(); ++i) delete waitGroup(i);
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
  // A failed post leaves nothing in flight; the next set tries again.
  if (servicePoster_ == nullptr || !servicePoster_->post()) serviceRequested_ = false;
}

void LDispatcher::registerSignal(LAsyncSignal* signal) {
  if (signal == nullptr || signal->isLinked()) return;
  waitList_.pushBack(signal);
  ++armedCount_;
}

void LDispatcher::unregisterSignal(LAsyncSignal* signal) {
  if (signal != nullptr && waitList_.remove(signal)) --armedCount_;
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
  return (armed - kOwnWaitCapacity + extraPerGroup - 1) / extraPerGroup;
}

uint32_t LDispatcher::signalRoom() const noexcept {
  return kOwnWaitCapacity + (LWaitGroup::kCapacity - 1) * waitGroups_.count();
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

bool LDispatcher::reserveSignals(uint32_t count) {
  lock();
  reserved_ += count;
  const uint32_t needed = reserved_ > armedCount_ ? reserved_ : armedCount_;
  const bool made = ensureWaitGroups(waitGroupsFor(needed));
  if (!made) reserved_ -= count;
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
  unlockAndWake();
}

bool LDispatcher::rebuildWaitArray(LArray& handles) {
  uint32_t groups = waitGroupsFor(armedCount_);
  bool complete = true;
  if (!ensureWaitGroups(groups)) {
    groups = waitGroups_.count();
    complete = false;
  }
  const uint32_t ownCapacity = kOwnWaitCapacity - groups;

  // Element 0 stays the wake event; the array never holds more than kWaitArrayCapacity,
  // the capacity it was made with, so writing never allocates.
  handles.remove(1, handles.count() - 1);
  LListNode* node = waitList_.first();
  for (uint32_t i = 0; i < ownCapacity && !LList::isEnd(node); ++i, node = node->next) {
    HANDLE handle = asSignal(node)->handle();
    handles.append(&handle);
  }
  ownWaitCount_ = handles.count() - 1;

  HANDLE batch[LWaitGroup::kCapacity];
  for (uint32_t g = 0; g < waitGroups_.count(); ++g) {
    uint32_t n = 0;
    for (; g < groups && n < LWaitGroup::kCapacity && !LList::isEnd(node); node = node->next)
      batch[n++] = asSignal(node)->handle();
    waitGroup(g)->watch(batch, n);
  }
  for (uint32_t g = 0; g < groups; ++g) {
    HANDLE ready = waitGroup(g)->readyEvent();
    handles.append(&ready);
  }
  return complete && LList::isEnd(node);
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
    const DWORD result = MsgWaitForMultipleObjects(
        count, static_cast<HANDLE*>(handles.data()), FALSE, timeout, QS_ALLINPUT);
    lock();
    bool waitFailed = false;
    const DWORD groupsFrom = WAIT_OBJECT_0 + 1 + ownWaitCount_;
    if (result == WAIT_OBJECT_0) {
      ResetEvent(wakeEvent_);
    } else if (result > WAIT_OBJECT_0 && result < groupsFrom) {
      serveSignalled(handleAt(handles, result - WAIT_OBJECT_0));
    } else if (result >= groupsFrom && result < WAIT_OBJECT_0 + count) {
      const LWaitGroup::Report report = waitGroup(result - groupsFrom)->take();
      if (report.waitFailed) {
        waitFailed = true;
        dropUnwaitableSignals();
      } else if (report.signalled != nullptr) {
        serveSignalled(report.signalled);
      }
    } else if (result == WAIT_OBJECT_0 + count) {
      while (w32::peekMessage(&message, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&message);
        w32::dispatchMessage(&message);
      }
    } else if (result == WAIT_FAILED) {
      waitFailed = true;
      dropUnwaitableSignals();
    }
    if (!waitFailed) unblamedFailures_ = 0;
    timeout = rebuildWaitArray(handles) ? kLongWait : kRetryWait;
    ++passes_;
    unlock();
  }
  return 0;
}

void LDispatcher::serveSignalled(HANDLE handle) {
  for (LListNode* node = waitList_.first(); !LList::isEnd(node); node = node->next) {
    LAsyncSignal* signal = asSignal(node);
    if (signal->handle() != handle) continue;
    // Unarmed before the note: the owner may arm it again at once.
    unregisterSignal(signal);
    deliver(LNote(LAsyncSignal_X, signal, signal->owner()));
    return;
  }
  // No signal has that handle any more: it was disarmed after the wait set was built.
}

void LDispatcher::dropUnwaitableSignals() {
  // A handle that cannot be waited on (closed while armed, or opened without SYNCHRONIZE)
  // fails every wait it is in: take out those, found without waiting on them, so the others
  // keep being served. When none is to blame the wait saw a handle that was disarmed and
  // closed after the wait set was built; the rebuild that follows mends that, so nothing is
  // dropped.
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
  unblamedFailures_ = blamed ? 0 : unblamedFailures_ + 1;
}
