// CWinUsbDevice against the simulated winusb.dll, with a real environment and its thread.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <vector>
#include <mutex>

#include "dmx/LLibrary.h"
#include "framework/LAsyncSignal.h"
#include "framework/LThread.h"
#include "support/Variant.h"
#include "support/Win32Text.h"
#include "tests/common/ImportPatch.h"
#include "tests/common/RunsAlone.h"
#include "tests/dmx/UsbTestSupport.h"

using usbtest::Call;
using usbtest::Rig;

namespace {

constexpr uint8_t kDataIn = 0x81;    // first IN pipe of type 3
constexpr uint8_t kDataOut = 0x02;   // first OUT pipe of type 3
constexpr uint8_t kOtherIn = 0x83;   // IN pipe of type 2, never fed by the simulator

class WatchedReadPipe;
struct RestartingRead;

class WinUsbDeviceTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    env_ = CEnv::create();
    ASSERT_NE(env_, nullptr);
    // The process's winusb.dll is the simulator; the device under test loads the same one.
    module_ = w32::loadLibrary("winusb.dll");
    ASSERT_TRUE(sim_.bind(module_)) << "winusb.dll is not the simulator (run with winusb=n)";
    deviceA_ = new simreg::ScopedDevice(usbtest::deviceSpec("USB\\VID_1234&PID_5678\\7101"));
    held_ = new simreg::ScopedDevice(usbtest::deviceSpec("USB\\VID_1234&PID_5678\\7103",
                                                         simreg::Placeholder::HeldByOther));
    ASSERT_TRUE(deviceA_->ok() && held_->ok());
  }
  static void TearDownTestSuite() {
    delete held_;
    delete deviceA_;
    delete env_;
    if (module_ != nullptr) FreeLibrary(module_);
  }
  void SetUp() override { sim_.reset(); }

  static LDispatcher* env() { return env_->dispatcher(); }
  static const char* pathA() { return deviceA_->path().c_str(); }
  static DWORD worker() { return env()->workerThreadId(); }
  // Signals reserved in the environment's wait.
  static uint32_t reserved() {
    env()->lock();
    const uint32_t count = env()->reservedSignals();
    env()->unlock();
    return count;
  }

  // Opens the rig's device on interface A and starts `read`; a packet completes it, and its
  // restart on the environment thread is held at the watched library call's closed gate.
  static void holdARestartAtTheLibrary(Rig& rig, WatchedReadPipe& watched, RestartingRead& read);

  static SimCounters counters(const char* path) {
    SimCounters c = {};
    sim_.getCounters(path, &c);
    return c;
  }

  static CEnv* env_;
  static HMODULE module_;
  static SimControlApi sim_;
  static simreg::ScopedDevice* deviceA_;
  static simreg::ScopedDevice* held_;
};

CEnv* WinUsbDeviceTest::env_ = nullptr;
HMODULE WinUsbDeviceTest::module_ = nullptr;
SimControlApi WinUsbDeviceTest::sim_;
simreg::ScopedDevice* WinUsbDeviceTest::deviceA_ = nullptr;
simreg::ScopedDevice* WinUsbDeviceTest::held_ = nullptr;

// ---- binding ------------------------------------------------------------------------------

TEST(ModuleTest, FindsLoadedModulesAndTheirExportsOnly) {
  LModule kernel(LString::fromUtf8("kernel32.dll"));
  ASSERT_NE(kernel.handle(), nullptr);
  EXPECT_NE(kernel.lookup("GetTickCount"), nullptr);
  EXPECT_EQ(kernel.lookup("NoSuchExportAnywhere"), nullptr);

  LModule absent(LString::fromUtf8("prismlux_absent_module.dll"));
  EXPECT_EQ(absent.handle(), nullptr);
  EXPECT_EQ(absent.lookup("GetTickCount"), nullptr);

  LLibrary missing(LString::fromUtf8("prismlux_absent_module.dll"));
  EXPECT_EQ(missing.handle(), nullptr);
}

TEST_F(WinUsbDeviceTest, ResolvesTheEntryPointsOfItsArchitecture) {
  Rig rig(env());
  EXPECT_TRUE(rig.device.isLibraryLoaded());
  EXPECT_NE(gWinUsbApi.Initialize, nullptr);
  EXPECT_NE(gWinUsbApi.ControlTransfer, nullptr);
  if constexpr (variant::kWinUsbEntryPoints == 9) {
    EXPECT_NE(gWinUsbApi.AbortPipe, nullptr);
  } else {
    EXPECT_EQ(gWinUsbApi.AbortPipe, nullptr);
  }
}

// A callback for a start that failed at once: made before the start returned, on its thread.
void expectFailedAtOnce(const Call& call) {
  EXPECT_EQ(call.error, CUsbTransfer::kFailed);
  EXPECT_EQ(call.length, 0u);
  EXPECT_EQ(call.thread, GetCurrentThreadId());
}

// ---- open and close -------------------------------------------------------------------------

TEST_F(WinUsbDeviceTest, OpenOnAnOpenDeviceReturnsZeroWithoutOpeningAgain) {
  Rig rig(env());
  ASSERT_EQ(rig.device.open(pathA()), CUsbDevice::kOpened);
  EXPECT_TRUE(rig.device.isOpen());
  EXPECT_EQ(rig.device.open(pathA()), CUsbDevice::kOpened);
  EXPECT_EQ(rig.device.open("\\\\?\\no#such#device"), CUsbDevice::kOpened);  // path not looked at
  EXPECT_EQ(sim_.calls(SIM_EP_INITIALIZE), 1u);
  // Another open of the path would have failed: the file is exclusive.
  Rig other(env());
  EXPECT_EQ(other.device.open(pathA()), CUsbDevice::kOpenFailed);
  EXPECT_EQ(counters(pathA()).openHandles, 1u);
}

TEST_F(WinUsbDeviceTest, OpenMapsWhyThePathCannotBeOpened) {
  Rig rig(env());
  EXPECT_EQ(rig.device.open("\\\\?\\usb#vid_1234&pid_5678#7999#{c7c60c86-7f33-443b-9908-2e0cc526c6f5}"),
            CUsbDevice::kNotFound);
  EXPECT_EQ(rig.device.open(held_->path().c_str()), CUsbDevice::kAccessDenied);
  EXPECT_FALSE(rig.device.isOpen());
  EXPECT_EQ(sim_.calls(SIM_EP_INITIALIZE), 0u);
}

// CreateFile refusing the path with `error`, through the executable's import table (the
// device code is linked into it). Wine gives ERROR_NOT_FOUND for no path we can make.
class RefusedCreateFile {
 public:
  explicit RefusedCreateFile(DWORD error)
      : patch_("kernel32.dll", variant::kAnsiWin32Text ? "CreateFileA" : "CreateFileW",
               reinterpret_cast<void*>(&refuse)) {
    error_ = error;
    calls_ = 0;
  }
  bool ok() const { return patch_.ok(); }
  static int calls() { return calls_; }

 private:
  static HANDLE WINAPI refuse(const void*, DWORD, DWORD, SECURITY_ATTRIBUTES*, DWORD, DWORD, HANDLE) {
    ++calls_;
    SetLastError(error_);
    return INVALID_HANDLE_VALUE;
  }
  static inline DWORD error_ = 0;
  static inline int calls_ = 0;
  testpatch::ImportPatch patch_;
};

TEST_F(WinUsbDeviceTest, OpenTakesEveryKindOfMissingPathAsNotFound) {
  Rig rig(env());
  const uint32_t reservedBefore = reserved();
  for (DWORD error : {DWORD(ERROR_PATH_NOT_FOUND), DWORD(ERROR_NOT_FOUND)}) {
    RefusedCreateFile refused(error);
    ASSERT_TRUE(refused.ok());
    // The file itself exists: only the refusal can make the open fail.
    EXPECT_EQ(rig.device.open(pathA()), CUsbDevice::kNotFound) << error;
    EXPECT_EQ(RefusedCreateFile::calls(), 1) << error;
  }
  {
    RefusedCreateFile refused(ERROR_SHARING_VIOLATION);
    EXPECT_EQ(rig.device.open(pathA()), CUsbDevice::kOpenFailed);
  }
  EXPECT_FALSE(rig.device.isOpen());
  EXPECT_EQ(sim_.calls(SIM_EP_INITIALIZE), 0u);
  // Each refused open gave its wait room back.
  EXPECT_EQ(reserved(), reservedBefore);
  EXPECT_EQ(rig.device.open(pathA()), CUsbDevice::kOpened);
}

TEST_F(WinUsbDeviceTest, FailedBindingClosesTheFileAgain) {
  Rig rig(env());
  const uint32_t reservedBefore = reserved();
  sim_.failNext(pathA(), SIM_OP_INITIALIZE, SIM_FAIL_AT_ONCE, ERROR_INVALID_FUNCTION);
  EXPECT_EQ(rig.device.open(pathA()), CUsbDevice::kOpenFailed);
  EXPECT_FALSE(rig.device.isOpen());
  EXPECT_EQ(reserved(), reservedBefore);
  // The file was closed: the exclusive open succeeds now.
  EXPECT_EQ(rig.device.open(pathA()), CUsbDevice::kOpened);
}

TEST_F(WinUsbDeviceTest, ClosedDeviceOpensAgain) {
  Rig rig(env());
  ASSERT_EQ(rig.device.open(pathA()), CUsbDevice::kOpened);
  rig.close();
  EXPECT_FALSE(rig.device.isOpen());
  EXPECT_EQ(counters(pathA()).openHandles, 0u);
  EXPECT_EQ(rig.device.open(pathA()), CUsbDevice::kOpened);
  EXPECT_EQ(counters(pathA()).openHandles, 1u);
}

// ---- pipes and descriptor ---------------------------------------------------------------------

TEST_F(WinUsbDeviceTest, FindPipeMatchesTypeAndDirectionAndSkips) {
  const SimPipe pipes[] = {
      {2, 0x83, 64, 0},  // IN, other type: never matches type 3
      {3, 0x81, 64, 0},
      {3, 0x02, 64, 0},
      {3, 0x84, 64, 0},
  };
  ASSERT_EQ(sim_.setPipes(pathA(), pipes, 4), 1);
  Rig rig(env());
  uint8_t address = 0, copy = 0;
  EXPECT_FALSE(rig.device.findPipe(3, CUsbDevice::kIn, 0, &address, &copy));  // closed
  ASSERT_EQ(rig.device.open(pathA()), CUsbDevice::kOpened);

  // IN pipes of type 3: [0x81, 0x84]; skip 1 -> 0x84
  ASSERT_TRUE(rig.device.findPipe(3, CUsbDevice::kIn, 1, &address, &copy));
  EXPECT_EQ(address, 0x84);
  EXPECT_EQ(copy, 0x84);
  uint8_t value[4] = {};
  EXPECT_EQ(sim_.pipePolicy(pathA(), 0x84, 2, value, 4), 1);  // AUTO_CLEAR_STALL
  EXPECT_EQ(value[0], 1);
  EXPECT_EQ(sim_.pipePolicy(pathA(), 0x84, 6, value, 4), 1);  // AUTO_FLUSH
  EXPECT_EQ(value[0], 1);
  EXPECT_EQ(sim_.pipePolicy(pathA(), 0x81, 2, value, 4), -1);  // skipped: left alone

  ASSERT_TRUE(rig.device.findPipe(3, CUsbDevice::kIn, 0, &address, &copy));
  EXPECT_EQ(address, 0x81);
  ASSERT_TRUE(rig.device.findPipe(3, CUsbDevice::kOut, 0, &address, &copy));
  EXPECT_EQ(address, 0x02);
  EXPECT_EQ(copy, 0x02);
  ASSERT_TRUE(rig.device.findPipe(2, CUsbDevice::kIn, 0, &address, &copy));
  EXPECT_EQ(address, 0x83);

  address = copy = 0x55;
  EXPECT_FALSE(rig.device.findPipe(3, CUsbDevice::kOut, 1, &address, &copy));
  EXPECT_FALSE(rig.device.findPipe(2, CUsbDevice::kOut, 0, &address, &copy));
  EXPECT_EQ(address, 0x55);
}

TEST_F(WinUsbDeviceTest, GetReleaseReadsBcdDevice) {
  ASSERT_EQ(sim_.setRelease(pathA(), 0x0123), 1);
  Rig rig(env());
  uint32_t release = 7;
  EXPECT_EQ(rig.device.getRelease(&release), 1u);  // closed
  EXPECT_EQ(release, 7u);
  ASSERT_EQ(rig.device.open(pathA()), CUsbDevice::kOpened);
  EXPECT_EQ(rig.device.getRelease(&release), 0u);
  EXPECT_EQ(release, 0x0123u);

  sim_.failNext(pathA(), SIM_OP_DESCRIPTOR, SIM_FAIL_AT_ONCE, ERROR_GEN_FAILURE);
  release = 7;
  EXPECT_EQ(rig.device.getRelease(&release), 1u);
  EXPECT_EQ(release, 7u);
}

// ---- transfers --------------------------------------------------------------------------------

TEST_F(WinUsbDeviceTest, TransferStartedWhileClosedCallsBackAtOnce) {
  Rig rig(env());
  uint8_t buffer[64];
  rig.read(0, kDataIn, buffer, sizeof buffer);
  ASSERT_EQ(rig.recorder.count(), 1u);
  const Call call = rig.recorder.calls()[0];
  EXPECT_EQ(call.transfer, rig.transfers[0]);
  expectFailedAtOnce(call);
  EXPECT_EQ(rig.device.outstandingTransfers(), 0u);
  EXPECT_EQ(sim_.calls(SIM_EP_READ_PIPE), 0u);
}

TEST_F(WinUsbDeviceTest, CompletionsArriveOnTheEnvironmentThread) {
  ASSERT_EQ(sim_.setParameters(pathA(), 1, 2, 3), 1);
  // Completions come late enough that no start can still see them: a start hands back any
  // finished transfer on its own thread.
  ASSERT_EQ(sim_.setCompletion(pathA(), SIM_COMPLETE_LATER, 50), 1);
  Rig rig(env());
  ASSERT_EQ(rig.device.open(pathA()), CUsbDevice::kOpened);

  uint8_t in[64] = {};
  rig.read(0, kDataIn, in, sizeof in);
  uint8_t out[] = {0x00, 0x01, 0xAB};  // one 1-byte frame
  rig.write(1, kDataOut, out, sizeof out);
  uint8_t reply[6] = {};
  rig.control(2, UsbSetupPacket{0xC2, 0x00, 0, kDataIn, 6}, reply, sizeof reply);
  const uint8_t packet[] = {0x00, 0x01, 0x11, 0x22};
  ASSERT_EQ(sim_.injectPacket(pathA(), packet, sizeof packet), 1);

  ASSERT_TRUE(rig.recorder.waitFor(3));
  for (const Call& call : rig.recorder.calls()) {
    EXPECT_EQ(call.thread, worker());
    EXPECT_EQ(call.error, CUsbTransfer::kDone);
    const uint32_t expected = call.transfer == rig.transfers[0]   ? sizeof packet
                              : call.transfer == rig.transfers[1] ? sizeof out
                                                                  : sizeof reply;
    EXPECT_EQ(call.length, expected);
  }
  EXPECT_EQ(std::memcmp(in, packet, sizeof packet), 0);
  // 01 00 02 00 03 00
  const uint8_t expectedReply[] = {1, 0, 2, 0, 3, 0};
  EXPECT_EQ(std::memcmp(reply, expectedReply, 6), 0);
  uint8_t sent[8] = {}, pipe = 0;
  EXPECT_EQ(sim_.outTransfer(pathA(), 0, sent, sizeof sent, &pipe), 3);
  EXPECT_EQ(pipe, kDataOut);
  SimSetup setup = {};
  ASSERT_GE(sim_.control(pathA(), 0, &setup, nullptr, 0), 0);
  EXPECT_EQ(setup.requestType, 0xC2);
  EXPECT_EQ(setup.index, kDataIn);
  EXPECT_EQ(setup.length, 6);
  EXPECT_EQ(rig.device.outstandingTransfers(), 0u);
}

TEST_F(WinUsbDeviceTest, TransferThatEndsAtOnceCallsBackBeforeTheStartReturns) {
  ASSERT_EQ(sim_.setCompletion(pathA(), SIM_COMPLETE_AT_ONCE, 0), 1);
  Rig rig(env());
  ASSERT_EQ(rig.device.open(pathA()), CUsbDevice::kOpened);
  uint8_t out[] = {0x00, 0x01, 0x42};
  rig.write(0, kDataOut, out, sizeof out);
  ASSERT_EQ(rig.recorder.count(), 1u);
  Call call = rig.recorder.calls()[0];
  EXPECT_EQ(call.error, CUsbTransfer::kDone);
  EXPECT_EQ(call.length, sizeof out);
  EXPECT_EQ(call.thread, GetCurrentThreadId());

  // A start the driver refuses ends at once as failed, whatever the error: even
  // ERROR_GEN_FAILURE means "device gone" only for a transfer that ended after pending.
  for (DWORD refusal : {DWORD(ERROR_INVALID_PARAMETER), DWORD(ERROR_GEN_FAILURE)}) {
    const size_t before = rig.recorder.count();
    sim_.failNext(pathA(), SIM_OP_WRITE, SIM_FAIL_AT_ONCE, refusal);
    rig.write(0, kDataOut, out, sizeof out);
    ASSERT_EQ(rig.recorder.count(), before + 1) << refusal;
    SCOPED_TRACE(refusal);
    expectFailedAtOnce(rig.recorder.calls()[before]);
  }
}

// ---- starts made on the environment thread -----------------------------------------------

// Whether a thread other than the caller can take the environment lock now (it waits for it
// for at most 10 s).
DWORD WINAPI takeAndLeaveTheLock(void* env) {
  static_cast<LDispatcher*>(env)->lock();
  static_cast<LDispatcher*>(env)->unlock();
  return 0;
}

DWORD WINAPI closeRigDevice(void* rig) {
  static_cast<Rig*>(rig)->device.close();
  return 0;
}

bool otherThreadCanTakeTheLock(LDispatcher* env) {
  HANDLE thread = CreateThread(nullptr, 0, &takeAndLeaveTheLock, env, 0, nullptr);
  if (thread == nullptr) return false;
  const bool taken = WaitForSingleObject(thread, 10000) == WAIT_OBJECT_0;
  CloseHandle(thread);
  return taken;
}

// The library's ReadPipe as the device calls it, watched on the environment thread: whether
// the environment lock was free during the call, and a gate the call waits at (open unless
// a test closes it) before it goes on to the library.
class WatchedReadPipe {
 public:
  explicit WatchedReadPipe(LDispatcher* env) : env_(env), original_(gWinUsbApi.ReadPipe) {
    current_ = this;
    gWinUsbApi.ReadPipe = &call;
  }
  ~WatchedReadPipe() {
    gWinUsbApi.ReadPipe = original_;
    current_ = nullptr;
    CloseHandle(gate);
    CloseHandle(entered);
  }

  HANDLE gate = CreateEventW(nullptr, TRUE, TRUE, nullptr);
  HANDLE entered = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  std::atomic<int> callsOnWorker{0};
  std::atomic<int> lockFreeDuringCall{0};
  std::atomic<DWORD> lastError{0};
  // The buffers of every call, in the order they reached the library.
  std::vector<PUCHAR> buffers() {
    std::lock_guard<std::mutex> hold(mutex_);
    return buffers_;
  }

 private:
  static BOOL WINAPI call(winusb::WINUSB_INTERFACE_HANDLE usb, UCHAR pipe, PUCHAR buffer,
                          ULONG length, PULONG bytes, LPOVERLAPPED overlapped) {
    WatchedReadPipe& self = *current_;
    {
      std::lock_guard<std::mutex> hold(self.mutex_);
      self.buffers_.push_back(buffer);
    }
    if (GetCurrentThreadId() != self.env_->workerThreadId())
      return self.original_(usb, pipe, buffer, length, bytes, overlapped);
    ++self.callsOnWorker;
    if (otherThreadCanTakeTheLock(self.env_)) ++self.lockFreeDuringCall;
    SetEvent(self.entered);
    WaitForSingleObject(self.gate, INFINITE);
    const BOOL ok = self.original_(usb, pipe, buffer, length, bytes, overlapped);
    const DWORD error = ok ? ERROR_SUCCESS : GetLastError();
    self.lastError = error;
    SetLastError(error);
    return ok;
  }

  static WatchedReadPipe* current_;
  std::mutex mutex_;
  std::vector<PUCHAR> buffers_;
  LDispatcher* const env_;
  const winusb::ReadPipe_t original_;
};
WatchedReadPipe* WatchedReadPipe::current_ = nullptr;

// A read whose callback (on the environment thread) starts its slot again, `restarts`
// times, and hands the last one to the rig's recorder.
struct RestartingRead {
  static void done(void* user, CUsbTransfer* transfer) {
    auto* self = static_cast<RestartingRead*>(user);
    const bool again = self->restarts-- > 1;
    self->rig->device.read(transfer, kDataIn, self->buffer, 64, again ? user : &self->rig->recorder,
                           again ? &RestartingRead::done : &usbtest::Recorder::done);
  }
  void start() {
    rig->env->lock();
    rig->device.read(rig->transfers[0], kDataIn, buffer, 64, this, &done);
    rig->env->unlockAndWake();
  }
  Rig* rig;
  int restarts;
  uint8_t buffer[64];
};

void WinUsbDeviceTest::holdARestartAtTheLibrary(Rig& rig, WatchedReadPipe& watched,
                                                RestartingRead& read) {
  ASSERT_EQ(rig.device.open(pathA()), CUsbDevice::kOpened);
  ResetEvent(watched.gate);
  read.start();
  const uint8_t packet[] = {0x00, 0x01, 0x11};
  ASSERT_EQ(sim_.injectPacket(pathA(), packet, sizeof packet), 1);
  ASSERT_EQ(WaitForSingleObject(watched.entered, 5000), WAIT_OBJECT_0);
}

// A transfer started again from its completion calls the library only after the
// environment thread has left the lock, so that the threads handing over frames do not
// wait for the driver; it still ends as any start does: later, or at once when the
// library refuses it, handed back on the environment thread.
TEST_F(WinUsbDeviceTest, AStartOnTheEnvironmentThreadCallsTheLibraryWithTheLockFree) {
  Rig rig(env());
  ASSERT_EQ(rig.device.open(pathA()), CUsbDevice::kOpened);
  WatchedReadPipe watched(env());
  RestartingRead pending{&rig, 1, {}};
  pending.start();
  const uint8_t first[] = {0x00, 0x01, 0x11};
  const uint8_t second[] = {0x00, 0x01, 0x22, 0x33};
  ASSERT_EQ(sim_.injectPacket(pathA(), first, sizeof first), 1);
  ASSERT_EQ(sim_.injectPacket(pathA(), second, sizeof second), 1);
  ASSERT_TRUE(rig.recorder.waitFor(1));
  EXPECT_EQ(watched.callsOnWorker.load(), 1);
  EXPECT_EQ(watched.lockFreeDuringCall.load(), 1);
  Call call = rig.recorder.calls()[0];
  EXPECT_EQ(call.error, CUsbTransfer::kDone);
  EXPECT_EQ(call.length, sizeof second);
  EXPECT_EQ(call.thread, worker());
  EXPECT_EQ(std::memcmp(pending.buffer, second, sizeof second), 0);

  // Refused by the library: failed once, on the environment thread, and the slot is free.
  RestartingRead refused{&rig, 1, {}};
  refused.start();
  ASSERT_EQ(sim_.waitOutstandingReads(pathA(), 1, 5000), 1);
  sim_.failNext(pathA(), SIM_OP_READ, SIM_FAIL_AT_ONCE, ERROR_INVALID_PARAMETER);
  ASSERT_EQ(sim_.injectPacket(pathA(), first, sizeof first), 1);
  ASSERT_TRUE(rig.recorder.waitFor(2));
  call = rig.recorder.calls()[1];
  EXPECT_EQ(call.error, CUsbTransfer::kFailed);
  EXPECT_EQ(call.length, 0u);
  EXPECT_EQ(call.thread, worker());
  EXPECT_EQ(watched.callsOnWorker.load(), 2);
  EXPECT_EQ(watched.lockFreeDuringCall.load(), 2);
  env()->lock();
  EXPECT_EQ(rig.device.outstandingTransfers(), 0u);
  env()->unlock();
}

// A read started on another thread while the environment thread still holds back a start
// of the same pipe reaches the library after it: the driver queues a pipe's reads in the
// order they come, and the link takes its packets in the order it started its reads.
TEST_F(WinUsbDeviceTest, AStartFromAnotherThreadReachesTheLibraryAfterOneHeldBack) {
  Rig rig(env());
  WatchedReadPipe watched(env());
  RestartingRead held{&rig, 1, {}};
  ASSERT_NO_FATAL_FAILURE(holdARestartAtTheLibrary(rig, watched, held));
  const uint8_t packets[][4] = {{0x00, 0x01, 0x22}, {0x00, 0x01, 0x33}};

  struct Starter {
    static DWORD WINAPI entry(void* self) {
      auto* starter = static_cast<Starter*>(self);
      starter->rig->read(1, kDataIn, starter->buffer, sizeof starter->buffer);
      return 0;
    }
    Rig* rig;
    uint8_t buffer[64];
  } starter{&rig, {}};
  HANDLE thread = CreateThread(nullptr, 0, &Starter::entry, &starter, 0, nullptr);
  ASSERT_NE(thread, nullptr);
  // Time for the other start to overtake, were it let through.
  WaitForSingleObject(thread, 300);
  SetEvent(watched.gate);
  ASSERT_EQ(WaitForSingleObject(thread, 10000), WAIT_OBJECT_0);
  CloseHandle(thread);
  EXPECT_EQ(watched.buffers(), (std::vector<PUCHAR>{held.buffer, held.buffer, starter.buffer}));

  ASSERT_EQ(sim_.injectPacket(pathA(), packets[0], 3), 1);
  ASSERT_EQ(sim_.injectPacket(pathA(), packets[1], 3), 1);
  ASSERT_TRUE(rig.recorder.waitFor(2));
  EXPECT_EQ(std::memcmp(held.buffer, packets[0], 3), 0);
  EXPECT_EQ(std::memcmp(starter.buffer, packets[1], 3), 0);
}

// A close that takes the handles while the environment thread is still calling the library
// with them (a start it queued before) frees them only after that call has returned.
TEST_F(WinUsbDeviceTest, CloseFreesTheHandlesOnlyAfterAStartStillCallingTheLibrary) {
  Rig rig(env());
  WatchedReadPipe watched(env());
  RestartingRead read{&rig, 1, {}};
  ASSERT_NO_FATAL_FAILURE(holdARestartAtTheLibrary(rig, watched, read));

  HANDLE closer = CreateThread(nullptr, 0, &closeRigDevice, &rig, 0, nullptr);
  ASSERT_NE(closer, nullptr);
  // The close has taken the handles; the library call made with them is still held.
  ASSERT_TRUE(usbtest::waitUntil([&] { return !rig.device.isOpen(); }));
  SetEvent(watched.gate);
  ASSERT_EQ(WaitForSingleObject(closer, 10000), WAIT_OBJECT_0);
  CloseHandle(closer);
  EXPECT_EQ(watched.lastError.load(), static_cast<DWORD>(ERROR_IO_PENDING));
  EXPECT_EQ(sim_.calls(SIM_EP_FREE), 1u);
  ASSERT_EQ(rig.recorder.count(), 1u);
  EXPECT_EQ(rig.recorder.calls()[0].error, CUsbTransfer::kFailed);
}

// A driver that leaves a slot's event set from its last operation when the next one
// starts: the device still waits for the new operation's end, instead of hearing of the old
// one again and again while the new one runs.
TEST_F(WinUsbDeviceTest, AnEventLeftSetByTheSlotsLastOperationIsNotTakenForTheNextOnesEnd) {
  ASSERT_EQ(sim_.setCompletion(pathA(), SIM_COMPLETE_LATER_KEEPING_EVENT, 0), 1);
  Rig rig(env());
  ASSERT_EQ(rig.device.open(pathA()), CUsbDevice::kOpened);
  uint8_t in[64];
  const uint8_t packet[] = {0x00, 0x01, 0x07};
  rig.read(0, kDataIn, in, sizeof in);
  ASSERT_EQ(sim_.injectPacket(pathA(), packet, sizeof packet), 1);
  ASSERT_TRUE(rig.recorder.waitFor(1));
  // The same slot again: its event is still set, the operation runs.
  rig.read(0, kDataIn, in, sizeof in);
  ASSERT_EQ(sim_.waitOutstandingReads(pathA(), 1, 5000), 1);
  const uint32_t passes = env()->passCount();
  // A worker that took the old signal for the new end would pass thousands of times here.
  testwaits::pumpFor(50);
  EXPECT_LT(env()->passCount() - passes, 10u);
  EXPECT_EQ(rig.recorder.count(), 1u);
  ASSERT_EQ(sim_.injectPacket(pathA(), packet, sizeof packet), 1);
  ASSERT_TRUE(rig.recorder.waitFor(2));
  EXPECT_EQ(rig.recorder.calls()[1].error, CUsbTransfer::kDone);
}

TEST_F(WinUsbDeviceTest, LaterTransferWaitsForTheEarlierOneOfItsQueue) {
  Rig rig(env());
  ASSERT_EQ(rig.device.open(pathA()), CUsbDevice::kOpened);
  uint8_t first[64], second[64];
  rig.read(0, kOtherIn, first, sizeof first);  // never fed
  rig.read(1, kDataIn, second, sizeof second);
  ASSERT_EQ(sim_.waitOutstandingReads(pathA(), 2, 5000), 1);

  const uint8_t packet[] = {0x00, 0x01, 0x07};
  ASSERT_EQ(sim_.injectPacket(pathA(), packet, sizeof packet), 1);
  ASSERT_TRUE(usbtest::waitUntil([] { return counters(pathA()).readsCompleted == 1; }));
  // A write of the other queue ends: its note makes the device look at every queue.
  uint8_t out[] = {0x00, 0x01};
  rig.write(2, kDataOut, out, sizeof out);
  ASSERT_TRUE(rig.recorder.waitFor(1));
  EXPECT_EQ(rig.recorder.count(), 1u) << "the second read was handed back before the first";
  EXPECT_EQ(rig.recorder.calls()[0].transfer, rig.transfers[2]);

  // The first read fails with a general failure; both come back, first one first.
  sim_.failNext(pathA(), SIM_OP_READ, SIM_FAIL_STATUS, SIM_STATUS_UNSUCCESSFUL);
  ASSERT_TRUE(rig.recorder.waitFor(3));
  std::vector<Call> calls = rig.recorder.calls();
  EXPECT_EQ(calls[1].transfer, rig.transfers[0]);
  EXPECT_EQ(calls[1].error, CUsbTransfer::kDeviceGone);
  EXPECT_EQ(calls[1].length, 0u);
  EXPECT_EQ(calls[2].transfer, rig.transfers[1]);
  EXPECT_EQ(calls[2].error, CUsbTransfer::kDone);
  EXPECT_EQ(calls[2].length, sizeof packet);
}

TEST_F(WinUsbDeviceTest, RestartOfAQueuedTransferFailsAtOnceAndLeavesItsOperationAlone) {
  Rig rig(env());
  ASSERT_EQ(rig.device.open(pathA()), CUsbDevice::kOpened);
  uint8_t first[64] = {}, second[64] = {};
  rig.read(0, kDataIn, first, sizeof first);
  ASSERT_EQ(sim_.waitOutstandingReads(pathA(), 1, 5000), 1);

  // The same slot again while it is queued: the second starter hears at once, on its thread.
  usbtest::Recorder refused;
  env()->lock();
  rig.device.read(rig.transfers[0], kDataIn, second, sizeof second, &refused,
                  &usbtest::Recorder::done);
  env()->unlockAndWake();
  ASSERT_EQ(refused.count(), 1u);
  const Call call = refused.calls()[0];
  EXPECT_NE(call.transfer, rig.transfers[0]);
  expectFailedAtOnce(call);

  // The queued read goes on as it was: nothing else started, and it ends to its own starter.
  EXPECT_EQ(rig.device.outstandingTransfers(), 1u);
  EXPECT_EQ(sim_.calls(SIM_EP_READ_PIPE), 1u);
  EXPECT_EQ(rig.recorder.count(), 0u);
  const uint8_t packet[] = {0x00, 0x01, 0x33};
  ASSERT_EQ(sim_.injectPacket(pathA(), packet, sizeof packet), 1);
  ASSERT_TRUE(rig.recorder.waitFor(1));
  const Call done = rig.recorder.calls()[0];
  EXPECT_EQ(done.transfer, rig.transfers[0]);
  EXPECT_EQ(done.error, CUsbTransfer::kDone);
  EXPECT_EQ(done.length, sizeof packet);
  EXPECT_EQ(std::memcmp(first, packet, sizeof packet), 0);
  EXPECT_EQ(refused.count(), 1u);
  EXPECT_EQ(rig.device.outstandingTransfers(), 0u);
}

TEST_F(WinUsbDeviceTest, FailuresOtherThanGeneralFailureGiveErrorOne) {
  Rig rig(env());
  ASSERT_EQ(rig.device.open(pathA()), CUsbDevice::kOpened);
  uint8_t in[64];
  rig.read(0, kDataIn, in, sizeof in);
  ASSERT_EQ(sim_.waitOutstandingReads(pathA(), 1, 5000), 1);
  sim_.failNext(pathA(), SIM_OP_READ, SIM_FAIL_STATUS, SIM_STATUS_DEVICE_NOT_CONNECTED);
  ASSERT_TRUE(rig.recorder.waitFor(1));
  EXPECT_EQ(rig.recorder.calls()[0].error, CUsbTransfer::kFailed);
  EXPECT_EQ(rig.recorder.calls()[0].length, 0u);
}

TEST_F(WinUsbDeviceTest, CloseReturnsOnlyAfterEveryOutstandingTransferCameBack) {
  Rig rig(env(), 16);
  ASSERT_EQ(rig.device.open(pathA()), CUsbDevice::kOpened);
  uint8_t buffers[16][64];
  for (size_t i = 0; i < 16; ++i) rig.read(i, kDataIn, buffers[i], 64);
  ASSERT_EQ(sim_.waitOutstandingReads(pathA(), 16, 5000), 1);
  EXPECT_EQ(rig.recorder.count(), 0u);

  size_t handedBackWhenClosed = 0;
  usbtest::runBounded("close", 10000, [&] {
    rig.device.close();
    handedBackWhenClosed = rig.recorder.count();
  });
  EXPECT_EQ(handedBackWhenClosed, 16u);
  EXPECT_EQ(rig.device.outstandingTransfers(), 0u);
  std::vector<Call> calls = rig.recorder.calls();
  ASSERT_EQ(calls.size(), 16u);
  for (size_t i = 0; i < 16; ++i) {
    EXPECT_EQ(calls[i].transfer, rig.transfers[i]);  // in start order
    EXPECT_EQ(calls[i].error, CUsbTransfer::kFailed);
    EXPECT_EQ(calls[i].length, 0u);
  }
}

TEST_F(WinUsbDeviceTest, OpenFailsCleanlyWhenItsTransfersCouldNotBeWatched) {
  // Take up the room the environment has now: the device's three watched transfers need
  // one more helper wait thread.
  env()->lock();
  const uint32_t taken = env()->reservedSignals() > env()->armedCount() ? env()->reservedSignals()
                                                                       : env()->armedCount();
  const uint32_t fill = env()->signalRoom() - taken;
  env()->unlock();
  ASSERT_TRUE(env()->reserveSignals(fill));

  LThread::BeginThread real = LThread::setBeginThread(
      [](void*, unsigned, unsigned(__stdcall*)(void*), void*, unsigned, unsigned*) -> uintptr_t {
        return 0;
      });
  {
    Rig rig(env());
    EXPECT_EQ(rig.device.open(pathA()), CUsbDevice::kOpenFailed);
    EXPECT_FALSE(rig.device.isOpen());
    EXPECT_EQ(counters(pathA()).openHandles, 0u);
  }
  LThread::setBeginThread(real);
  env()->lock();
  EXPECT_EQ(env()->reservedSignals(), taken + fill);
  env()->unlock();

  // With a thread to be had the same open works, and its transfer is watched behind every
  // signal the environment's own wait holds.
  Rig rig(env());
  ASSERT_EQ(rig.device.open(pathA()), CUsbDevice::kOpened);
  HANDLE never = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  std::vector<std::unique_ptr<LAsyncSignal>> fillers;
  env()->lock();
  for (uint32_t i = 0; i < LDispatcher::kOwnWaitCapacity; ++i) {
    fillers.push_back(std::make_unique<LAsyncSignal>(nullptr, env()));
    fillers.back()->arm(never);
  }
  env()->unlockAndWake();
  uint8_t in[64];
  rig.read(0, kDataIn, in, sizeof in);
  const uint8_t packet[] = {0x00, 0x01, 0x09};
  ASSERT_EQ(sim_.injectPacket(pathA(), packet, sizeof packet), 1);
  ASSERT_TRUE(rig.recorder.waitFor(1));
  EXPECT_EQ(rig.recorder.calls()[0].error, CUsbTransfer::kDone);
  EXPECT_EQ(rig.recorder.calls()[0].length, sizeof packet);

  fillers.clear();
  CloseHandle(never);
  rig.close();
  env()->releaseSignals(fill);
  env()->lock();
  EXPECT_EQ(env()->reservedSignals(), taken);
  env()->unlock();
}

// No more signals are reserved than one wait of the environment and its helpers can hold:
// the device that would cross the bound is refused before it opens anything.
TEST_F(WinUsbDeviceTest, OpenBeyondTheSignalBoundIsRefused) {
  constexpr uint32_t kWatched = 3;  // one transfer watched per queue
  const uint32_t reservedBefore = reserved();
  const uint32_t bound = env()->setSignalBound(reservedBefore + kWatched - 1);
  EXPECT_EQ(bound, LDispatcher::kMaxArmedSignals);
  {
    Rig rig(env());
    EXPECT_EQ(rig.device.open(pathA()), CUsbDevice::kOpenFailed);
    EXPECT_EQ(counters(pathA()).openHandles, 0u);
    EXPECT_EQ(reserved(), reservedBefore);
  }
  env()->setSignalBound(reservedBefore + kWatched);
  {
    Rig rig(env());
    EXPECT_EQ(rig.device.open(pathA()), CUsbDevice::kOpened);
    EXPECT_EQ(reserved(), reservedBefore + kWatched);
    rig.close();
  }
  env()->setSignalBound(bound);
  EXPECT_EQ(reserved(), reservedBefore);
}

TEST_F(WinUsbDeviceTest, AbortPipeEndsItsTransfersWhereSupported) {
  Rig rig(env());
  ASSERT_EQ(rig.device.open(pathA()), CUsbDevice::kOpened);
  uint8_t in[64];
  rig.read(0, kDataIn, in, sizeof in);
  ASSERT_EQ(sim_.waitOutstandingReads(pathA(), 1, 5000), 1);
  rig.device.abortPipe(kDataIn);
  if constexpr (variant::kWinUsbEntryPoints == 9) {
    ASSERT_TRUE(rig.recorder.waitFor(1));
    EXPECT_EQ(rig.recorder.calls()[0].error, CUsbTransfer::kFailed);
  } else {
    // Not resolved on x86: nothing happens. A write ends after it, and its note makes the
    // device look at the read's queue too.
    uint8_t out[] = {0x00};
    rig.write(1, kDataOut, out, sizeof out);
    ASSERT_TRUE(rig.recorder.waitFor(1));
    EXPECT_EQ(rig.recorder.count(), 1u);
    EXPECT_EQ(rig.recorder.calls()[0].transfer, rig.transfers[1]);
    EXPECT_EQ(sim_.calls(SIM_EP_ABORT_PIPE), 0u);
  }
}

// ---- the library reference ------------------------------------------------------------------

// Each device holds one reference to winusb.dll from construction to destruction, so
// destroying one leaves the library to the other, and destroying the last one unloads it.
// Run alone (dmx.winusb_library): nobody else may hold the library, so the test gives back
// its own reference once the devices hold theirs, and no transfer ever pends (the
// simulator keeps itself loaded for good once its completion thread has started).
TEST(WinUsbLibraryAlone, DestroyingOneDeviceLeavesTheLibraryToTheOther) {
  PRISMLUX_SKIP_UNLESS_ALONE();
  std::unique_ptr<CEnv> env(CEnv::create());
  ASSERT_NE(env, nullptr);
  simreg::ScopedDevice deviceA(usbtest::deviceSpec("USB\\VID_1234&PID_5678\\7111"));
  simreg::ScopedDevice deviceB(usbtest::deviceSpec("USB\\VID_1234&PID_5678\\7112"));
  ASSERT_TRUE(deviceA.ok() && deviceB.ok());
  HMODULE library = w32::loadLibrary("winusb.dll");
  SimControlApi sim;
  ASSERT_TRUE(sim.bind(library)) << "winusb.dll is not the simulator (run with winusb=n)";
  sim.reset();
  // Every transfer that can end when it is started ends inside its start.
  ASSERT_EQ(sim.setCompletion(nullptr, SIM_COMPLETE_AT_ONCE, 0), 1);

  auto first = std::make_unique<Rig>(env->dispatcher());
  auto second = std::make_unique<Rig>(env->dispatcher());
  ASSERT_EQ(first->device.open(deviceA.path().c_str()), CUsbDevice::kOpened);
  ASSERT_EQ(second->device.open(deviceB.path().c_str()), CUsbDevice::kOpened);
  FreeLibrary(library);  // from here on only the devices hold it

  first.reset();
  if (w32::getModuleHandle("winusb.dll") != library) {
    second.release();  // its library is gone: closing it would call into nothing
    FAIL() << "destroying one device gave back the other's reference too";
  }
  const uint8_t packet[] = {0x00, 0x01, 0x33, 0x44};
  ASSERT_EQ(sim.injectPacket(deviceB.path().c_str(), packet, sizeof packet), 1);
  uint8_t in[64];
  second->read(0, kDataIn, in, sizeof in);
  ASSERT_EQ(second->recorder.count(), 1u);
  EXPECT_EQ(second->recorder.calls()[0].error, CUsbTransfer::kDone);
  EXPECT_EQ(second->recorder.calls()[0].length, sizeof packet);
  uint32_t release = 0;
  EXPECT_EQ(second->device.getRelease(&release), 0u);

  second.reset();
  EXPECT_EQ(w32::getModuleHandle("winusb.dll"), nullptr) << "a reference was never given back";
}

}  // namespace
