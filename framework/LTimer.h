// LTimer: a one-shot millisecond timer. When its delay has passed it delivers
// "LTimer_Expire" (sender = this timer, target = owner) on the thread that owns the
// current CEnv window, from that window's WM_TIMER.
//
// All armed timers of the process sit in one list ordered by remaining time (due - now,
// as a signed 32-bit difference, so the order and expiry stay right across the wrap of
// the 32-bit millisecond clock for delays below 2^31 ms); timers due at the same time keep
// the order in which they were started. One Win32 window timer (id 1 on the CEnv window)
// stands for the earliest of them.
//
// Threads: everything here, the list included, belongs to the window's thread; nothing
// locks. A timer is armed exactly while it is in the list. Starting a timer needs a CEnv
// for the window timer to fire; without one the timer is armed but only serviceTimers
// called by hand expires it.
//
// The clock is timeGetTime; tests may replace it (setClock) to reach the wrap at will.
#pragma once

#include "framework/LHandler.h"
#include "support/LList.h"

#include <cstdint>

class LTimer : public LHandler, public LListNode {
 public:
  using Clock = uint32_t (*)();
  // The window timer interval when no timer is armed.
  static constexpr int32_t kIdleInterval = 2147483647;
  static constexpr uintptr_t kWindowTimerId = 1;
  // The shortest interval the window timer keeps (USER_TIMER_MINIMUM): SetTimer raises
  // anything shorter to it.
  static constexpr int32_t kWindowTimerMinimum = 10;

  explicit LTimer(LHandler* owner) noexcept;
  ~LTimer() override;  // stop()

  // Arms (or moves) the timer to expire `delayMs` from now. The window timer is set again
  // only when it would then fire earlier than it fires now (or is not set).
  void start(int32_t delayMs);
  // Disarms; the window timer is left as it is (it finds nothing due and sets itself again).
  void stop() noexcept;

  bool isArmed() const noexcept { return isLinked(); }
  // Meaningful while armed: the clock value at which the timer expires.
  int32_t due() const noexcept { return due_; }

  // Expires every armed timer that is due now, earliest first. Each delivery may start or
  // stop timers (the list is re-read after each one); a timer started for a time at or
  // before this pass's "now" expires in this pass.
  static void serviceTimers();
  // After each WM_TIMER: sets the window timer (current CEnv window, id 1) for the earliest
  // armed timer, or to tick at its shortest period when `keepTicking`; a window timer that
  // already ticks at that period is left as it is. Nothing without a CEnv.
  static void rearmWindowTimer(bool keepTicking = false);
  // Sets the window timer if the last SetTimer failed; nothing otherwise. A SetTimer that
  // fails while timers are armed has the environment's worker post the main-thread
  // service 10 ms later, which calls this, so that armed timers fire once SetTimer
  // succeeds even when nothing else starts a timer.
  static void mendWindowTimer();
  // The window timer is set on the current CEnv window and ticks at its shortest period.
  static bool isTicking();
  // The window the window timer was set on is going away: the next start sets it anew.
  static void forgetWindowTimer() noexcept;
  // kIdleInterval when nothing is armed; else the first timer's remaining time, at least 0.
  static int32_t nextTimerInterval();

  // Number of armed timers (walks the list).
  static uint32_t armedCount();

  // The clock in use, and the seam to replace it (null restores timeGetTime). Returns the
  // previous clock. Window thread only; change it only while no timer is armed.
  static uint32_t now();
  static Clock setClock(Clock clock);

 private:
  // Sets the window timer to `interval`; unless `always`, only when that makes it fire
  // earlier than it is set to.
  static void setWindowTimer(int32_t interval, bool always);

  int32_t due_ = 0;
};
