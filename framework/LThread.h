// LThread: one worker thread running an entry function with one argument. Created
// suspended at normal priority and then resumed, so `id` and `handle` are stored before
// the thread runs. The object owns the thread handle; join waits for the thread and
// closes it. Destroying a started, unjoined LThread joins it.
//
// Threads: start, join and the destructor are called by the thread that owns the object;
// `running` and `exitCode` are written by the worker and are meaningful after join.
//
// Test seam: the thread-creation call (the C runtime's _beginthreadex) can be replaced to
// simulate a thread that cannot be created or one that dies at once.
#pragma once

#include "support/Windows.h"

#include <atomic>
#include <cstdint>

class LThread {
 public:
  using Entry = uint32_t (*)(void* argument);
  using BeginThread = uintptr_t (*)(void* security, unsigned stackSize,
                                    unsigned(__stdcall* start)(void*), void* argument,
                                    unsigned flags, unsigned* threadId);

  LThread(Entry entry, void* argument) noexcept;
  ~LThread();
  LThread(const LThread&) = delete;
  LThread& operator=(const LThread&) = delete;

  // Creates and resumes the thread; false when it could not be created.
  bool start();
  // Waits for the thread to end and closes its handle; nothing when not started.
  void join();

  HANDLE handle() const noexcept { return handle_; }  // null when not started or joined
  uint32_t id() const noexcept { return id_; }
  bool isRunning() const noexcept { return running_.load(); }
  uint32_t exitCode() const noexcept { return exitCode_; }

  // Replaces the creation call for every LThread started afterwards; null restores the
  // real one. Returns the previous one.
  static BeginThread setBeginThread(BeginThread beginThread);
  // The real creation call, for a replacement that wants to wrap it.
  static uintptr_t realBeginThread(void* security, unsigned stackSize,
                                   unsigned(__stdcall* start)(void*), void* argument,
                                   unsigned flags, unsigned* threadId);

 private:
  static unsigned __stdcall threadEntry(void* self);

  HANDLE handle_ = nullptr;
  uint32_t id_ = 0;
  std::atomic<bool> running_{false};
  uint32_t exitCode_ = 0;
  void* argument_;
  Entry entry_;
};
