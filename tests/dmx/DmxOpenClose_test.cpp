// The port's open and close against simulated interfaces: which interface a name selects,
// skipping interfaces that do not open, and the environment's life from the first open to
// the last close.
#include "dmx/DmxPort.h"
#include "dmx/DmxPortState.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "dmx/CDmxDeviceList.h"
#include "framework/LThread.h"
#include "sim/SimControl.h"
#include "sim/SimDeviceRegistry.h"
#include "support/Windows.h"
#include "tests/common/ProcessCounts.h"

namespace {

using processcounts::threadExists;
using simreg::InterfaceClass;
using simreg::Placeholder;

uint32_t openHandlesOf(const std::string& path) {
  SimCounters counters{};
  sim_get_counters(path.c_str(), &counters);
  return counters.openHandles;
}

// Counts the threads the framework starts, so that a test can see an environment that was
// created and destroyed within one call.
std::atomic<int> threadsStarted{0};
uintptr_t countingBeginThread(void* security, unsigned stackSize, unsigned(__stdcall* start)(void*),
                              void* argument, unsigned flags, unsigned* threadId) {
  ++threadsStarted;
  return LThread::realBeginThread(security, stackSize, start, argument, flags, threadId);
}
uintptr_t failingBeginThread(void*, unsigned, unsigned(__stdcall*)(void*), void*, unsigned,
                             unsigned*) {
  return 0;
}

class DmxOpenCloseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sim_reset();
    CDmxDeviceList list;
    ASSERT_FALSE(list.next()) << "devices left in the prefix";
  }
  void TearDown() override {
    LThread::setBeginThread(nullptr);
    EXPECT_EQ(dmxOpenCount(), 0);
    EXPECT_FALSE(dmxHasEnvironment());
  }

  const simreg::ScopedDevice& add(const std::string& instanceId, InterfaceClass cls,
                                  const char* serial = nullptr,
                                  Placeholder placeholder = Placeholder::File) {
    simreg::DeviceSpec spec;
    spec.instanceId = instanceId;
    spec.interfaceClass = cls;
    if (serial != nullptr) spec.serialNumber = serial;
    spec.placeholder = placeholder;
    devices_.push_back(std::make_unique<simreg::ScopedDevice>(spec));
    EXPECT_TRUE(devices_.back()->ok()) << instanceId;
    return *devices_.back();
  }

  // The name opens `device` and no other.
  void expectOpens(const std::string& name, const simreg::ScopedDevice& device) {
    SCOPED_TRACE(name);
    CDmxIo* io = dmxOpen(name.c_str());
    ASSERT_NE(io, nullptr);
    for (const auto& each : devices_) {
      EXPECT_EQ(openHandlesOf(each->path()), each.get() == &device ? 1u : 0u) << each->path();
    }
    dmxClose(io);
  }

  std::vector<std::unique_ptr<simreg::ScopedDevice>> devices_;
};

TEST_F(DmxOpenCloseTest, NoDeviceCreatesAndDestroysTheEnvironment) {
  threadsStarted = 0;
  LThread::setBeginThread(countingBeginThread);
  EXPECT_EQ(dmxOpen(nullptr), nullptr);
  EXPECT_EQ(dmxOpen(""), nullptr);
  EXPECT_EQ(dmxOpen("1234"), nullptr);
  // One environment (one worker) per failed first open, each gone again.
  EXPECT_EQ(threadsStarted.load(), 3);
  EXPECT_EQ(dmxOpenCount(), 0);
  EXPECT_FALSE(dmxHasEnvironment());
  EXPECT_EQ(dmxWorkerThreadId(), 0u);

  // Close of null changes nothing.
  dmxClose(nullptr);
  EXPECT_EQ(dmxOpenCount(), 0);
}

TEST_F(DmxOpenCloseTest, AnEnvironmentThatCannotBeCreatedFailsTheOpenCleanly) {
  const auto& device = add("USB\\VID_1234&PID_0001\\1234", InterfaceClass::Primary);
  LThread::setBeginThread(failingBeginThread);
  EXPECT_EQ(dmxOpen("1234"), nullptr);
  EXPECT_EQ(dmxOpenCount(), 0);
  EXPECT_FALSE(dmxHasEnvironment());
  EXPECT_EQ(openHandlesOf(device.path()), 0u);

  LThread::setBeginThread(nullptr);
  CDmxIo* io = dmxOpen("1234");
  ASSERT_NE(io, nullptr);
  EXPECT_EQ(dmxOpenCount(), 1);
  dmxClose(io);
}

TEST_F(DmxOpenCloseTest, NamesSelectBySerialNumberCaseSensitively) {
  const auto& device = add("USB\\VID_1234&PID_0002\\0001", InterfaceClass::Secondary, "AbC1");
  EXPECT_EQ(dmxOpen("abc1"), nullptr);
  EXPECT_EQ(dmxOpen("ABC1"), nullptr);
  EXPECT_EQ(dmxOpenCount(), 0);

  CDmxIo* io = dmxOpen("AbC1");
  ASSERT_NE(io, nullptr);
  EXPECT_EQ(openHandlesOf(device.path()), 1u);
  dmxClose(io);
  EXPECT_EQ(openHandlesOf(device.path()), 0u);
}

TEST_F(DmxOpenCloseTest, DigitNamesFindChecksumSerialsWithOrWithoutTheirZeros) {
  // No registry value: the serial number is the padded checksum of the path.
  const auto& device = add("USB\\VID_1234&PID_0002\\0002", InterfaceClass::Secondary);
  std::string serial;
  {
    CDmxDeviceList list;
    ASSERT_TRUE(list.next());
    serial = list.serialNumber().text();
  }
  ASSERT_EQ(serial.size(), 8u);
  const std::string asNumber = std::to_string(std::stoul(serial));  // what a number prints

  for (const std::string& name : {serial, asNumber, "0" + asNumber}) {
    SCOPED_TRACE(name);
    CDmxIo* io = dmxOpen(name.c_str());
    ASSERT_NE(io, nullptr);
    EXPECT_EQ(openHandlesOf(device.path()), 1u);
    dmxClose(io);
  }
  EXPECT_EQ(dmxOpen(std::to_string(std::stoul(serial) + 1).c_str()), nullptr);
}

// "1234" and "01234" select each other by value. The first class is walked before the
// second, so each order is made by putting one serial in each class.
TEST_F(DmxOpenCloseTest, AnExactSerialMatchWinsOverAMatchByValueWhereverTheWalkMeetsIt) {
  {
    // Walk: [1234, 01234]
    const auto& plain = add("USB\\VID_1234&PID_0001\\1234", InterfaceClass::Primary);
    const auto& padded = add("USB\\VID_1234&PID_0002\\0004", InterfaceClass::Secondary, "01234");
    expectOpens("1234", plain);
    expectOpens("01234", padded);
    // An exact match that does not open leaves the name to the matches by value.
    ASSERT_TRUE(simreg::setPlaceholder(plain.path(), Placeholder::HeldByOther));
    expectOpens("1234", padded);
  }
  devices_.clear();
  {
    // Walk: [000NNNNN, NNNNN]. A first-class instance id without a 4-byte last component
    // gives the checksum serial, zero-padded to 8 digits (a CRC-16 has at most 5).
    const auto& padded = add("USB\\VID_1234&PID_0001\\SN", InterfaceClass::Primary);
    std::string paddedSerial;
    {
      CDmxDeviceList list;
      ASSERT_TRUE(list.next());
      paddedSerial = list.serialNumber().text();
    }
    const std::string plainSerial = paddedSerial.substr(paddedSerial.find_first_not_of('0'));
    ASSERT_LT(plainSerial.size(), paddedSerial.size());
    const auto& plain = add("USB\\VID_1234&PID_0002\\0005", InterfaceClass::Secondary,
                            plainSerial.c_str());
    expectOpens(plainSerial, plain);
    expectOpens(paddedSerial, padded);
    ASSERT_TRUE(simreg::setPlaceholder(plain.path(), Placeholder::HeldByOther));
    expectOpens(plainSerial, padded);
  }
}

TEST_F(DmxOpenCloseTest, InterfacesThatDoNotOpenAreSkipped) {
  // The walk meets the held interface first (first class before second).
  const auto& held = add("USB\\VID_1234&PID_0001\\1111", InterfaceClass::Primary, nullptr,
                         Placeholder::HeldByOther);
  const auto& free = add("USB\\VID_1234&PID_0002\\0003", InterfaceClass::Secondary, "1111");

  // Empty name: the first interface that opens.
  CDmxIo* io = dmxOpen("");
  ASSERT_NE(io, nullptr);
  EXPECT_EQ(openHandlesOf(held.path()), 0u);
  EXPECT_EQ(openHandlesOf(free.path()), 1u);

  // The only free interface is now ours: a second open finds nothing, and the environment
  // stays for the device that lives.
  const uint32_t worker = dmxWorkerThreadId();
  EXPECT_EQ(dmxOpen(""), nullptr);
  EXPECT_EQ(dmxOpenCount(), 1);
  EXPECT_EQ(dmxWorkerThreadId(), worker);
  dmxClose(io);

  // A name that two interfaces carry: the held one is passed over for the other.
  io = dmxOpen("1111");
  ASSERT_NE(io, nullptr);
  EXPECT_EQ(openHandlesOf(free.path()), 1u);
  dmxClose(io);
}

TEST_F(DmxOpenCloseTest, TwoDevicesShareOneEnvironmentUntilTheLastClose) {
  add("USB\\VID_1234&PID_0001\\1111", InterfaceClass::Primary);
  add("USB\\VID_1234&PID_0001\\2222", InterfaceClass::Primary);

  CDmxIo* first = dmxOpen("1111");
  ASSERT_NE(first, nullptr);
  const uint32_t worker = dmxWorkerThreadId();
  ASSERT_NE(worker, 0u);
  EXPECT_TRUE(threadExists(worker));

  CDmxIo* second = dmxOpen("2222");
  ASSERT_NE(second, nullptr);
  EXPECT_NE(second, first);
  EXPECT_EQ(dmxOpenCount(), 2);
  EXPECT_EQ(dmxWorkerThreadId(), worker);

  dmxClose(nullptr);
  EXPECT_EQ(dmxOpenCount(), 2);

  dmxClose(first);
  EXPECT_EQ(dmxOpenCount(), 1);
  EXPECT_TRUE(dmxHasEnvironment());
  EXPECT_TRUE(threadExists(worker));

  dmxClose(second);
  EXPECT_EQ(dmxOpenCount(), 0);
  EXPECT_FALSE(dmxHasEnvironment());
  // The worker was joined before the close returned.
  EXPECT_FALSE(threadExists(worker));

  // A later first open makes a new environment.
  CDmxIo* again = dmxOpen("1111");
  ASSERT_NE(again, nullptr);
  EXPECT_NE(dmxWorkerThreadId(), 0u);
  EXPECT_TRUE(threadExists(dmxWorkerThreadId()));
  dmxClose(again);
}

TEST_F(DmxOpenCloseTest, AnOpenedDeviceCarriesFramesBothWays) {
  const auto& device = add("USB\\VID_1234&PID_0001\\3333", InterfaceClass::Primary);
  CDmxIo* io = dmxOpen("3333");
  ASSERT_NE(io, nullptr);

  struct Received {
    uint8_t bytes[513] = {};
    int32_t count = -1;
  } received;
  dmxRead(io, received.bytes, sizeof received.bytes,
          [](void* user, int32_t count) { static_cast<Received*>(user)->count = count; },
          &received);
  int writesDone = 0;
  const uint8_t frame[] = {0x00, 0x10, 0x20};
  ASSERT_EQ(dmxWrite(io, frame, 3, [](void* user) { ++*static_cast<int*>(user); }, &writesDone), 1);

  const uint8_t incoming[] = {0x00, 0x7F, 0xFF, 0x01};
  ASSERT_EQ(sim_inject_frame(device.path().c_str(), incoming, 4, 0), 1);
  // A second frame ends the first (a frame ends at the next start marker).
  ASSERT_EQ(sim_inject_frame(device.path().c_str(), incoming, 1, 0), 1);

  // Callbacks arrive through this thread's messages.
  const DWORD deadline = GetTickCount() + 5000;
  while ((received.count < 0 || writesDone == 0) && GetTickCount() < deadline) {
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
    Sleep(1);
  }
  EXPECT_EQ(writesDone, 1);
  ASSERT_EQ(received.count, 4);
  EXPECT_EQ(received.bytes[1], 0x7F);
  EXPECT_EQ(received.bytes[3], 0x01);

  ASSERT_EQ(sim_wait_out_frames(device.path().c_str(), 1, 5000), 1);
  uint8_t sent[16] = {};
  ASSERT_EQ(sim_out_frame(device.path().c_str(), 0, sent, sizeof sent), 3);
  // [00 10 20]
  EXPECT_EQ(sent[1], 0x10);
  EXPECT_EQ(sent[2], 0x20);
  dmxClose(io);
}

}  // namespace
