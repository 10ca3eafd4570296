#include "framework/LDispatcher.h"

#include "framework/LAsyncEvent.h"
#include "framework/LAsyncSignal.h"
#include "framework/LThread.h"
#include "framework/LWindowPoster.h"
#include "framework/NoteNames.h"
#include "support/LArray.h"
#include "support/Win32Text.h"

#include <new>

namespace {

constexpr DWORD kLongWait = 2147483647;
// When the wait array could not grow to hold every armed signal, look again soon rather
// than leave the ones left out unwatched until the next wake.
constexpr DWORD kRetryWait = 10;

LAsyncSignal* asSignal(LListNode* node) { return static_cast<LAsyncSignal*>(node); }

HANDLE handleAt(LArray& handles, uint32_t index) {
  return *static_cast<HANDLE*>(handles.element(index));
}

}  // namespace

LAsyncEnv::~LAsyncEnv() = default;

LDispatcher::LDispatcher() noexcept : LHandler(nullptr) {
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

bool LDispatcher::registerSignal(LAsyncSignal* signal) {
  if (signal == nullptr) return false;
  if (signal->isLinked()) return true;
  if (armedCount_ >= kMaxArmedSignals) return false;
  waitList_.pushBack(signal);
  ++armedCount_;
  return true;
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

namespace {

// Writes the handles of the armed signals after the wake event, in arming order, and
// trims the array to them. False when the array could not grow to hold them all.
bool rebuildWaitArray(LArray& handles, LList& waitList) {
  uint32_t written = 1;
  bool complete = true;
  for (LListNode* node = waitList.first(); !LList::isEnd(node); node = node->next) {
    HANDLE handle = asSignal(node)->handle();
    if (written < handles.count()) {
      *static_cast<HANDLE*>(handles.element(written)) = handle;
    } else if (!handles.append(&handle)) {
      complete = false;
      break;
    }
    ++written;
  }
  if (handles.count() > written) handles.remove(written, handles.count() - written);
  return complete;
}

}  // namespace

uint32_t LDispatcher::workerLoop() {
  LArray handles(sizeof(HANDLE), 10);
  // Without its wake event the worker could never be stopped: end before announcing, so
  // that start() fails.
  if (!handles.append(&wakeEvent_)) return 1;
  workerThreadId_ = GetCurrentThreadId();
  MSG message;
  // Gives the thread a message queue before it first waits.
  w32::peekMessage(&message, nullptr, 0, 0, PM_NOREMOVE);

  DWORD timeout = 0;
  while (!stopRequested_.load()) {
    const DWORD count = handles.count();
    const DWORD result = MsgWaitForMultipleObjects(
        count, static_cast<HANDLE*>(handles.data()), FALSE, timeout, QS_ALLINPUT);
    lock();
    if (result == WAIT_OBJECT_0) {
      ResetEvent(wakeEvent_);
    } else if (result > WAIT_OBJECT_0 && result < WAIT_OBJECT_0 + count) {
      HANDLE signalled = handleAt(handles, result - WAIT_OBJECT_0);
      for (LListNode* node = waitList_.first(); !LList::isEnd(node); node = node->next) {
        LAsyncSignal* signal = asSignal(node);
        if (signal->handle() != signalled) continue;
        // Unarmed before the note: the owner may arm it again at once.
        unregisterSignal(signal);
        deliver(LNote(LAsyncSignal_X, signal, signal->owner()));
        break;
      }
      // No signal has that handle any more: it was disarmed after the array was built.
    } else if (result == WAIT_OBJECT_0 + count) {
      while (w32::peekMessage(&message, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&message);
        w32::dispatchMessage(&message);
      }
    } else if (result == WAIT_FAILED) {
      dropUnwaitableSignals();
    }
    timeout = rebuildWaitArray(handles, waitList_) ? kLongWait : kRetryWait;
    unlock();
  }
  return 0;
}

void LDispatcher::dropUnwaitableSignals() {
  // A handle that cannot be waited on (closed while armed) fails the whole wait. Take out
  // those that fail on their own so the others keep being served; if none can be blamed,
  // drop them all rather than fail every following wait at full speed.
  bool found = false;
  LListNode* node = waitList_.first();
  while (!LList::isEnd(node)) {
    LAsyncSignal* signal = asSignal(node);
    node = node->next;
    if (WaitForSingleObject(signal->handle(), 0) == WAIT_FAILED) {
      unregisterSignal(signal);
      found = true;
    }
  }
  if (found) return;
  while (waitList_.popFront() != nullptr) {
  }
  armedCount_ = 0;
}
