#include "framework/LThread.h"

#include <process.h>

namespace {

LThread::BeginThread gBeginThread = &LThread::realBeginThread;

}  // namespace

uintptr_t LThread::realBeginThread(void* security, unsigned stackSize,
                                   unsigned(__stdcall* start)(void*), void* argument,
                                   unsigned flags, unsigned* threadId) {
  return _beginthreadex(security, stackSize, start, argument, flags, threadId);
}

LThread::BeginThread LThread::setBeginThread(BeginThread beginThread) {
  BeginThread previous = gBeginThread;
  gBeginThread = beginThread != nullptr ? beginThread : &LThread::realBeginThread;
  return previous;
}

LThread::LThread(Entry entry, void* argument) noexcept : argument_(argument), entry_(entry) {}

LThread::~LThread() { join(); }

bool LThread::start() {
  if (handle_ != nullptr) return false;
  unsigned id = 0;
  uintptr_t made = gBeginThread(nullptr, 0, &LThread::threadEntry, this, CREATE_SUSPENDED, &id);
  if (made == 0) return false;
  handle_ = reinterpret_cast<HANDLE>(made);
  id_ = id;
  running_ = true;
  SetThreadPriority(handle_, THREAD_PRIORITY_NORMAL);
  ResumeThread(handle_);
  return true;
}

void LThread::join() {
  HANDLE handle = handle_;
  if (handle == nullptr) return;
  handle_ = nullptr;
  WaitForSingleObject(handle, INFINITE);
  CloseHandle(handle);
  // A thread that died without leaving through threadEntry never cleared the flag.
  running_ = false;
}

unsigned __stdcall LThread::threadEntry(void* self) {
  LThread* thread = static_cast<LThread*>(self);
  uint32_t code = thread->entry_(thread->argument_);
  thread->exitCode_ = code;
  thread->running_ = false;
  _endthreadex(code);
  return code;
}
