#include "framework/LTimer.h"

#include "framework/CEnv.h"
#include "framework/NoteNames.h"
#include "support/Windows.h"

#include <mmsystem.h>

namespace {

// Every armed timer of the process, earliest first. Window thread only.
LList gArmed;

uint32_t systemClock() { return timeGetTime(); }

LTimer::Clock gClock = &systemClock;

// The window timer as last set: the window it was set on (null: not set, or unknown), the
// clock value at which it fires next and its period (a window timer fires again and again);
// and whether the last SetTimer failed.
HWND gWindowTimerWindow = nullptr;
uint32_t gWindowTimerFiresAt = 0;
int32_t gWindowTimerPeriod = 0;
bool gWindowTimerRefused = false;

// Time left until `due`, as a signed difference: right across the wrap of the clock.
int32_t remaining(int32_t due, uint32_t now) {
  return static_cast<int32_t>(static_cast<uint32_t>(due) - now);
}

LTimer* asTimer(LListNode* node) { return static_cast<LTimer*>(node); }

}  // namespace

uint32_t LTimer::now() { return gClock(); }

LTimer::Clock LTimer::setClock(Clock clock) {
  Clock previous = gClock;
  gClock = clock != nullptr ? clock : &systemClock;
  // The window timer's firing time was read on the old clock.
  gWindowTimerWindow = nullptr;
  return previous;
}

LTimer::LTimer(LHandler* owner) noexcept : LHandler(owner) {}

LTimer::~LTimer() { stop(); }

void LTimer::start(int32_t delayMs) {
  stop();
  due_ = static_cast<int32_t>(now() + static_cast<uint32_t>(delayMs));
  const uint32_t at = now();
  const int32_t mine = remaining(due_, at);
  // Behind every timer due at the same time or earlier.
  LListNode* after = nullptr;
  for (LListNode* node = gArmed.first(); !LList::isEnd(node); node = node->next) {
    if (remaining(asTimer(node)->due_, at) > mine) break;
    after = node;
  }
  gArmed.insertAfter(this, after);
  setWindowTimer(nextTimerInterval(), false);
}

void LTimer::stop() noexcept {
  if (isLinked()) gArmed.remove(this);
}

void LTimer::serviceTimers() {
  const uint32_t at = now();
  for (;;) {
    LListNode* first = gArmed.first();
    if (LList::isEnd(first)) return;
    LTimer* timer = asTimer(first);
    if (remaining(timer->due_, at) > 0) return;
    // Off the list before the note: the owner may start it again, or destroy it.
    gArmed.popFront();
    deliver(LNote(LTimer_Expire, timer, timer->owner()));
  }
}

void LTimer::rearmWindowTimer(bool keepTicking) {
  CEnv* env = CEnv::current();
  if (env == nullptr || env->window() == nullptr) return;
  const int32_t interval = keepTicking ? 0 : nextTimerInterval();
  // A window timer that ticks at the shortest period fires again one period after this
  // WM_TIMER by itself; setting it again would cost a call and change nothing.
  if (interval <= kWindowTimerMinimum && isTicking()) {
    gWindowTimerFiresAt = now() + kWindowTimerMinimum;
    return;
  }
  setWindowTimer(interval, true);
}

void LTimer::mendWindowTimer() {
  if (gWindowTimerRefused) setWindowTimer(nextTimerInterval(), true);
}

bool LTimer::isTicking() {
  CEnv* env = CEnv::current();
  return env != nullptr && gWindowTimerWindow == env->window() && gWindowTimerWindow != nullptr &&
         gWindowTimerPeriod <= kWindowTimerMinimum;
}

void LTimer::forgetWindowTimer() noexcept {
  gWindowTimerWindow = nullptr;
  gWindowTimerRefused = false;
}

void LTimer::setWindowTimer(int32_t interval, bool always) {
  CEnv* env = CEnv::current();
  if (env == nullptr || env->window() == nullptr) return;
  const uint32_t at = now();
  // SetTimer counts any shorter interval as the minimum, from the call.
  const int32_t firesIn = interval < kWindowTimerMinimum ? kWindowTimerMinimum : interval;
  // Setting the window timer again restarts its countdown: a timer already due would then
  // wait for every timer started after it. So it is moved only to fire earlier.
  if (!always && gWindowTimerWindow == env->window() &&
      remaining(static_cast<int32_t>(gWindowTimerFiresAt), at) <= firesIn)
    return;
  if (SetTimer(env->window(), kWindowTimerId, static_cast<UINT>(interval), nullptr) != 0) {
    gWindowTimerWindow = env->window();
    gWindowTimerFiresAt = at + static_cast<uint32_t>(firesIn);
    gWindowTimerPeriod = firesIn;
    gWindowTimerRefused = false;
  } else {
    // The next start tries again. With timers armed the service tries meanwhile, 10 ms
    // later; with none there is nothing to fire, and a window timer still ticking tries
    // again at its next WM_TIMER.
    gWindowTimerWindow = nullptr;
    gWindowTimerRefused = true;
    if (interval != kIdleInterval) env->dispatcher()->requestServiceLater();
  }
}

int32_t LTimer::nextTimerInterval() {
  LListNode* first = gArmed.first();
  if (LList::isEnd(first)) return kIdleInterval;
  int32_t left = remaining(asTimer(first)->due_, now());
  return left < 0 ? 0 : left;
}

uint32_t LTimer::armedCount() {
  uint32_t count = 0;
  for (LListNode* node = gArmed.first(); !LList::isEnd(node); node = node->next) ++count;
  return count;
}
