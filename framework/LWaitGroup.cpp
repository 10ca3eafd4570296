#include "framework/LWaitGroup.h"

#include "framework/LAsyncSignal.h"
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
  readyEvent_ = CreateEventW(nullptr, FALSE, FALSE, nullptr);
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

void LWaitGroup::wake() {
  // Waiting for its resume, the thread waits on no member; woken already, it reads the
  // members before its next wait anyway.
  if (reported_ || woken_) return;
  woken_ = true;
  SetEvent(wakeEvent_);
}

void LWaitGroup::add(LAsyncSignal* signal) {
  if (isFull()) return;
  EnterCriticalSection(&lock_);
  members_[count_] = signal;
  handles_[count_] = signal->handle();
  ++count_;
  wake();
  LeaveCriticalSection(&lock_);
}

void LWaitGroup::remove(LAsyncSignal* signal) {
  EnterCriticalSection(&lock_);
  for (uint32_t m = 0; m < count_; ++m) {
    if (members_[m] != signal) continue;
    --count_;
    std::memmove(members_ + m, members_ + m + 1, (count_ - m) * sizeof members_[0]);
    std::memmove(handles_ + m, handles_ + m + 1, (count_ - m) * sizeof handles_[0]);
    wake();
    break;
  }
  LeaveCriticalSection(&lock_);
}

void LWaitGroup::resume() {
  EnterCriticalSection(&lock_);
  reported_ = false;
  wake();
  LeaveCriticalSection(&lock_);
}

bool LWaitGroup::isReportWaiting() {
  EnterCriticalSection(&lock_);
  const bool waiting = reported_;
  LeaveCriticalSection(&lock_);
  return waiting;
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
    woken_ = false;
    const uint32_t count = reported_ ? 0 : count_;
    if (count != 0) std::memcpy(waiting + 1, handles_, count * sizeof(HANDLE));
    LeaveCriticalSection(&lock_);

    if (count != 0) runBeforeWait(waiting + 1, count);
    const DWORD result = WaitForMultipleObjects(1 + count, waiting, FALSE, INFINITE);
    ++wakeups_;
    if (result == WAIT_OBJECT_0) continue;
    if (result == WAIT_FAILED) ++failures_;
    // A member is signalled, or one could not be waited on: either way the environment
    // thread looks at the members as they are now.
    EnterCriticalSection(&lock_);
    if (!stop_) {
      reported_ = true;
      SetEvent(readyEvent_);
    }
    LeaveCriticalSection(&lock_);
  }
}
