#include "framework/CEnv.h"
#include "framework/LAsyncEvent.h"
#include "framework/LMessageWindow.h"
#include "framework/LThread.h"
#include "framework/LWindowPoster.h"

#include "FrameworkTesting.h"
#include "tests/common/ImportPatch.h"

#include <gtest/gtest.h>

#include <process.h>

#include <atomic>
#include <memory>

using testing_support::pumpFor;
using testing_support::pumpUntil;
using testing_support::Recorder;

namespace {

constexpr UINT kTestMessage = WM_USER + 7;

// A window that hands kTestMessage to the poster named in its wParam.
bool posterWindowCallback(void*, UINT message, WPARAM wParam, LPARAM, LRESULT* result) {
  if (message != kTestMessage) return false;
  LWindowPoster::arrive(wParam);
  *result = 0;
  return true;
}

class PosterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(window.create("PrismluxPosterTest", nullptr, &posterWindowCallback, true));
    baseline = LWindowPoster::liveCount();
  }
  LWindowPoster* makePoster() {
    return new LWindowPoster(window.handle(), kTestMessage, this, [](void* user) {
      auto* self = static_cast<PosterTest*>(user);
      ++self->calls;
      if (self->repostFromCallback) {
        self->repostFromCallback = false;
        self->lastPoster->post();
      }
    });
  }
  int queued() {
    int n = 0;
    MSG message;
    while (PeekMessageW(&message, window.handle(), kTestMessage, kTestMessage, PM_REMOVE)) {
      ++n;
      DispatchMessageW(&message);
    }
    return n;
  }

  LMessageWindow window;
  int32_t baseline = 0;
  int calls = 0;
  bool repostFromCallback = false;
  LWindowPoster* lastPoster = nullptr;
};

TEST_F(PosterTest, PostTwiceBeforeArrivalGivesOneMessageAndOneCallback) {
  LWindowPoster* poster = makePoster();
  EXPECT_TRUE(poster->post());
  EXPECT_TRUE(poster->post());
  EXPECT_TRUE(poster->isPosted());
  EXPECT_EQ(queued(), 1);
  EXPECT_EQ(calls, 1);
  EXPECT_FALSE(poster->isPosted());
  poster->release();
  EXPECT_EQ(LWindowPoster::liveCount(), baseline);
}

TEST_F(PosterTest, CallbackMayPostTheNextMessage) {
  lastPoster = makePoster();
  repostFromCallback = true;
  lastPoster->post();
  // The flag was clear when the callback ran, so its post went out.
  EXPECT_EQ(queued(), 2);
  EXPECT_EQ(calls, 2);
  lastPoster->release();
}

TEST_F(PosterTest, ReleaseWhileInFlightDeletesOnArrivalWithoutCallback) {
  LWindowPoster* poster = makePoster();
  poster->post();
  poster->release();
  EXPECT_EQ(LWindowPoster::liveCount(), baseline + 1);
  EXPECT_EQ(queued(), 1);
  EXPECT_EQ(calls, 0);
  EXPECT_EQ(LWindowPoster::liveCount(), baseline);
}

TEST_F(PosterTest, ReleaseWhileIdleDeletesAtOnce) {
  makePoster()->release();
  EXPECT_EQ(LWindowPoster::liveCount(), baseline);
}

// PostMessage refused while `refusals` is above 0 (a full message queue), through the test
// program's own import table, which the poster's calls go through.
struct RefusedPosts {
  static inline std::atomic<int> refusals{0};
  static inline void* real = nullptr;
  static BOOL WINAPI post(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (refusals.load() > 0) {
      --refusals;
      SetLastError(ERROR_NOT_ENOUGH_QUOTA);
      return FALSE;
    }
    using Post = BOOL(WINAPI*)(HWND, UINT, WPARAM, LPARAM);
    return reinterpret_cast<Post>(real)(window, message, wParam, lParam);
  }
};

TEST_F(PosterTest, FailedPostLeavesNothingInFlightAndALaterPostRetries) {
  testpatch::ImportPatch wide("user32.dll", "PostMessageW", reinterpret_cast<void*>(&RefusedPosts::post));
  testpatch::ImportPatch narrow("user32.dll", "PostMessageA", reinterpret_cast<void*>(&RefusedPosts::post));
  ASSERT_TRUE(wide.ok() || narrow.ok());
  RefusedPosts::real = wide.ok() ? wide.original() : narrow.original();
  LWindowPoster* poster = makePoster();
  RefusedPosts::refusals = 1;
  EXPECT_FALSE(poster->post());
  EXPECT_FALSE(poster->isPosted());
  EXPECT_EQ(queued(), 0);
  // Nothing was left in flight: the next post goes out and its callback runs.
  EXPECT_TRUE(poster->post());
  EXPECT_TRUE(poster->isPosted());
  EXPECT_EQ(queued(), 1);
  EXPECT_EQ(calls, 1);
  poster->release();
  EXPECT_EQ(LWindowPoster::liveCount(), baseline);
}

bool classExists(const wchar_t* name) {
  WNDCLASSEXW info{};
  info.cbSize = sizeof(info);
  return GetClassInfoExW(LMessageWindow::ownModule(), name, &info) != FALSE;
}

TEST(EnvTest, CreateMakesAMessageOnlyWindowAndAWorkerAndOnlyOneAtATime) {
  testing_support::Watchdog watchdog(20000, "CreateMakesAMessageOnlyWindow");
  std::unique_ptr<CEnv> env(CEnv::create());
  ASSERT_NE(env, nullptr);
  EXPECT_EQ(CEnv::current(), env.get());
  EXPECT_EQ(FindWindowExW(HWND_MESSAGE, nullptr, L"CEnv", L"CEnv"), env->window());
  const uint32_t worker = env->dispatcher()->workerThreadId();
  EXPECT_NE(worker, 0u);
  EXPECT_NE(worker, GetCurrentThreadId());
  EXPECT_EQ(CEnv::create(), nullptr);

  env.reset();
  EXPECT_EQ(CEnv::current(), nullptr);
  EXPECT_EQ(FindWindowExW(HWND_MESSAGE, nullptr, L"CEnv", L"CEnv"), nullptr);
  // The last window took its class along: nothing is left to point into this image.
  EXPECT_FALSE(classExists(L"CEnv"));
  // The worker has ended.
  HANDLE thread = OpenThread(SYNCHRONIZE, FALSE, worker);
  if (thread != nullptr) {
    EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_OBJECT_0);
    CloseHandle(thread);
  }
}

TEST(EnvTest, DestroyAndCreateAgainGivesAWorkingEnvironment) {
  testing_support::Watchdog watchdog(20000, "DestroyAndCreateAgain");
  for (int round = 0; round < 3; ++round) {
    std::unique_ptr<CEnv> env(CEnv::create());
    ASSERT_NE(env, nullptr) << "round " << round;
    EXPECT_TRUE(classExists(L"CEnv"));
    Recorder owner;
    LAsyncEvent event(&owner, env->dispatcher());
    env->dispatcher()->lock();
    event.set();
    env->dispatcher()->unlockAndWake();
    EXPECT_TRUE(pumpUntil([&] { return owner.count(LAsyncEvent_Note) == 1; }, 5000));
  }
  EXPECT_FALSE(classExists(L"CEnv"));
}

TEST(EnvTest, ServiceMessageInFlightAtDestructionFreesThePoster) {
  testing_support::Watchdog watchdog(20000, "ServiceMessageInFlightAtDestruction");
  const int32_t baseline = LWindowPoster::liveCount();
  CEnv* env = CEnv::create();
  ASSERT_NE(env, nullptr);
  EXPECT_EQ(LWindowPoster::liveCount(), baseline + 1);
  {
    Recorder owner;
    LAsyncEvent event(&owner, env->dispatcher());
    env->dispatcher()->lock();
    event.set();
    env->dispatcher()->unlockAndWake();
  }
  // The event is gone, its service message is still queued.
  EXPECT_TRUE(env->dispatcher()->servicePoster()->isPosted());
  delete env;
  EXPECT_EQ(LWindowPoster::liveCount(), baseline);
  MSG message;
  EXPECT_FALSE(PeekMessageW(&message, nullptr, WM_USER, WM_USER, PM_NOREMOVE));
}

// Thread-creation stand-ins for the failure seam.
uintptr_t failToCreate(void*, unsigned, unsigned(__stdcall*)(void*), void*, unsigned, unsigned*) {
  return 0;
}
unsigned __stdcall dieAtOnce(void*) { return 9; }
uintptr_t createThreadThatDies(void* security, unsigned stack, unsigned(__stdcall*)(void*),
                               void*, unsigned flags, unsigned* id) {
  return LThread::realBeginThread(security, stack, &dieAtOnce, nullptr, flags, id);
}

TEST(EnvTest, CreationFailsCleanlyWhenTheWorkerCannotStart) {
  testing_support::Watchdog watchdog(20000, "CreationFailsCleanly");
  const int32_t baseline = LWindowPoster::liveCount();
  for (LThread::BeginThread seam : {&failToCreate, &createThreadThatDies}) {
    LThread::BeginThread previous = LThread::setBeginThread(seam);
    CEnv* env = CEnv::create();
    LThread::setBeginThread(previous);
    EXPECT_EQ(env, nullptr);
    delete env;
    EXPECT_EQ(CEnv::current(), nullptr);
    EXPECT_EQ(LWindowPoster::liveCount(), baseline);
    EXPECT_EQ(FindWindowExW(HWND_MESSAGE, nullptr, L"CEnv", L"CEnv"), nullptr);
    EXPECT_FALSE(classExists(L"CEnv"));
  }
  std::unique_ptr<CEnv> env(CEnv::create());
  EXPECT_NE(env, nullptr);
}

TEST(EnvTest, StopWhileTheWorkerWaitsEndsTheJoin) {
  testing_support::Watchdog watchdog(10000, "StopWhileTheWorkerWaits");
  CEnv* env = CEnv::create();
  ASSERT_NE(env, nullptr);
  // Its first pass (zero time-out) is over: the worker is in, or about to enter, its long wait.
  ASSERT_TRUE(testing_support::pumpUntil([&] { return env->dispatcher()->passCount() != 0; }, 5000));
  delete env;  // returns at all only if the stop ended that wait (else the watchdog fires)
}

}  // namespace
