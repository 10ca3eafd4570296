// LAsyncSignal: has the environment thread tell the owner when a Win32 waitable handle is
// signalled. Once armed, the environment thread waits for the handle; when it is signalled
// the thread takes the signal out of the wait set and delivers "LAsyncSignal_X"
// (sender = this signal, target = owner) on the environment thread with the environment
// lock held. One note per arming: the owner arms again to hear about the next completion.
//
// Threads and locks: arm and disarm are called with the environment lock held (any
// thread); end the locked region with unlockAndWake so the thread notices. A signal armed
// and disarmed under one hold of the lock is never waited on.
//
// Ownership: the handle is not owned; whoever owns it keeps it open while the signal is
// armed. Destroying the signal takes the lock itself and withdraws the signal from the wait
// set, so no note reaches it afterwards; this is allowed on any thread, also inside a note
// on the environment thread (the lock is recursive).
#pragma once

#include "framework/LHandler.h"
#include "support/LList.h"
#include "support/Windows.h"

#include <cstdint>

class LAsyncEnv;

class LAsyncSignal : public LHandler, public LListNode {
 public:
  LAsyncSignal(LHandler* owner, LAsyncEnv* env) noexcept;
  ~LAsyncSignal() override;

  // Lock held. Waits for `handle` from the thread's next pass. Arming an armed signal
  // only changes its handle.
  void arm(HANDLE handle);
  // Lock held. Takes the signal out of the wait set; nothing happens when it is unarmed.
  void disarm();

  // Lock held (or on the environment thread).
  bool isArmed() const noexcept { return isLinked(); }
  HANDLE handle() const noexcept { return handle_; }
  LAsyncEnv* env() const noexcept { return env_; }

  // Kept by the environment, lock held: which helper wait watches the signal (index + 1;
  // 0 for none), and the environment's generation count when its latest note was
  // delivered.
  uint32_t waitGroupIndex() const noexcept { return waitGroupIndex_; }
  void setWaitGroupIndex(uint32_t index) noexcept { waitGroupIndex_ = index; }
  uint32_t deliveredAt() const noexcept { return deliveredAt_; }
  void setDeliveredAt(uint32_t generation) noexcept { deliveredAt_ = generation; }

 private:
  LAsyncEnv* const env_;
  HANDLE handle_ = nullptr;
  uint32_t waitGroupIndex_ = 0;
  uint32_t deliveredAt_ = 0;
};
