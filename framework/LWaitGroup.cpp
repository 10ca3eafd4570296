#include "framework/LWaitGroup.h"

#include "framework/LThread.h"

#include <cstring>
#include <new>

namespace {

std::atomic<LWaitGroup::BeforeWait> gBeforeWait{nullptr};

}  // namespace

LWaitGroup::BeforeWait LWaitGroup::setBeforeWait(BeforeWait hook) noexcept {
  return gBeforeWait.exchange(hook);
}

void LWaitGroup::runBeforeWait(const HANDLE* handles, uint32_t count) noexcept {
  if (BeforeWait hook = gBeforeWait.load()) hook(handles, count);
}

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

void LWaitGroup::watch(const HANDLE* handles, uint32_t count, uint32_t generation) {
  if (count > kCapacity) count = kCapacity;
  EnterCriticalSection(&lock_);
  if (generation == generation_ && !resumeAfterTake_) {
    // Still watching these armings; a report already made about them stays valid.
    LeaveCriticalSection(&lock_);
    return;
  }
  if (count != 0) std::memcpy(handles_, handles, count * sizeof(HANDLE));
  count_ = count;
  generation_ = generation;
  ++version_;
  resumeAfterTake_ = false;
  // With a report waiting the thread watches only its wake-up event, and take lets it
  // resume; the report itself stays, to be served if its handle is still armed.
  const bool wake = !reportWaiting_;
  LeaveCriticalSection(&lock_);
  if (wake) SetEvent(wakeEvent_);
}

LWaitGroup::Report LWaitGroup::take() {
  EnterCriticalSection(&lock_);
  Report report = reportWaiting_ ? report_ : Report{nullptr, false, 0};
  reportWaiting_ = false;
  report_ = {nullptr, false, 0};
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
    const uint32_t generation = generation_;
    LeaveCriticalSection(&lock_);

    if (count != 0) runBeforeWait(waiting + 1, count);
    const DWORD result = WaitForMultipleObjects(1 + count, waiting, FALSE, INFINITE);
    ++wakeups_;
    if (result == WAIT_OBJECT_0) continue;

    Report report = {nullptr, true, generation};
    if (result > WAIT_OBJECT_0 && result <= WAIT_OBJECT_0 + count) {
      report.signalled = waiting[result - WAIT_OBJECT_0];
    } else if (result > WAIT_ABANDONED_0 && result <= WAIT_ABANDONED_0 + count) {
      report.signalled = waiting[result - WAIT_ABANDONED_0];
    }
    report.waitFailed = report.signalled == nullptr;
    if (report.waitFailed) ++failures_;
    EnterCriticalSection(&lock_);
    // A signalled handle is reported whatever happened to the list meanwhile (the wait may
    // have taken its signal); a failure only about the list still current.
    const bool current = report.signalled != nullptr || version == version_;
    if (!stop_ && !reportWaiting_ && current) {
      report_ = report;
      reportWaiting_ = true;
      SetEvent(readyEvent_);
    }
    LeaveCriticalSection(&lock_);
  }
}
