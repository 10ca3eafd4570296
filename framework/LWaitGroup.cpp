#include "framework/LWaitGroup.h"

#include "framework/LThread.h"

#include <cstring>
#include <new>

LWaitGroup::LWaitGroup() noexcept { InitializeCriticalSection(&lock_); }

LWaitGroup::~LWaitGroup() {
  if (thread_ != nullptr) {
    EnterCriticalSection(&lock_);
    stop_ = true;
    LeaveCriticalSection(&lock_);
    SetEvent(wakeEvent_);
    thread_->join();
    delete thread_;
  }
  if (wakeEvent_ != nullptr) CloseHandle(wakeEvent_);
  if (readyEvent_ != nullptr) CloseHandle(readyEvent_);
  DeleteCriticalSection(&lock_);
}

bool LWaitGroup::start() {
  if (thread_ != nullptr) return false;
  wakeEvent_ = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  readyEvent_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (wakeEvent_ == nullptr || readyEvent_ == nullptr) return false;
  thread_ = new (std::nothrow) LThread(&threadEntry, this);
  if (thread_ == nullptr) return false;
  if (!thread_->start()) {
    delete thread_;
    thread_ = nullptr;
    return false;
  }
  return true;
}

void LWaitGroup::watch(const HANDLE* handles, uint32_t count) {
  if (count > kCapacity) count = kCapacity;
  EnterCriticalSection(&lock_);
  const bool changed =
      count != count_ || (count != 0 && std::memcmp(handles, handles_, count * sizeof(HANDLE)) != 0);
  if (!changed && !resumeAfterTake_) {
    // Still watching these; a report already made about them stays valid.
    LeaveCriticalSection(&lock_);
    return;
  }
  if (count != 0) std::memcpy(handles_, handles, count * sizeof(HANDLE));
  count_ = count;
  ++version_;
  resumeAfterTake_ = false;
  if (reportWaiting_) {
    // Made about another list: its handle may have left. One still signalled is reported
    // again by the new wait.
    reportWaiting_ = false;
    report_ = {nullptr, false};
    ResetEvent(readyEvent_);
  }
  LeaveCriticalSection(&lock_);
  SetEvent(wakeEvent_);
}

LWaitGroup::Report LWaitGroup::take() {
  EnterCriticalSection(&lock_);
  Report report = reportWaiting_ ? report_ : Report{nullptr, false};
  reportWaiting_ = false;
  report_ = {nullptr, false};
  ResetEvent(readyEvent_);
  // The thread watches nothing until it is handed a list again, which the environment
  // thread does when it rebuilds its wait after serving this report.
  resumeAfterTake_ = true;
  LeaveCriticalSection(&lock_);
  return report;
}

uint32_t LWaitGroup::threadEntry(void* self) { return static_cast<LWaitGroup*>(self)->run(); }

uint32_t LWaitGroup::run() {
  HANDLE waiting[1 + kCapacity];
  waiting[0] = wakeEvent_;
  for (;;) {
    EnterCriticalSection(&lock_);
    if (stop_) {
      LeaveCriticalSection(&lock_);
      return 0;
    }
    // After a report, nothing but the wake-up until the environment thread has looked.
    const uint32_t count = reportWaiting_ || resumeAfterTake_ ? 0 : count_;
    if (count != 0) std::memcpy(waiting + 1, handles_, count * sizeof(HANDLE));
    const uint32_t version = version_;
    LeaveCriticalSection(&lock_);

    const DWORD result = WaitForMultipleObjects(1 + count, waiting, FALSE, INFINITE);
    ++wakeups_;
    if (result == WAIT_OBJECT_0) continue;

    Report report = {nullptr, true};
    if (result > WAIT_OBJECT_0 && result <= WAIT_OBJECT_0 + count) {
      report = {waiting[result - WAIT_OBJECT_0], false};
    } else if (result > WAIT_ABANDONED_0 && result <= WAIT_ABANDONED_0 + count) {
      report = {waiting[result - WAIT_ABANDONED_0], false};
    }
    EnterCriticalSection(&lock_);
    // A report about a list that was replaced meanwhile is dropped: the new list is
    // waited on next, and a handle of it that is still signalled is reported from there.
    if (!stop_ && version == version_ && !reportWaiting_ && !resumeAfterTake_) {
      report_ = report;
      reportWaiting_ = true;
      SetEvent(readyEvent_);
    }
    LeaveCriticalSection(&lock_);
  }
}
