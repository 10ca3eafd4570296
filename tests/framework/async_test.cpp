#include "framework/CEnv.h"
#include "framework/LAsyncEvent.h"
#include "framework/LAsyncSignal.h"
#include "framework/LThread.h"
#include "framework/LTimer.h"
#include "framework/LWaitGroup.h"

#include "FrameworkTesting.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <thread>

using testing_support::pumpFor;
using testing_support::pumpUntil;
using testing_support::Recorder;
using testing_support::waitUntil;

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
  void armUnderLock(LAsyncSignal& signal, HANDLE h) {
    d->lock();
    signal.arm(h);
    d->unlockAndWake();
  }
  // Arms, then waits until the worker waits on the handle: a pass that began after the
  // arming has rebuilt its wait set.
  void armAndWaitUntilWatched(LAsyncSignal& signal, HANDLE h) {
    d->lock();
    signal.arm(h);
    const uint32_t before = d->passCount();
    d->unlockAndWake();
    ASSERT_TRUE(pumpUntil([&] { return d->passCount() != before; }, 5000));
  }
  // Lock held. Arms `count` signals on events never set, ahead of the ones a test watches.
  void armFillers(std::vector<std::unique_ptr<LAsyncSignal>>& fillers, LHandler& owner, int count) {
    for (int i = 0; i < count; ++i) {
      fillers.push_back(std::make_unique<LAsyncSignal>(&owner, d));
      fillers.back()->arm(makeEvent());
    }
  }
  // Sets a marker event and pumps until its note has come: every note of an event set
  // before it has come by then.
  void deliverEarlierNotes() {
    Recorder markerOwner;
    LAsyncEvent marker(&markerOwner, d);
    setUnderLock(marker);
    ASSERT_TRUE(pumpUntil([&] { return markerOwner.count(LAsyncEvent_Note) == 1; }, 5000));
  }
  // Arms a sentinel on a signalled handle and waits for its note: an arming made before it
  // whose handle is signalled would have been served first.
  void serveEarlierArmings() {
    Recorder sentinelOwner;
    LAsyncSignal sentinel(&sentinelOwner, d);
    armUnderLock(sentinel, makeEvent(true));
    ASSERT_TRUE(pumpUntil([&] { return sentinelOwner.count(LAsyncSignal_X) == 1; }, 5000));
  }
  uint32_t armedCountLocked() {
    d->lock();
    const uint32_t count = d->armedCount();
    d->unlock();
    return count;
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
  deliverEarlierNotes();
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
  deliverEarlierNotes();
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
  deliverEarlierNotes();
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
  deliverEarlierNotes();
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

// An environment whose service message never goes out: requestService records the call
// and leaves nothing in flight, as LDispatcher does when PostMessage fails.
class UnpostedEnv : public LAsyncEnv {
 public:
  void lock() override {}
  void unlock() override {}
  void unlockAndWake() override {}
  void requestService() override { ++serviceRequests; }
  void registerSignal(LAsyncSignal*) override {}
  void unregisterSignal(LAsyncSignal*) override {}
  void unregisterSignalLocked(LAsyncSignal*) override {}
  bool reserveSignals(uint32_t) override { return true; }
  void releaseSignals(uint32_t) override {}
  bool deferUnlocked(LUnlockedCall*) override { return false; }
  void waitForUnlockedCalls() override {}
  int serviceRequests = 0;
};

TEST(AsyncEventTest, SetAfterAFailedServicePostAsksAgain) {
  Recorder owner;
  UnpostedEnv env;
  {
    LAsyncEvent event(&owner, &env);
    event.set();
    ASSERT_EQ(env.serviceRequests, 1);
    // Still pending, nothing in flight: the next set must not be swallowed.
    event.set();
    EXPECT_EQ(env.serviceRequests, 2);
    EXPECT_TRUE(event.isScheduled());
    EXPECT_EQ(env.pendingEvents().first(), static_cast<LListNode*>(&event));
  }
  EXPECT_TRUE(env.pendingEvents().isEmpty());
}

// --- Signals ----------------------------------------------------------------------------

TEST_F(AsyncTest, SignalledHandleGivesOneNoteOnTheWorkerAfterUnarming) {
  Recorder owner;
  LAsyncSignal signal(&owner, d);
  HANDLE h = makeEvent();
  bool armedDuringNote = true;
  // Only the signal's notes: the hook outlives `signal` (its destruction is announced too).
  owner.hook = [&](const LNote& note) {
    if (noteNameEqual(note.name, LAsyncSignal_X)) armedDuringNote = signal.isArmed();
  };
  armUnderLock(signal, h);
  SetEvent(h);  // manual reset: stays signalled, yet one arming gives one note
  EXPECT_TRUE(pumpUntil([&] { return owner.count(LAsyncSignal_X) == 1; }, 5000));
  serveEarlierArmings();
  ASSERT_EQ(owner.count(LAsyncSignal_X), 1u);
  EXPECT_EQ(owner.entries()[0].sender, &signal);
  EXPECT_EQ(owner.entries()[0].thread, d->workerThreadId());
  EXPECT_FALSE(armedDuringNote);
  // Armed again, it is heard again.
  armUnderLock(signal, h);
  EXPECT_TRUE(pumpUntil([&] { return owner.count(LAsyncSignal_X) == 2; }, 5000));
}

TEST_F(AsyncTest, SignalDisarmedBeforeItFiresIsNeverHeard) {
  Recorder owner;
  LAsyncSignal sameHold(&owner, d), later(&owner, d);
  HANDLE already = makeEvent(true);
  HANDLE h = makeEvent();
  // Armed and disarmed under one hold of the lock, on an already signalled handle.
  d->lock();
  sameHold.arm(already);
  sameHold.disarm();
  d->unlockAndWake();
  armAndWaitUntilWatched(later, h);
  d->lock();
  later.disarm();
  d->unlockAndWake();
  SetEvent(h);
  serveEarlierArmings();
  EXPECT_EQ(owner.count(LAsyncSignal_X), 0u);
  EXPECT_EQ(armedCountLocked(), 0u);
}

TEST_F(AsyncTest, TwoSignalledHandlesAreServedInArmingOrderOnePerPass) {
  Recorder first, second;
  LAsyncSignal a(&first, d), b(&second, d);
  HANDLE ha = makeEvent(), hb = makeEvent();
  bool bArmedDuringA = false;
  std::vector<LHandler*> order;  // written on the worker, one note at a time
  // Only the signals' notes: the signals announce their destruction to these recorders
  // after `order` is gone.
  first.hook = [&](const LNote& note) {
    if (!noteNameEqual(note.name, LAsyncSignal_X)) return;
    bArmedDuringA = b.isArmed();
    order.push_back(note.sender);
  };
  second.hook = [&](const LNote& note) {
    if (noteNameEqual(note.name, LAsyncSignal_X)) order.push_back(note.sender);
  };
  d->lock();
  a.arm(ha);
  b.arm(hb);
  SetEvent(hb);
  SetEvent(ha);
  d->unlockAndWake();
  EXPECT_TRUE(pumpUntil([&] { return first.count(LAsyncSignal_X) + second.count(LAsyncSignal_X) == 2; },
                        5000));
  // [a, b]: arming order, not the order the handles were signalled in
  EXPECT_EQ(order, (std::vector<LHandler*>{&a, &b}));
  EXPECT_TRUE(bArmedDuringA);  // b waited for the next pass
  serveEarlierArmings();
  EXPECT_EQ(first.count(LAsyncSignal_X) + second.count(LAsyncSignal_X), 2u);
}

// Notes the worker's wait count whenever the worker is about to wait on `handle`.
struct WorkerWaitsOn {
  static inline LDispatcher* env = nullptr;
  static inline std::atomic<HANDLE> handle{nullptr};
  static inline std::atomic<uint32_t> waitsBefore{0};
  static inline std::atomic<bool> seen{false};
  static void hook(const HANDLE* handles, uint32_t count) {
    const HANDLE h = handle.load();
    if (GetCurrentThreadId() != env->workerThreadId() || h == nullptr ||
        std::find(handles, handles + count, h) == handles + count)
      return;
    waitsBefore = env->waitCount();
    seen = true;
  }
};

// The worker's wait saw the handle signalled; before its pass, another thread disarms the
// signal, restarts the operation behind it (the event is reset) and arms it again. That
// arming was never signalled: it gets no note.
TEST_F(AsyncTest, AnArmingMadeAfterTheWaitSawTheOldOneGetsNoNote) {
  Recorder owner;
  LAsyncSignal signal(&owner, d);
  HANDLE h = makeEvent();
  WorkerWaitsOn::env = d;
  WorkerWaitsOn::handle = h;
  WorkerWaitsOn::seen = false;
  LWaitGroup::BeforeWait previous = LWaitGroup::setBeforeWait(&WorkerWaitsOn::hook);
  armUnderLock(signal, h);
  const bool waiting = pumpUntil([&] { return WorkerWaitsOn::seen.load(); }, 5000);
  d->lock();
  LWaitGroup::setBeforeWait(previous);
  // Holding the lock, the worker is in the last wait that held the handle, or has left it
  // and waits for the lock.
  const uint32_t waits = WorkerWaitsOn::waitsBefore.load();
  SetEvent(h);
  const bool left = waitUntil([&] { return d->waitCount() != waits; }, 5000);
  signal.disarm();
  ResetEvent(h);
  signal.arm(h);
  d->unlockAndWake();
  ASSERT_TRUE(waiting && left);
  serveEarlierArmings();
  EXPECT_EQ(owner.count(LAsyncSignal_X), 0u);
  // Signalled now, the new arming is heard.
  SetEvent(h);
  EXPECT_TRUE(pumpUntil([&] { return owner.count(LAsyncSignal_X) == 1; }, 5000));
}

TEST_F(AsyncTest, DestroyedArmedSignalIsNotWaitedOnAgain) {
  Recorder owner;
  HANDLE h = makeEvent();
  auto signal = std::make_unique<LAsyncSignal>(&owner, d);
  armAndWaitUntilWatched(*signal, h);
  signal.reset();
  EXPECT_EQ(armedCountLocked(), 0u);
  SetEvent(h);
  serveEarlierArmings();
  EXPECT_EQ(owner.count(LAsyncSignal_X), 0u);
  EXPECT_EQ(owner.count(LHandler_Destructing), 1u);
}

TEST_F(AsyncTest, SignalsBeyondOneWaitAreServedThroughTheHelpersInJoiningOrder) {
  // More than one wait can hold: the worker's own wait and two helper wait threads.
  constexpr int kSignals = 140;
  ASSERT_EQ(LDispatcher::waitGroupsFor(kSignals), 2u);
  const uint32_t own = LDispatcher::kOwnWaitCapacity - 2;
  Recorder owner;
  std::vector<std::unique_ptr<LAsyncSignal>> signals;
  d->lock();
  for (int i = 0; i < kSignals; ++i) {
    signals.push_back(std::make_unique<LAsyncSignal>(&owner, d));
    signals.back()->arm(makeEvent());
  }
  EXPECT_EQ(d->armedCount(), uint32_t(kSignals));
  const uint32_t before = d->passCount();
  d->unlockAndWake();
  ASSERT_TRUE(pumpUntil([&] { return d->passCount() != before; }, 5000));
  // The earliest armed are the worker's own; the others are with the helpers, in arming
  // order. Only those are signalled, so each note needs a helper's report: each is served
  // once, on the worker, and every helper's in the order they joined it.
  // joined[0]: the worker's own; joined[1 + g]: helper g's
  std::vector<std::vector<LHandler*>> joined(3);
  d->lock();
  for (int i = 0; i < kSignals; ++i) {
    const uint32_t watcher = signals[i]->watcher();
    EXPECT_EQ(watcher == LDispatcher::kWorkerWait, uint32_t(i) < own) << i;
    ASSERT_GE(watcher, LDispatcher::kWorkerWait);
    joined[watcher - LDispatcher::kWorkerWait].push_back(signals[i].get());
  }
  EXPECT_EQ(d->waitGroupCount(), 2u);
  d->unlock();
  for (uint32_t i = own; i < uint32_t(kSignals); ++i) SetEvent(handles[i]);
  EXPECT_TRUE(pumpUntil([&] { return owner.count(LAsyncSignal_X) == kSignals - own; }, 20000));
  std::vector<std::vector<LHandler*>> heard(3);
  for (LHandler* sender : owner.senders(LAsyncSignal_X)) {
    for (size_t g = 0; g < joined.size(); ++g) {
      if (std::find(joined[g].begin(), joined[g].end(), sender) != joined[g].end())
        heard[g].push_back(sender);
    }
  }
  EXPECT_TRUE(heard[0].empty());
  EXPECT_EQ(heard[1], joined[1]);
  EXPECT_EQ(heard[2], joined[2]);
  for (const auto& e : owner.entries()) EXPECT_EQ(e.thread, d->workerThreadId());
  d->lock();
  EXPECT_EQ(d->armedCount(), own);
  d->unlock();

  // Armed again, a signal watched by a helper thread is heard again, and alone.
  for (HANDLE h : handles) ResetEvent(h);
  owner.clear();
  d->lock();
  for (int i = 0; i < kSignals; ++i) signals[i]->arm(handles[i]);
  d->unlockAndWake();
  SetEvent(handles.back());
  EXPECT_TRUE(pumpUntil([&] { return owner.count(LAsyncSignal_X) == 1; }, 20000));
  SetEvent(handles.front());
  EXPECT_TRUE(pumpUntil([&] { return owner.count(LAsyncSignal_X) == 2; }, 20000));
  EXPECT_EQ(owner.senders(LAsyncSignal_X),
            (std::vector<LHandler*>{signals.back().get(), signals.front().get()}));
  d->lock();
  EXPECT_EQ(d->armedCount(), uint32_t(kSignals - 2));
  d->unlock();
}

TEST_F(AsyncTest, ReservedRoomStartsHelperThreadsAheadOrIsRefused) {
  d->lock();
  const uint32_t groupsBefore = d->waitGroupCount();
  d->unlock();
  ASSERT_EQ(groupsBefore, 0u);
  ASSERT_TRUE(d->reserveSignals(LDispatcher::kOwnWaitCapacity));
  d->lock();
  EXPECT_EQ(d->waitGroupCount(), 0u);
  d->unlock();

  // One more needs a helper thread; when none can be started the reservation is refused
  // and nothing changes.
  LThread::BeginThread real = LThread::setBeginThread(
      [](void*, unsigned, unsigned(__stdcall*)(void*), void*, unsigned, unsigned*) -> uintptr_t {
        return 0;
      });
  EXPECT_FALSE(d->reserveSignals(3));
  LThread::setBeginThread(real);
  d->lock();
  EXPECT_EQ(d->waitGroupCount(), 0u);
  EXPECT_EQ(d->reservedSignals(), LDispatcher::kOwnWaitCapacity);
  d->unlock();

  EXPECT_TRUE(d->reserveSignals(3));
  d->lock();
  EXPECT_EQ(d->waitGroupCount(), 1u);
  d->unlock();
  d->releaseSignals(3 + LDispatcher::kOwnWaitCapacity);
  d->lock();
  EXPECT_EQ(d->reservedSignals(), 0u);
  d->unlock();
}

// Both cases run with the handles in the worker's own wait and, behind 70 fillers, in a
// helper wait thread's.
TEST_F(AsyncTest, UnwaitableHandleIsDroppedWithoutTakingTheOthersSignals) {
  for (int fillers : {0, 70}) {
    SCOPED_TRACE(fillers);
    const uint32_t failedBefore = d->failedWaitCount();
    Recorder owner, idle;
    std::vector<std::unique_ptr<LAsyncSignal>> filler;
    LAsyncSignal broken(&owner, d), early(&owner, d), healthy(&owner, d);
    // A handle without SYNCHRONIZE access cannot be waited on: the whole wait fails.
    HANDLE unwaitable = nullptr;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), makeEvent(), GetCurrentProcess(),
                                &unwaitable, EVENT_MODIFY_STATE, FALSE, 0));
    handles.push_back(unwaitable);
    // Signalled before the failing wait: finding the culprit must not lose its note.
    HANDLE signalled = makeEvent(true);
    HANDLE h = makeEvent();
    d->lock();
    armFillers(filler, idle, fillers);
    early.arm(signalled);
    broken.arm(unwaitable);
    healthy.arm(h);
    d->unlockAndWake();
    EXPECT_TRUE(pumpUntil([&] { return owner.count(LAsyncSignal_X) == 1; }, 5000));
    SetEvent(h);
    EXPECT_TRUE(pumpUntil([&] { return owner.count(LAsyncSignal_X) == 2; }, 5000));
    EXPECT_EQ(owner.senders(LAsyncSignal_X), (std::vector<LHandler*>{&early, &healthy}));
    d->lock();
    EXPECT_FALSE(broken.isArmed());
    EXPECT_EQ(d->armedCount(), uint32_t(fillers));
    d->unlock();
    EXPECT_GE(d->failedWaitCount() - failedBefore, 1u);
  }
}

// A helper's report stays good when its list changes before the worker takes it. Here the
// worker serves its own first signal first, which moves the helper's first signal into the
// worker's own wait; the report is about the helper's other member.
TEST_F(AsyncTest, AHelpersReportIsServedAfterItsListChanged) {
  constexpr int kSignals = LDispatcher::kOwnWaitCapacity + 1;
  ASSERT_EQ(LDispatcher::waitGroupsFor(kSignals), 1u);
  Recorder first, last, idle;
  std::vector<std::unique_ptr<LAsyncSignal>> filler;
  LAsyncSignal a0(&first, d), helped(&last, d);
  HANDLE e0 = makeEvent();
  HANDLE eh = makeEvent();
  d->lock();
  a0.arm(e0);
  armFillers(filler, idle, kSignals - 2);
  helped.arm(eh);
  EXPECT_EQ(helped.watcher(), 0u);  // placed by the next pass
  const uint32_t before = d->passCount();
  d->unlockAndWake();
  ASSERT_TRUE(pumpUntil([&] { return d->passCount() != before; }, 5000));

  d->lock();
  EXPECT_EQ(helped.watcher(), LDispatcher::kFirstHelper);
  SetEvent(e0);  // the worker's wait returns; it waits for the lock
  SetEvent(eh);
  // The helper reports without the lock.
  LWaitGroup* group = d->waitGroup(0);
  const bool reported = testing_support::waitUntil([&] { return group->isReportWaiting(); }, 5000);
  d->unlockAndWake();
  ASSERT_TRUE(reported);
  EXPECT_TRUE(pumpUntil([&] { return last.count(LAsyncSignal_X) == 1; }, 5000));
  EXPECT_EQ(first.count(LAsyncSignal_X), 1u);
  EXPECT_EQ(idle.count(LAsyncSignal_X), 0u);
}

// Notes when a wait is about to be made on one handle.
struct WaitsOn {
  static inline std::atomic<HANDLE> handle{nullptr};
  static inline std::atomic<bool> seen{false};
  static void hook(const HANDLE* handles, uint32_t count) {
    const HANDLE h = handle.load();
    if (h != nullptr && std::find(handles, handles + count, h) != handles + count) seen = true;
  }
};

// A handle closed and a new event made under one hold of the lock may get the old value
// back; arming the signal with it is a new arming, which the helper must wait on afresh.
TEST_F(AsyncTest, ArmingANewObjectWithAnOldHandleValueIsHeard) {
  Recorder owner, idle;
  std::vector<std::unique_ptr<LAsyncSignal>> filler;
  LAsyncSignal signal(&owner, d);
  HANDLE old = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  WaitsOn::handle = old;
  WaitsOn::seen = false;
  LWaitGroup::BeforeWait previous = LWaitGroup::setBeforeWait(&WaitsOn::hook);
  d->lock();
  armFillers(filler, idle, 70);
  signal.arm(old);
  d->unlockAndWake();
  // The helper waits on the old event.
  const bool waiting = pumpUntil([&] { return WaitsOn::seen.load(); }, 5000);
  LWaitGroup::setBeforeWait(previous);
  ASSERT_TRUE(waiting);

  d->lock();
  EXPECT_GE(signal.watcher(), LDispatcher::kFirstHelper);
  CloseHandle(old);
  HANDLE renewed = makeEvent();
  signal.arm(renewed);
  d->unlockAndWake();
  if (renewed != old) GTEST_SKIP() << "the system gave the new event another value";
  SetEvent(renewed);
  EXPECT_TRUE(pumpUntil([&] { return owner.count(LAsyncSignal_X) == 1; }, 5000));
}

// Closes a handle right before a wait on it, after disarming its signal: what a handle
// disarmed and closed just after the wait set was built does to that wait.
struct CloseBeforeWait {
  static inline LDispatcher* env = nullptr;
  static inline LAsyncSignal* signal = nullptr;
  static inline std::atomic<HANDLE> handle{nullptr};
  static void hook(const HANDLE* handles, uint32_t count) { disarmAndClose(handles, count); }
  // True when it closed the handle (once, for the first wait on a list that holds it).
  static bool disarmAndClose(const HANDLE* handles, uint32_t count) {
    const HANDLE h = handle.load();
    if (h == nullptr || std::find(handles, handles + count, h) == handles + count) return false;
    if (handle.exchange(nullptr) != h) return false;
    env->lock();
    signal->disarm();
    env->unlockAndWake();
    CloseHandle(h);
    return true;
  }
};

// On the helper's thread, right before its wait on a list that holds `handle`: the signal
// is disarmed and its handle closed, and a new auto-reset event, which may get the old
// value, is set. A wait on the old list would take that event's signal.
// The handle, signal and environment are CloseBeforeWait's.
struct ReuseBeforeWait {
  static inline HANDLE reused = nullptr;
  static inline std::atomic<uint32_t> lastCount{0};  // of the helper's latest wait
  static inline std::atomic<DWORD> worker{0};
  static void hook(const HANDLE* handles, uint32_t count) {
    // The worker's own waits go through the hook too.
    if (GetCurrentThreadId() != worker.load()) lastCount = count;
    if (!CloseBeforeWait::disarmAndClose(handles, count)) return;
    reused = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    SetEvent(reused);
  }
};

TEST_F(AsyncTest, AHelperNeverWaitsOnAHandleRemovedFromItsList) {
  Recorder owner, idle;
  std::vector<std::unique_ptr<LAsyncSignal>> filler;
  LAsyncSignal signal(&owner, d);
  HANDLE h = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  CloseBeforeWait::env = d;
  CloseBeforeWait::signal = &signal;
  CloseBeforeWait::handle = nullptr;
  ReuseBeforeWait::reused = nullptr;
  ReuseBeforeWait::lastCount = 0;
  ReuseBeforeWait::worker = d->workerThreadId();
  LWaitGroup::BeforeWait previous = LWaitGroup::setBeforeWait(&ReuseBeforeWait::hook);
  // The helper first settles on its fillers, so that the only wake-up it has when the
  // signal joins is the one for the signal.
  constexpr uint32_t kHelped = 70 + 1 - (LDispatcher::kOwnWaitCapacity - 1);
  d->lock();
  armFillers(filler, idle, 70);
  d->unlockAndWake();
  ASSERT_TRUE(pumpUntil([&] { return ReuseBeforeWait::lastCount.load() == kHelped - 1; }, 5000));
  CloseBeforeWait::handle = h;
  armUnderLock(signal, h);
  const bool hooked = pumpUntil([&] { return CloseBeforeWait::handle.load() == nullptr; }, 5000);
  LWaitGroup::setBeforeWait(previous);
  ASSERT_TRUE(hooked);
  HANDLE reused = ReuseBeforeWait::reused;
  handles.push_back(reused);
  if (reused != h) GTEST_SKIP() << "the system gave the new event another value";
  // Whatever the helper waits on next is a list without the old handle.
  serveEarlierArmings();
  EXPECT_EQ(WaitForSingleObject(reused, 0), WAIT_OBJECT_0) << "a helper took another object's signal";
  EXPECT_EQ(owner.count(LAsyncSignal_X), 0u);
}

TEST_F(AsyncTest, WaitThatSawAClosedHandleDropsNothing) {
  // The wait fails with nobody to blame; the armed signals must stay armed.
  for (int fillers : {0, 70}) {
    SCOPED_TRACE(fillers);
    Recorder owner, idle;
    std::vector<std::unique_ptr<LAsyncSignal>> filler;
    LAsyncSignal live(&owner, d), passing(&idle, d);
    HANDLE h = makeEvent();
    d->lock();
    armFillers(filler, idle, fillers);
    live.arm(h);
    d->unlockAndWake();
    const uint32_t failedBefore = d->failedWaitCount();
    CloseBeforeWait::env = d;
    CloseBeforeWait::signal = &passing;
    LWaitGroup::BeforeWait previous = LWaitGroup::setBeforeWait(&CloseBeforeWait::hook);
    HANDLE brief = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    CloseBeforeWait::handle = brief;
    armUnderLock(passing, brief);
    // The hook closes it before the wait it is in (the worker's own, or the helper's).
    EXPECT_TRUE(pumpUntil([&] { return d->failedWaitCount() != failedBefore; }, 5000));
    LWaitGroup::setBeforeWait(previous);
    EXPECT_EQ(CloseBeforeWait::handle.load(), nullptr);
    d->lock();
    EXPECT_FALSE(passing.isArmed());
    EXPECT_TRUE(live.isArmed());
    EXPECT_EQ(d->armedCount(), uint32_t(fillers + 1));
    d->unlock();
    SetEvent(h);
    EXPECT_TRUE(pumpUntil([&] { return owner.count(LAsyncSignal_X) == 1; }, 5000));
    d->lock();
    for (auto& f : filler) f->disarm();
    d->unlockAndWake();
  }
}

}  // namespace
