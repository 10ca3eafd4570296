#include "framework/CEnv.h"
#include "framework/LAsyncEvent.h"
#include "framework/LAsyncSignal.h"
#include "framework/LDispatcher.h"
#include "framework/LTimer.h"
#include "framework/LWindowPoster.h"

#include "FrameworkTesting.h"
#include "tests/common/ImportPatch.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mmsystem.h>
#include <new>

using testing_support::FakeClock;
using testing_support::Recorder;

namespace {

// Timers on a clock the test moves; no environment, so serviceTimers runs by hand.
class TimerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    FakeClock::now = 1000;
    previous_ = LTimer::setClock(&FakeClock::read);
  }
  void TearDown() override {
    EXPECT_EQ(LTimer::armedCount(), 0u);
    LTimer::setClock(previous_);
  }
  void advanceAndService(uint32_t ms) {
    FakeClock::now += ms;
    LTimer::serviceTimers();
  }

  Recorder owner;
  LTimer::Clock previous_ = nullptr;
};

TEST_F(TimerTest, DelayZeroTimersExpireInStartOrderInOnePass) {
  LTimer a(&owner), b(&owner), c(&owner);
  a.start(0);
  b.start(0);
  c.start(0);
  // [A, B, C]
  LTimer::serviceTimers();
  EXPECT_EQ(owner.senders(LTimer_Expire), (std::vector<LHandler*>{&a, &b, &c}));
  EXPECT_FALSE(a.isArmed() || b.isArmed() || c.isArmed());
}

TEST_F(TimerTest, ShorterDelayStartedLaterExpiresFirst) {
  LTimer slow(&owner), fast(&owner);
  slow.start(200);
  fast.start(100);
  EXPECT_EQ(LTimer::nextTimerInterval(), 100);
  advanceAndService(99);
  EXPECT_EQ(owner.count(LTimer_Expire), 0u);
  advanceAndService(1);
  EXPECT_EQ(owner.senders(LTimer_Expire), (std::vector<LHandler*>{&fast}));
  advanceAndService(100);
  EXPECT_EQ(owner.senders(LTimer_Expire), (std::vector<LHandler*>{&fast, &slow}));
}

TEST_F(TimerTest, RestartMovesTheTimerAndItExpiresOnce) {
  LTimer moved(&owner), other(&owner);
  moved.start(100);
  other.start(200);
  moved.start(300);
  EXPECT_EQ(LTimer::armedCount(), 2u);
  advanceAndService(250);
  EXPECT_EQ(owner.senders(LTimer_Expire), (std::vector<LHandler*>{&other}));
  advanceAndService(50);
  advanceAndService(50);
  EXPECT_EQ(owner.senders(LTimer_Expire), (std::vector<LHandler*>{&other, &moved}));
}

TEST_F(TimerTest, StoppedOrDestroyedTimerNeverExpires) {
  LTimer stopped(&owner);
  auto destroyed = std::make_unique<LTimer>(&owner);
  stopped.start(10);
  destroyed->start(10);
  stopped.stop();
  destroyed.reset();
  advanceAndService(20);
  EXPECT_EQ(owner.count(LTimer_Expire), 0u);
  EXPECT_EQ(LTimer::nextTimerInterval(), LTimer::kIdleInterval);
}

TEST_F(TimerTest, NextIntervalIsIdleWhenEmptyAndZeroWhenOverdue) {
  EXPECT_EQ(LTimer::nextTimerInterval(), 2147483647);
  LTimer t(&owner);
  t.start(300);
  FakeClock::now += 100;
  EXPECT_EQ(LTimer::nextTimerInterval(), 200);
  FakeClock::now += 500;
  EXPECT_EQ(LTimer::nextTimerInterval(), 0);
  t.stop();
}

TEST_F(TimerTest, ClockWrapNeitherFiresEarlyNorLate) {
  FakeClock::now = 0xFFFFFF00u;
  LTimer across(&owner), beforeWrap(&owner);
  across.start(1000);     // due wraps to 0x2E8
  beforeWrap.start(100);  // due 0xFFFFFF64, before the wrap
  EXPECT_EQ(LTimer::nextTimerInterval(), 100);
  advanceAndService(100);
  EXPECT_EQ(owner.senders(LTimer_Expire), (std::vector<LHandler*>{&beforeWrap}));
  EXPECT_EQ(LTimer::nextTimerInterval(), 900);
  advanceAndService(899);  // clock has wrapped to 0x2E7
  EXPECT_EQ(owner.count(LTimer_Expire), 1u);
  advanceAndService(1);
  EXPECT_EQ(owner.senders(LTimer_Expire), (std::vector<LHandler*>{&beforeWrap, &across}));
}

TEST_F(TimerTest, OrderAcrossTheWrapFollowsRemainingTime) {
  FakeClock::now = 0xFFFFFFF0u;
  LTimer late(&owner), early(&owner);
  late.start(0x20);   // due 0x10
  early.start(0x10);  // due 0x00
  advanceAndService(0x20);
  EXPECT_EQ(owner.senders(LTimer_Expire), (std::vector<LHandler*>{&early, &late}));
}

TEST_F(TimerTest, TimerStartedDuringExpiryWithDelayZeroExpiresInSamePass) {
  LTimer first(&owner), again(&owner), later(&owner);
  owner.hook = [&](const LNote& note) {
    if (note.sender == &first && noteNameEqual(note.name, LTimer_Expire)) {
      again.start(0);
      later.start(5);
    }
  };
  first.start(0);
  LTimer::serviceTimers();
  EXPECT_EQ(owner.senders(LTimer_Expire), (std::vector<LHandler*>{&first, &again}));
  EXPECT_TRUE(later.isArmed());
  advanceAndService(5);
  EXPECT_EQ(owner.count(LTimer_Expire), 3u);
}

// The real clock and the environment's window timer.
TEST(TimerWindowTest, TimersExpireThroughTheEnvironmentWindowInDueOrder) {
  testing_support::Watchdog watchdog(20000, "TimersExpireThroughTheEnvironmentWindow");
  std::unique_ptr<CEnv> env(CEnv::create());
  ASSERT_NE(env, nullptr);
  Recorder owner;
  LTimer slow(&owner), fast(&owner), zero(&owner);
  slow.start(60);
  fast.start(30);
  zero.start(0);
  EXPECT_TRUE(testing_support::pumpUntil([&] { return owner.count(LTimer_Expire) == 3; }, 5000));
  EXPECT_EQ(owner.senders(LTimer_Expire), (std::vector<LHandler*>{&zero, &fast, &slow}));
  for (const auto& e : owner.entries()) EXPECT_EQ(e.thread, GetCurrentThreadId());
}

TEST(TimerWindowTest, TimersStartedLaterDoNotHoldBackOneAlreadyDue) {
  testing_support::Watchdog watchdog(20000, "TimersStartedLaterDoNotHoldBackOneAlreadyDue");
  std::unique_ptr<CEnv> env(CEnv::create());
  ASSERT_NE(env, nullptr);
  Recorder owner;
  LTimer due(&owner), churn(&owner);
  due.start(0);
  // Timers keep being started, the way service messages start them under traffic, and far
  // more often than the window timer's shortest period however slow the machine: nothing
  // is pumped in between. Setting the window timer again for each start would restart its
  // countdown, so its message would never come.
  MSG message;
  bool timerMessage = false;
  const ULONGLONG giveUpAt = GetTickCount64() + 5000;
  for (int i = 0; !timerMessage && GetTickCount64() < giveUpAt; ++i) {
    churn.start(i % 2 == 0 ? 0 : 5);
    timerMessage = PeekMessageW(&message, env->window(), WM_TIMER, WM_TIMER, PM_NOREMOVE) != 0;
  }
  ASSERT_TRUE(timerMessage);
  ASSERT_TRUE(testing_support::pumpUntil([&] { return owner.count(LTimer_Expire) >= 1; }, 5000));
  EXPECT_EQ(owner.senders(LTimer_Expire)[0], &due);
  churn.stop();
}

// The real clock moved to just below its wrap (every 49.7 days of a show): events set
// again and again and timers with delays keep being delivered across the wrap.
struct ClockNearTheWrap {
  static inline uint32_t offset = 0;
  static uint32_t read() { return timeGetTime() + offset; }
};

TEST(TimerWindowTest, TrafficGoesOnAcrossTheClocksWrap) {
  testing_support::Watchdog watchdog(20000, "TrafficGoesOnAcrossTheClocksWrap");
  ClockNearTheWrap::offset = 0xFFFFFFFFu - 150 - timeGetTime();
  const LTimer::Clock previous = LTimer::setClock(&ClockNearTheWrap::read);
  std::unique_ptr<CEnv> env(CEnv::create());
  ASSERT_NE(env, nullptr);
  LDispatcher* d = env->dispatcher();
  Recorder owner;
  {
    LAsyncEvent event(&owner, d);
    LTimer delayed(&owner);
    // Each note asks for the next one: an event set again, a timer started again.
    uint32_t notesAfterWrap = 0, expiriesAfterWrap = 0;
    owner.hook = [&](const LNote& note) {
      const bool wrapped = LTimer::now() < 0x80000000u;
      if (note.sender == &event && noteNameEqual(note.name, LAsyncEvent_Note)) {
        notesAfterWrap += wrapped;
        d->lock();
        event.set();
        d->unlockAndWake();
      } else if (note.sender == &delayed && noteNameEqual(note.name, LTimer_Expire)) {
        expiriesAfterWrap += wrapped;
        delayed.start(15);
      }
    };
    d->lock();
    event.set();
    d->unlockAndWake();
    delayed.start(15);
    EXPECT_TRUE(testing_support::pumpUntil([&] { return notesAfterWrap >= 10 && expiriesAfterWrap >= 5; }, 10000))
        << notesAfterWrap << " notes and " << expiriesAfterWrap << " expiries after the wrap";
    owner.hook = nullptr;
  }
  env.reset();
  LTimer::setClock(previous);
}

// SetTimer refused while `refusing` is set, through the test program's own import table,
// which the timers' calls go through; every call is counted.
struct RefusedTimers {
  static inline std::atomic<bool> refusing{false};
  static inline std::atomic<int> calls{0};
  static inline void* real = nullptr;
  static UINT_PTR WINAPI setTimer(HWND window, UINT_PTR id, UINT interval, TIMERPROC proc) {
    ++calls;
    if (refusing.load()) {
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return 0;
    }
    return reinterpret_cast<decltype(&SetTimer)>(real)(window, id, interval, proc);
  }
};

// While SetTimer keeps refusing, the worker's passes come back to back (a signal re-armed
// in its own note): the window timer is asked for again 10 ms after each refusal, not once
// per pass, and not at all once no timer is armed. When SetTimer takes it, the timer fires.
TEST(TimerWindowTest, ARefusedWindowTimerIsAskedForAgainAfterATimeOnlyWhileTimersAreArmed) {
  testing_support::Watchdog watchdog(20000, "ARefusedWindowTimerIsAskedForAgain");
  testpatch::ImportPatch patch("user32.dll", "SetTimer", reinterpret_cast<void*>(&RefusedTimers::setTimer));
  ASSERT_TRUE(patch.ok());
  RefusedTimers::real = patch.original();
  std::unique_ptr<CEnv> env(CEnv::create());
  ASSERT_NE(env, nullptr);
  LDispatcher* d = env->dispatcher();
  Recorder busyOwner, owner;
  HANDLE signalled = CreateEventW(nullptr, TRUE, TRUE, nullptr);
  {
    LAsyncSignal busy(&busyOwner, d);
    busyOwner.hook = [&](const LNote& note) {
      if (noteNameEqual(note.name, LAsyncSignal_X)) busy.arm(signalled);
    };
    d->lock();
    busy.arm(signalled);
    d->unlockAndWake();
    // Passes that come back to back, for at least `ms` and 200 passes.
    auto busyFor = [&](DWORD ms) {
      const DWORD start = GetTickCount();
      const uint32_t passes = d->passCount();
      EXPECT_TRUE(testing_support::pumpUntil(
          [&] { return GetTickCount() - start >= ms && d->passCount() - passes >= 200; }, 10000));
      return GetTickCount() - start;
    };

    LTimer timer(&owner);
    RefusedTimers::refusing = true;
    RefusedTimers::calls = 0;
    timer.start(0);
    const DWORD refusedFor = busyFor(100);
    const int asked = RefusedTimers::calls.load();
    EXPECT_GE(asked, 2);
    EXPECT_LE(asked, int(refusedFor / 10) + 3) << "in " << refusedFor << " ms";
    EXPECT_EQ(owner.count(LTimer_Expire), 0u);

    // No timer armed: nothing to ask for. The retry owed at the stop still comes once; it
    // finds nothing armed and owes nothing more.
    timer.stop();
    ASSERT_TRUE(testing_support::pumpUntil(
        [&] {
          d->lock();
          const bool owed = d->isServiceOwed();
          d->unlock();
          return !owed && !d->servicePoster()->isPosted();
        },
        5000));
    const int whenStopped = RefusedTimers::calls.load();
    busyFor(100);
    EXPECT_EQ(RefusedTimers::calls.load(), whenStopped);

    RefusedTimers::refusing = false;
    timer.start(0);
    EXPECT_TRUE(testing_support::pumpUntil([&] { return owner.count(LTimer_Expire) == 1; }, 5000));
    busyOwner.hook = nullptr;
  }
  CloseHandle(signalled);
  env.reset();
}

// A note that runs out of memory on the window's thread: its work is lost, the message
// dispatch sees no exception, and the timers after it still fire.
TEST(TimerWindowTest, ANoteThatRunsOutOfMemoryLosesOnlyItsOwnWork) {
  testing_support::Watchdog watchdog(20000, "ANoteThatRunsOutOfMemoryLosesOnlyItsOwnWork");
  struct OutOfMemory : LHandler {
    OutOfMemory() : LHandler(nullptr) {}
    LNote handleNote(const LNote& note) override {
      if (!noteNameEqual(note.name, LTimer_Expire)) return LHandler::handleNote(note);
      ++expiries;
      throw std::bad_alloc();
    }
    int expiries = 0;
  };
  std::unique_ptr<CEnv> env(CEnv::create());
  ASSERT_NE(env, nullptr);
  OutOfMemory failing;
  Recorder owner;
  LTimer first(&failing), second(&owner);
  first.start(0);
  second.start(0);
  bool escaped = false;
  try {
    EXPECT_TRUE(testing_support::pumpUntil([&] { return owner.count(LTimer_Expire) == 1; }, 5000));
  } catch (...) {
    escaped = true;
  }
  EXPECT_FALSE(escaped);
  EXPECT_EQ(failing.expiries, 1);
  EXPECT_EQ(owner.senders(LTimer_Expire), (std::vector<LHandler*>{&second}));
}

}  // namespace
