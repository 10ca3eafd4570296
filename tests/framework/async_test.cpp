#include "framework/CEnv.h"
#include "framework/LAsyncEvent.h"
#include "framework/LAsyncSignal.h"
#include "framework/LTimer.h"

#include "FrameworkTesting.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <thread>

using testing_support::pumpFor;
using testing_support::pumpUntil;
using testing_support::Recorder;

namespace {

class AsyncTest : public ::testing::Test {
 protected:
  void SetUp() override {
    env.reset(CEnv::create());
    ASSERT_NE(env, nullptr);
    d = env->dispatcher();
  }
  void TearDown() override {
    for (HANDLE h : handles) CloseHandle(h);
  }
  HANDLE makeEvent(bool signalled = false) {
    HANDLE h = CreateEventW(nullptr, TRUE, signalled, nullptr);
    handles.push_back(h);
    return h;
  }
  void setUnderLock(LAsyncEvent& event) {
    d->lock();
    event.set();
    d->unlockAndWake();
  }
  bool armUnderLock(LAsyncSignal& signal, HANDLE h) {
    d->lock();
    bool armed = signal.arm(h);
    d->unlockAndWake();
    return armed;
  }
  // Dispatches only the queued service message, not WM_TIMER.
  void runServiceOnly() {
    MSG message;
    while (PeekMessageW(&message, env->window(), WM_USER, WM_USER, PM_REMOVE))
      DispatchMessageW(&message);
  }

  testing_support::Watchdog watchdog{30000, "AsyncTest"};
  std::unique_ptr<CEnv> env;
  LDispatcher* d = nullptr;
  std::vector<HANDLE> handles;
};

// --- Events -----------------------------------------------------------------------------

TEST_F(AsyncTest, TwoSetsBeforeTheServiceGiveOneNote) {
  Recorder owner;
  LAsyncEvent event(&owner, d);
  setUnderLock(event);
  setUnderLock(event);
  EXPECT_TRUE(pumpUntil([&] { return owner.count(LAsyncEvent_Note) == 1; }, 5000));
  pumpFor(100);
  EXPECT_EQ(owner.count(LAsyncEvent_Note), 1u);
  EXPECT_FALSE(event.isScheduled());
}

TEST_F(AsyncTest, NotesArriveOnTheWindowThreadInSetOrder) {
  Recorder owner;
  LAsyncEvent a(&owner, d), b(&owner, d), c(&owner, d);
  // Set from another thread, the way the environment thread does it.
  std::thread setter([&] {
    d->lock();
    b.set();
    a.set();
    c.set();
    d->unlockAndWake();
  });
  setter.join();
  EXPECT_TRUE(pumpUntil([&] { return owner.count(LAsyncEvent_Note) == 3; }, 5000));
  // [B, A, C]
  EXPECT_EQ(owner.senders(LAsyncEvent_Note), (std::vector<LHandler*>{&b, &a, &c}));
  for (const auto& e : owner.entries()) EXPECT_EQ(e.thread, GetCurrentThreadId());
}

TEST_F(AsyncTest, CancelBeforeOrAfterTheServiceGivesNoNote) {
  Recorder owner;
  LAsyncEvent beforeService(&owner, d), afterService(&owner, d);
  setUnderLock(beforeService);
  beforeService.cancel();
  setUnderLock(afterService);
  runServiceOnly();
  EXPECT_TRUE(LTimer::armedCount() == 1);  // afterService waits for WM_TIMER
  afterService.cancel();
  pumpFor(150);
  EXPECT_EQ(owner.count(LAsyncEvent_Note), 0u);
  // Both are idle again: a new set gives a note each.
  setUnderLock(beforeService);
  setUnderLock(afterService);
  EXPECT_TRUE(pumpUntil([&] { return owner.count(LAsyncEvent_Note) == 2; }, 5000));
}

TEST_F(AsyncTest, SetWhileTheOwnerHandlesTheNoteGivesExactlyOneMore) {
  Recorder owner;
  LAsyncEvent event(&owner, d);
  owner.hook = [&](const LNote&) {
    if (owner.count(LAsyncEvent_Note) == 0) {
      setUnderLock(event);
      setUnderLock(event);
    }
  };
  setUnderLock(event);
  EXPECT_TRUE(pumpUntil([&] { return owner.count(LAsyncEvent_Note) == 2; }, 5000));
  pumpFor(100);
  EXPECT_EQ(owner.count(LAsyncEvent_Note), 2u);
}

TEST_F(AsyncTest, DestroyedEventReceivesNoNoteAndItsOwnerHearsOfIt) {
  Recorder owner;
  auto pending = std::make_unique<LAsyncEvent>(&owner, d);
  auto timed = std::make_unique<LAsyncEvent>(&owner, d);
  LHandler* const gone[] = {pending.get(), timed.get()};
  setUnderLock(*pending);
  setUnderLock(*timed);
  runServiceOnly();
  setUnderLock(*pending);  // pending again while `timed` waits for its timer
  pending.reset();
  timed.reset();
  EXPECT_EQ(LTimer::armedCount(), 0u);
  pumpFor(150);
  EXPECT_EQ(owner.count(LAsyncEvent_Note), 0u);
  // Each event's timer announces itself to the event, which passes it on; then the event.
  std::vector<LHandler*> destructing = owner.senders(LHandler_Destructing);
  ASSERT_EQ(destructing.size(), 4u);
  EXPECT_EQ(destructing[1], gone[0]);
  EXPECT_EQ(destructing[3], gone[1]);
  d->lock();
  EXPECT_TRUE(d->pendingEvents().isEmpty());
  d->unlock();
}

// --- Signals ----------------------------------------------------------------------------

TEST_F(AsyncTest, SignalledHandleGivesOneNoteOnTheWorkerAfterUnarming) {
  Recorder owner;
  LAsyncSignal signal(&owner, d);
  HANDLE h = makeEvent();
  bool armedDuringNote = true;
  owner.hook = [&](const LNote&) { armedDuringNote = signal.isArmed(); };
  ASSERT_TRUE(armUnderLock(signal, h));
  SetEvent(h);  // manual reset: stays signalled, yet one arming gives one note
  EXPECT_TRUE(pumpUntil([&] { return owner.count(LAsyncSignal_X) == 1; }, 5000));
  Sleep(100);
  ASSERT_EQ(owner.count(LAsyncSignal_X), 1u);
  EXPECT_EQ(owner.entries()[0].sender, &signal);
  EXPECT_EQ(owner.entries()[0].thread, d->workerThreadId());
  EXPECT_FALSE(armedDuringNote);
  // Armed again, it is heard again.
  ASSERT_TRUE(armUnderLock(signal, h));
  EXPECT_TRUE(pumpUntil([&] { return owner.count(LAsyncSignal_X) == 2; }, 5000));
}

TEST_F(AsyncTest, SignalDisarmedBeforeItFiresIsNeverHeard) {
  Recorder owner;
  LAsyncSignal sameHold(&owner, d), later(&owner, d);
  HANDLE already = makeEvent(true);
  HANDLE h = makeEvent();
  // Armed and disarmed under one hold of the lock, on an already signalled handle.
  d->lock();
  ASSERT_TRUE(sameHold.arm(already));
  sameHold.disarm();
  d->unlockAndWake();
  ASSERT_TRUE(armUnderLock(later, h));
  Sleep(50);  // the worker waits on `h` now
  d->lock();
  later.disarm();
  d->unlockAndWake();
  SetEvent(h);
  Sleep(150);
  EXPECT_EQ(owner.count(LAsyncSignal_X), 0u);
  EXPECT_EQ(d->armedCount(), 0u);
}

TEST_F(AsyncTest, TwoSignalledHandlesAreServedInArmingOrderOnePerPass) {
  Recorder first, second;
  LAsyncSignal a(&first, d), b(&second, d);
  HANDLE ha = makeEvent(), hb = makeEvent();
  bool bArmedDuringA = false;
  std::vector<LHandler*> order;  // written on the worker, one note at a time
  first.hook = [&](const LNote& note) {
    bArmedDuringA = b.isArmed();
    order.push_back(note.sender);
  };
  second.hook = [&](const LNote& note) { order.push_back(note.sender); };
  d->lock();
  ASSERT_TRUE(a.arm(ha));
  ASSERT_TRUE(b.arm(hb));
  SetEvent(hb);
  SetEvent(ha);
  d->unlockAndWake();
  EXPECT_TRUE(pumpUntil([&] { return first.count(LAsyncSignal_X) + second.count(LAsyncSignal_X) == 2; },
                        5000));
  // [a, b]: arming order, not the order the handles were signalled in
  EXPECT_EQ(order, (std::vector<LHandler*>{&a, &b}));
  EXPECT_TRUE(bArmedDuringA);  // b waited for the next pass
  Sleep(50);
  EXPECT_EQ(first.count(LAsyncSignal_X) + second.count(LAsyncSignal_X), 2u);
}

TEST_F(AsyncTest, DestroyedArmedSignalIsNotWaitedOnAgain) {
  Recorder owner;
  HANDLE h = makeEvent();
  auto signal = std::make_unique<LAsyncSignal>(&owner, d);
  ASSERT_TRUE(armUnderLock(*signal, h));
  Sleep(50);
  signal.reset();
  EXPECT_EQ(d->armedCount(), 0u);
  SetEvent(h);
  Sleep(100);
  EXPECT_EQ(owner.count(LAsyncSignal_X), 0u);
  EXPECT_EQ(owner.count(LHandler_Destructing), 1u);
}

TEST_F(AsyncTest, ArmingBeyondTheWaitSetIsRefusedAndEveryArmedSignalIsHeard) {
  constexpr int kSignals = 70;
  Recorder owner;
  std::vector<std::unique_ptr<LAsyncSignal>> signals;
  std::vector<bool> armed;
  d->lock();
  for (int i = 0; i < kSignals; ++i) {
    signals.push_back(std::make_unique<LAsyncSignal>(&owner, d));
    armed.push_back(signals.back()->arm(makeEvent()));
  }
  d->unlockAndWake();
  for (int i = 0; i < kSignals; ++i) {
    EXPECT_EQ(armed[i], i < 62) << i;
    EXPECT_EQ(signals[i]->isArmed(), i < 62) << i;
  }
  EXPECT_EQ(d->armedCount(), 62u);
  for (HANDLE h : handles) SetEvent(h);
  EXPECT_TRUE(pumpUntil([&] { return owner.count(LAsyncSignal_X) == 62; }, 10000));
  // With room again, the refused ones arm and are heard too.
  d->lock();
  for (int i = 62; i < kSignals; ++i) EXPECT_TRUE(signals[i]->arm(handles[i]));
  d->unlockAndWake();
  EXPECT_TRUE(pumpUntil([&] { return owner.count(LAsyncSignal_X) == kSignals; }, 10000));
  std::vector<LHandler*> heard = owner.senders(LAsyncSignal_X);
  std::sort(heard.begin(), heard.end());
  EXPECT_EQ(std::unique(heard.begin(), heard.end()), heard.end());
}

TEST_F(AsyncTest, UnwaitableHandleIsDroppedAndTheOthersAreStillServed) {
  Recorder owner;
  LAsyncSignal broken(&owner, d), healthy(&owner, d);
  HANDLE h = makeEvent();
  // A handle without SYNCHRONIZE access cannot be waited on: the whole wait fails.
  HANDLE unwaitable = nullptr;
  ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), makeEvent(), GetCurrentProcess(), &unwaitable,
                              EVENT_MODIFY_STATE, FALSE, 0));
  handles.push_back(unwaitable);
  d->lock();
  ASSERT_TRUE(broken.arm(unwaitable));
  ASSERT_TRUE(healthy.arm(h));
  d->unlockAndWake();
  EXPECT_TRUE(pumpUntil([&] {
    d->lock();
    bool dropped = !broken.isArmed();
    d->unlock();
    return dropped;
  }, 5000));
  SetEvent(h);
  EXPECT_TRUE(pumpUntil([&] { return owner.count(LAsyncSignal_X) == 1; }, 5000));
  EXPECT_EQ(owner.senders(LAsyncSignal_X), (std::vector<LHandler*>{&healthy}));
}

}  // namespace
