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
  rearmWindowTimer();
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

void LTimer::rearmWindowTimer() {
  CEnv* env = CEnv::current();
  if (env == nullptr || env->window() == nullptr) return;
  SetTimer(env->window(), kWindowTimerId, static_cast<UINT>(nextTimerInterval()), nullptr);
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
