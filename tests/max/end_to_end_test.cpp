// The shipped external from end to end: loaded by our host, talking through the device
// layer and WinUSB to simulated interfaces registered in SetupAPI. What the interface
// received is read back with the simulator's own packet decoder.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/common/FailureSeam.h"
#include "tests/common/ImportPatch.h"
#include "tests/common/ProcessCounts.h"
#include "tests/common/RegisteredDevices.h"
#include "tests/common/TestWaits.h"
#include "dmx/CDmxDeviceList.h"
#include "host/HostDriver.h"
#include "max/MaxApi.h"
#include "sim/SimControl.h"
#include "sim/SimDeviceRegistry.h"
#include "support/Windows.h"

namespace {

using Frame = std::vector<uint8_t>;
using simreg::InterfaceClass;

constexpr unsigned long kTimeoutMs = 5000;

std::vector<std::string> postTexts() {
  std::vector<std::string> texts;
  for (const maxhost::Post& p : maxhost::takePosts()) texts.push_back(p.text);
  return texts;
}

int outFrameCount(const std::string& path) { return sim_out_frame_count(path.c_str()); }

Frame outFrame(const std::string& path, int index) {
  Frame frame(513);
  const int length = sim_out_frame(path.c_str(), index, frame.data(), 513);
  frame.resize(length > 0 ? length : 0);
  return frame;
}

SimCounters countersOf(const std::string& path) {
  SimCounters counters{};
  sim_get_counters(path.c_str(), &counters);
  return counters;
}

void inject(const std::string& path, const Frame& frame) {
  ASSERT_EQ(sim_inject_frame(path.c_str(), frame.data(), static_cast<int>(frame.size()), 0), 1);
}

// Pumps until `calls` holds at least `count` outlet calls, appending what the host recorded.
bool collectOutletCalls(std::vector<maxhost::OutletCall>& calls, size_t count) {
  return maxhost::pumpUntil([&] {
    for (auto& call : maxhost::takeOutletCalls()) calls.push_back(call);
    return calls.size() >= count;
  }, kTimeoutMs);
}

// What the outlet emits for byte b: b times the float scale / 255, in float arithmetic.
// The stores round to float where x87 code would keep extended precision.
double emitted(uint8_t b, float scale) {
  volatile float factor = scale / 255.0f;
  volatile float product = static_cast<float>(b) * factor;
  return static_cast<double>(product);
}

class EndToEndTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::string error;
    ASSERT_TRUE(maxhost::loadExternal(PRISMLUX_SHIPPED_EXTERNAL, &error)) << error;
  }

  void SetUp() override {
    sim_reset();
    maxhost::takePosts();
    maxhost::takeOutletCalls();
    CDmxDeviceList list;
    ASSERT_FALSE(list.next()) << "devices left in the prefix";
  }

  void TearDown() override {
    for (void* box : boxes_) maxhost::freeObject(box);
    boxes_.clear();
    for (const auto& device : devices_) EXPECT_EQ(countersOf(device->path()).openHandles, 0u);
    EXPECT_EQ(maxhost::outstandingTexts(), 0);
  }

  const std::string& add(const std::string& instanceId, InterfaceClass cls = InterfaceClass::Primary,
                         const char* serial = nullptr) {
    return devices_.add(instanceId, cls, serial).path();
  }

  void* make(const std::string& boxText) {
    void* box = maxhost::newObject(boxText);
    if (box != nullptr) boxes_.push_back(box);
    return box;
  }
  void* make(const std::vector<maxhost::Value>& args) {
    void* box = maxhost::newObject("prismlux", args);
    if (box != nullptr) boxes_.push_back(box);
    return box;
  }
  void destroy(void* box) {
    boxes_.erase(std::find(boxes_.begin(), boxes_.end(), box));
    maxhost::freeObject(box);
  }

  testdevices::RegisteredDevices devices_;
  std::vector<void*> boxes_;
};

TEST_F(EndToEndTest, ListsBecomeFramesAndTheNewestIsSentAgainAndAgain) {
  const std::string path = add("USB\\VID_1234&PID_0001\\1234");
  void* box = make("prismlux 1 1234");
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(postTexts(), std::vector<std::string>{"open 1234"});

  ASSERT_TRUE(maxhost::sendFloats(box, {0, 0.5, 1, 2, -0.3}));
  ASSERT_TRUE(maxhost::pumpUntil([&] { return outFrameCount(path) >= 5; }, kTimeoutMs));
  // [00 80 FF FF 00], every time
  const Frame first = {0x00, 0x80, 0xFF, 0xFF, 0x00};
  const int sentFirst = outFrameCount(path);
  for (int i = 0; i < sentFirst; ++i) EXPECT_EQ(outFrame(path, i), first) << i;

  // A shorter list replaces the frame; from the first frame that shows it on, every frame
  // is the new one.
  ASSERT_TRUE(maxhost::sendList(box, {maxhost::Value::integer(1), maxhost::Value::real(0.2)}));
  const Frame second = {0xFF, 0x33};
  int firstOfSecond = -1;
  int scanned = sentFirst;
  ASSERT_TRUE(maxhost::pumpUntil([&] {
    const int count = outFrameCount(path);
    for (; scanned < count && firstOfSecond < 0; ++scanned) {
      if (outFrame(path, scanned) == second) firstOfSecond = scanned;
    }
    return firstOfSecond >= 0 && count >= firstOfSecond + 5;
  }, kTimeoutMs));
  const int sent = outFrameCount(path);
  for (int i = firstOfSecond; i < sent; ++i) EXPECT_EQ(outFrame(path, i), second) << i;
  EXPECT_EQ(countersOf(path).malformedWrites, 0u);
}

TEST_F(EndToEndTest, ReceivedFramesLeaveTheOutletScaled) {
  const std::string path = add("USB\\VID_1234&PID_0001\\1234");
  void* box = make("prismlux 10 1234");
  ASSERT_NE(box, nullptr);
  ASSERT_EQ(sim_wait_outstanding_reads(path.c_str(), 16, kTimeoutMs), 1);

  const Frame incoming = {0x00, 0xFF, 0x33, 0x01, 0x80};
  inject(path, incoming);
  inject(path, {0x00});  // the next start marker ends the first frame
  std::vector<maxhost::OutletCall> calls;
  ASSERT_TRUE(collectOutletCalls(calls, 1));
  ASSERT_EQ(calls[0].object, box);
  ASSERT_EQ(calls[0].values.size(), incoming.size());
  for (size_t i = 0; i < incoming.size(); ++i) {
    EXPECT_DOUBLE_EQ(calls[0].values[i], emitted(incoming[i], 10.0f)) << i;
  }
  EXPECT_NEAR(calls[0].values[1], 10.0, 1e-5);  // byte 255 is the scale
  // Outlet calls come on the host's main thread, the one that made the object.
  EXPECT_EQ(calls[0].threadId, GetCurrentThreadId());

  // The receive pump asks again after every frame: a later one arrives too.
  inject(path, {0x00, 0x02});
  ASSERT_TRUE(collectOutletCalls(calls, 2));
  EXPECT_EQ(calls[1].values, std::vector<double>{0.0});
}

TEST_F(EndToEndTest, PostsSayWhichNamesOpen) {
  const std::string path = add("USB\\VID_1234&PID_0001\\1234");
  void* missing = make("prismlux 1 4321");
  ASSERT_NE(missing, nullptr);
  EXPECT_EQ(postTexts(), std::vector<std::string>{"cannot open 4321"});
  // Without a device the object takes lists and sends nothing.
  EXPECT_TRUE(maxhost::sendFloats(missing, {1, 1}));

  void* first = make("prismlux");
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(postTexts(), std::vector<std::string>{"open "});
  // The one interface is taken.
  void* second = make("prismlux 1 1234");
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(postTexts(), std::vector<std::string>{"cannot open 1234"});
  EXPECT_TRUE(maxhost::sendFloats(second, {1, 1}));

  // Frames arriving on the interface come out of the box that holds it, and of no other.
  ASSERT_EQ(sim_wait_outstanding_reads(path.c_str(), 16, kTimeoutMs), 1);
  inject(path, {0x00, 0x10});
  inject(path, {0x00});
  std::vector<maxhost::OutletCall> calls;
  ASSERT_TRUE(collectOutletCalls(calls, 1));
  maxhost::pumpMessages(50);
  for (auto& call : maxhost::takeOutletCalls()) calls.push_back(call);
  for (const maxhost::OutletCall& call : calls) EXPECT_EQ(call.object, first);
  EXPECT_EQ(outFrameCount(path), 0);  // and only lists to that box go out
}

TEST_F(EndToEndTest, ChecksumSerialIsFoundAsNumberAndAsSymbol) {
  // No registry value: the serial number is the zero-padded checksum of the path.
  const std::string path = add("USB\\VID_1234&PID_0002\\0002", InterfaceClass::Secondary);
  std::string serial;
  {
    CDmxDeviceList list;
    ASSERT_TRUE(list.next());
    serial = list.serialNumber().text();
  }
  ASSERT_EQ(serial.size(), 8u);
  ASSERT_EQ(serial[0], '0');
  const std::string printed = std::to_string(std::stoul(serial));

  // Typed into the box, the digits are parsed as a number and printed without the zeros.
  void* asNumber = make("prismlux 1 " + serial);
  ASSERT_NE(asNumber, nullptr);
  EXPECT_EQ(postTexts(), std::vector<std::string>{"open " + printed});
  ASSERT_TRUE(maxhost::sendFloats(asNumber, {0, 1}));
  ASSERT_TRUE(maxhost::pumpUntil([&] { return outFrameCount(path) >= 1; }, kTimeoutMs));
  EXPECT_EQ(outFrame(path, 0), (Frame{0x00, 0xFF}));
  destroy(asNumber);

  void* asSymbol = make({maxhost::Value::integer(1), maxhost::Value::symbol(serial)});
  ASSERT_NE(asSymbol, nullptr);
  EXPECT_EQ(postTexts(), std::vector<std::string>{"open " + serial});
}

TEST_F(EndToEndTest, TwoBoxesDriveTheirOwnInterfaces) {
  const std::string one = add("USB\\VID_1234&PID_0001\\1111");
  const std::string two = add("USB\\VID_1234&PID_0002\\0002", InterfaceClass::Secondary, "TWO");
  void* boxOne = make("prismlux 1 1111");
  void* boxTwo = make("prismlux 1 TWO");
  ASSERT_NE(boxOne, nullptr);
  ASSERT_NE(boxTwo, nullptr);
  EXPECT_EQ(postTexts(), (std::vector<std::string>{"open 1111", "open TWO"}));

  ASSERT_TRUE(maxhost::sendFloats(boxOne, {0, 1}));
  ASSERT_TRUE(maxhost::sendFloats(boxTwo, {0, 0, 1}));
  ASSERT_TRUE(maxhost::pumpUntil([&] { return outFrameCount(one) >= 3 && outFrameCount(two) >= 3; },
                                 kTimeoutMs));
  EXPECT_EQ(outFrame(one, 2), (Frame{0x00, 0xFF}));
  EXPECT_EQ(outFrame(two, 2), (Frame{0x00, 0x00, 0xFF}));

  // Freeing one leaves the other running.
  destroy(boxOne);
  const int before = outFrameCount(two);
  ASSERT_TRUE(maxhost::pumpUntil([&] { return outFrameCount(two) >= before + 3; }, kTimeoutMs));
}

// A host thread that holds the host's critical region while it sends (as an object that
// sends from inside the region does), while write-done and read-done callbacks, which
// enter the region, arrive on the main thread. A deadlock stops both; the watchdog then
// ends the run with a failure instead of letting it hang.
TEST_F(EndToEndTest, ListsSentFromInsideTheHostsCriticalRegionNeverDeadlock) {
  testwaits::Watchdog watchdog(60000, "lists sent inside the host's critical region");
  const std::string path = add("USB\\VID_1234&PID_0001\\1234");
  void* box = make("prismlux 1 1234");
  ASSERT_NE(box, nullptr);
  ASSERT_EQ(sim_wait_outstanding_reads(path.c_str(), 16, kTimeoutMs), 1);
  std::atomic<bool> stop{false};
  std::atomic<long> sent{0};
  std::thread sender([&] {
    while (!stop.load()) {
      critical_enter(nullptr);
      maxhost::sendFloats(box, {0, 1});
      critical_exit(nullptr);
      sent.fetch_add(1);
    }
  });
  std::vector<maxhost::OutletCall> calls;
  size_t injected = 0;
  const bool enough = maxhost::pumpUntil([&] {
    // A frame ends at the next one's start: keep one more in the line than has come out.
    if (injected < calls.size() + 2) {
      inject(path, {0x00, 0x01});
      ++injected;
    }
    for (auto& call : maxhost::takeOutletCalls()) calls.push_back(call);
    return outFrameCount(path) >= 200 && calls.size() >= 20 && sent.load() > 1000;
  }, 30000);
  stop.store(true);
  sender.join();
  EXPECT_TRUE(enough) << outFrameCount(path) << " frames, " << calls.size() << " lists out, "
                      << sent.load() << " lists in";
}

// More interfaces than one wait of the environment thread can watch: every one of them
// sends and receives, and freeing them all gives back every thread and handle.
TEST_F(EndToEndTest, SixtyFourInterfacesAllSendAndReceive) {
  constexpr int kCount = 64;
  std::vector<std::string> paths, serials;
  char id[64];
  for (int i = 0; i < kCount; ++i) {
    serials.push_back(std::to_string(5000 + i));
    std::snprintf(id, sizeof id, "USB\\VID_1234&PID_0001\\%d", 5000 + i);
    paths.push_back(add(id));
    // Each transfer takes about a frame's wire time, as on a real interface.
    ASSERT_EQ(sim_set_completion(paths.back().c_str(), SIM_COMPLETE_LATER, 20), 1);
  }
  // One box's traffic first, so that whatever is made once per process (the simulator's
  // completion thread among it) is there before the counts are taken.
  void* warmUp = make("prismlux 1 " + serials[0]);
  ASSERT_TRUE(maxhost::sendFloats(warmUp, {0}));
  ASSERT_TRUE(maxhost::pumpUntil([&] { return outFrameCount(paths[0]) >= 1; }, kTimeoutMs));
  destroy(warmUp);
  ASSERT_EQ(sim_clear_records(paths[0].c_str()), 1);
  maxhost::takeOutletCalls();
  postTexts();
  const int threadsBefore = processcounts::threads();
  const int handlesBefore = processcounts::handles();
  ASSERT_GT(threadsBefore, 0);
  ASSERT_GT(handlesBefore, 0);

  std::vector<void*> boxes;
  std::vector<std::string> expectedPosts;
  for (int i = 0; i < kCount; ++i) {
    boxes.push_back(make("prismlux 255 " + serials[i]));
    ASSERT_NE(boxes.back(), nullptr);
    expectedPosts.push_back("open " + serials[i]);
  }
  EXPECT_EQ(postTexts(), expectedPosts);
  // The environment's thread and, for the three transfers each interface may have watched
  // at once, three helper wait threads: started as the interfaces opened, before any of
  // those transfers runs.
  EXPECT_EQ(processcounts::threads(), threadsBefore + 1 + 3);

  // From here on the external cannot start a thread: the helper waits that the traffic's
  // transfers need must have been started when the interfaces opened (their reserved room),
  // not when the transfers' signals are armed.
  struct NoThreads {
    static uintptr_t __cdecl refuse(void*, unsigned, unsigned(__stdcall*)(void*), void*, unsigned,
                                    unsigned*) {
      return 0;
    }
  };
  auto noThreads = std::make_unique<testpatch::ImportPatch>(
      "msvcrt.dll", "_beginthreadex", reinterpret_cast<void*>(&NoThreads::refuse),
      GetModuleHandleA(PRISMLUX_SHIPPED_EXTERNAL));
  ASSERT_TRUE(noThreads->ok());
  for (int i = 0; i < kCount; ++i) {
    ASSERT_TRUE(maxhost::sendFloats(boxes[i], {0, float(i), 7}));
    inject(paths[i], {0x00, uint8_t(i), 0x55});
    inject(paths[i], {0x00});  // the next start marker ends the frame
  }
  std::vector<std::vector<double>> received(kCount);
  ASSERT_TRUE(maxhost::pumpUntil([&] {
    for (auto& call : maxhost::takeOutletCalls()) {
      const auto box = std::find(boxes.begin(), boxes.end(), call.object);
      if (box != boxes.end() && received[box - boxes.begin()].empty())
        received[box - boxes.begin()] = call.values;
    }
    for (int i = 0; i < kCount; ++i) {
      if (received[i].empty() || outFrameCount(paths[i]) < 1) return false;
    }
    return true;
  }, 60000));
  for (int i = 0; i < kCount; ++i) {
    EXPECT_EQ(received[i], (std::vector<double>{0, double(i), double(0x55)})) << i;
    EXPECT_EQ(outFrame(paths[i], 0), (Frame{0x00, uint8_t(i), 0x07})) << i;
  }
  noThreads.reset();

  for (void* box : boxes) destroy(box);
  EXPECT_EQ(processcounts::threads(), threadsBefore);
  EXPECT_EQ(processcounts::handles(), handlesBefore);
  for (const std::string& path : paths) EXPECT_EQ(countersOf(path).openHandles, 0u);
}

// A failed transfer in either direction closes the interface: from then on the box
// neither sends nor emits, whatever the patch does and whatever arrives.
TEST_F(EndToEndTest, ATransferFailureStopsTheTrafficWithoutACrash) {
  struct Case {
    int op;
    const char* instanceId;
    const char* box;
  };
  for (const Case& c : {Case{SIM_OP_WRITE, "USB\\VID_1234&PID_0001\\1234", "prismlux 1 1234"},
                        Case{SIM_OP_READ, "USB\\VID_1234&PID_0001\\4321", "prismlux 1 4321"}}) {
    SCOPED_TRACE(c.box);
    const std::string path = add(c.instanceId);
    void* box = make(c.box);
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(postTexts().size(), 1u);
    ASSERT_TRUE(maxhost::sendFloats(box, {0, 1}));
    ASSERT_TRUE(maxhost::pumpUntil([&] { return outFrameCount(path) >= 2; }, kTimeoutMs));
    ASSERT_EQ(sim_wait_outstanding_reads(path.c_str(), 16, kTimeoutMs), 1);

    const uint32_t writesBefore = sim_calls(SIM_EP_WRITE_PIPE);
    const uint32_t readsBefore = sim_calls(SIM_EP_READ_PIPE);
    ASSERT_EQ(sim_fail_next(path.c_str(), c.op, SIM_FAIL_STATUS, SIM_STATUS_UNSUCCESSFUL), 1);
    // The failure makes the interface close: its WinUSB handle is freed. Until then the
    // patch keeps sending; the failed transfer is the last one started: a failed write the
    // last write, and after the oldest read fails no read is issued again.
    ASSERT_TRUE(maxhost::pumpUntil([&] {
      EXPECT_TRUE(maxhost::sendFloats(box, {0, 2}));
      if (c.op == SIM_OP_WRITE) {
        EXPECT_LE(sim_calls(SIM_EP_WRITE_PIPE) - writesBefore, 1u);
      } else {
        EXPECT_EQ(sim_calls(SIM_EP_READ_PIPE), readsBefore);
      }
      return countersOf(path).openHandles == 0;
    }, kTimeoutMs));
    maxhost::pumpMessages(50);
    const int sent = sim_out_transfer_count(path.c_str());
    maxhost::takeOutletCalls();

    ASSERT_TRUE(maxhost::sendFloats(box, {1, 1, 1}));
    inject(path, {0x00, 0x01});
    inject(path, {0x00});
    maxhost::pumpMessages(200);
    EXPECT_EQ(sim_out_transfer_count(path.c_str()), sent);
    EXPECT_TRUE(maxhost::takeOutletCalls().empty());
    EXPECT_TRUE(postTexts().empty());
    destroy(box);
  }
}

TEST_F(EndToEndTest, FreeingWithTransfersOutstandingReturnsPromptly) {
  const std::string path = add("USB\\VID_1234&PID_0001\\1234");
  // Every transfer stays outstanding for far longer than the free may take.
  ASSERT_EQ(sim_set_completion(path.c_str(), SIM_COMPLETE_LATER, 60000), 1);
  void* box = make("prismlux 1 1234");
  ASSERT_NE(box, nullptr);
  ASSERT_TRUE(maxhost::sendFloats(box, {0, 1}));
  ASSERT_EQ(sim_wait_outstanding_reads(path.c_str(), 16, kTimeoutMs), 1);
  ASSERT_EQ(countersOf(path).outstandingWrites, 1u);

  const DWORD start = GetTickCount();
  destroy(box);
  const DWORD took = GetTickCount() - start;
  // Cut off, not waited for; the bound is loose so that a busy machine cannot fail it.
  EXPECT_LT(took, 20000u);
  const SimCounters after = countersOf(path);
  EXPECT_EQ(after.openHandles, 0u);
  EXPECT_EQ(after.outstandingReads + after.outstandingWrites, 0u);
  EXPECT_GE(after.cancelled, 17u);
  // Nothing of the freed object runs afterwards.
  maxhost::pumpMessages(50);
  EXPECT_TRUE(maxhost::takeOutletCalls().empty());
}

// ---- refused memory, posts, timers and events ---------------------------------------

// When in a box's life a failure came.
enum Stage { kCreating, kTrafficking, kFreeing };

enum class Outcome { CannotOpen, Working, Silent };

struct Tally {
  long tried = 0;
  long cannotOpen = 0;
  long working = 0;   // the failure came before or during the traffic; the box said "open" and worked
  long closed = 0;    // the failure came while the box was freed, after it worked
  long silent = 0;    // said "open", then did not send or receive
  long escaped = 0;   // exceptions that came out of a host entry
};

class FailureSweepTest : public EndToEndTest {
 protected:
  static constexpr const char* kBox = "prismlux 1 1234";

  // `lists` lists of 1, 2, ... bytes 0xFF each, every one seen on the wire; then `frames`
  // frames of 513 bytes (start code 0, so each ends at once) injected one after another,
  // each emitted exactly once, in order.
  bool trafficWorks(void* box, const std::string& path, int lists, int frames) {
    int scanned = 0;
    for (int k = 1; k <= lists; ++k) {
      if (!maxhost::sendFloats(box, std::vector<double>(k, 1.0))) return false;
      const Frame expected(k, 0xFF);
      bool seen = false;
      if (!maxhost::pumpUntil([&] {
            for (const int count = outFrameCount(path); scanned < count && !seen; ++scanned)
              seen = outFrame(path, scanned) == expected;
            return seen;
          }, kTimeoutMs))
        return false;
    }
    std::vector<maxhost::OutletCall> calls;
    for (int k = 1; k <= frames; ++k) {
      Frame frame(513, uint8_t(k));
      frame[0] = 0x00;
      if (sim_inject_frame(path.c_str(), frame.data(), 513, 0) != 1) return false;
      if (!collectOutletCalls(calls, size_t(k))) return false;
    }
    for (auto& call : maxhost::takeOutletCalls()) calls.push_back(call);
    if (calls.size() != size_t(frames)) return false;  // a frame delivered twice
    for (int k = 1; k <= frames; ++k) {
      if (calls[k - 1].values.size() != 513 || calls[k - 1].values[1] != emitted(uint8_t(k), 1.0f))
        return false;
    }
    return true;
  }

  // One box's life: new, `lists` lists, `frames` frames, free.
  Outcome life(testfail::FailureSeam& seam, const std::string& path, int lists, int frames) {
    sim_clear_records(path.c_str());
    maxhost::takeOutletCalls();
    seam.setStage(kCreating);
    void* box = maxhost::newObject(kBox);
    EXPECT_NE(box, nullptr);
    if (box == nullptr) return Outcome::Silent;
    const std::vector<std::string> posts = postTexts();
    Outcome outcome = Outcome::Silent;
    if (posts == std::vector<std::string>{"cannot open 1234"}) {
      outcome = Outcome::CannotOpen;
    } else if (posts == std::vector<std::string>{"open 1234"}) {
      seam.setStage(kTrafficking);
      if (trafficWorks(box, path, lists, frames)) outcome = Outcome::Working;
    } else {
      ADD_FAILURE() << "posts: " << ::testing::PrintToString(posts);
    }
    seam.setStage(kFreeing);
    maxhost::freeObject(box);
    EXPECT_TRUE(postTexts().empty());
    return outcome;
  }

  // Refuses each call of the `kinds` that the external makes in a box's life, one at a
  // time: no exception comes out of a host entry, the box says "open" and works or says
  // "cannot open", every thread and handle is given back, and the next box works.
  void sweep(const std::string& path, std::initializer_list<testfail::Kind> kinds) {
    testfail::FailureSeam seam(GetModuleHandleA(PRISMLUX_SHIPPED_EXTERNAL));
    ASSERT_TRUE(seam.ok());
    seam.disarm();
    // What is made once per process (the simulator's threads, and the thread that the test
    // framework starts for a thread's first trace) is made first.
    {
      SCOPED_TRACE("warm-up");
      ASSERT_EQ(life(seam, path, 5, 3), Outcome::Working);
    }
    // So is the runtime's exception state (a few handles), made at the first exception the
    // external raises: allocations are refused one at a time until that has happened.
    int handlesBefore = processcounts::handles();
    for (long nth = 1; nth < 5000; ++nth) {
      seam.arm(testfail::Kind::Allocation, nth);
      life(seam, path, 0, 0);
      seam.disarm();
      const int handles = processcounts::handles();
      if (!seam.fired() || handles != handlesBefore) break;
    }
    postTexts();
    const int threadsBefore = processcounts::threads();
    handlesBefore = processcounts::handles();
    ASSERT_GT(threadsBefore, 0);
    ASSERT_GT(handlesBefore, 0);

    const char* arch = sizeof(void*) == 8 ? "x86-64" : "x86";
    for (testfail::Kind kind : kinds) {
      Tally tally;
      // Ends at the first run in which the armed call never came: all calls were tried.
      for (long nth = 1; nth < 5000; ++nth) {
        SCOPED_TRACE(std::string(testfail::kindName(kind)) + " call " + std::to_string(nth));
        const long escapedBefore = maxhost::escapedExceptions();
        seam.arm(kind, nth);
        const Outcome outcome = life(seam, path, 5, 3);
        seam.disarm();
        const bool fired = seam.fired();
        tally.escaped += maxhost::escapedExceptions() - escapedBefore;
        EXPECT_EQ(maxhost::escapedExceptions(), escapedBefore);
        EXPECT_NE(outcome, Outcome::Silent);
        if (!fired) break;
        ++tally.tried;
        if (outcome == Outcome::CannotOpen) ++tally.cannotOpen;
        if (outcome == Outcome::Silent) ++tally.silent;
        if (outcome == Outcome::Working) ++(seam.firedStage() == kFreeing ? tally.closed : tally.working);

        EXPECT_TRUE(maxhost::pumpUntil([&] {
          return processcounts::threads() == threadsBefore && processcounts::handles() == handlesBefore;
        }, kTimeoutMs)) << processcounts::threads() << " threads, " << processcounts::handles()
                        << " handles; before: " << threadsBefore << ", " << handlesBefore;
        EXPECT_EQ(countersOf(path).openHandles, 0u);
        EXPECT_EQ(maxhost::outstandingTexts(), 0);
        // The next box works.
        EXPECT_EQ(life(seam, path, 1, 1), Outcome::Working);
        if (::testing::Test::HasFatalFailure()) return;
      }
      std::printf("%s %s failures: %ld tried; %ld cannot open, %ld open and working, %ld closed; "
                  "%ld exceptions out of host entries, %ld silent after \"open\"\n",
                  arch, testfail::kindName(kind), tally.tried, tally.cannotOpen, tally.working,
                  tally.closed, tally.escaped, tally.silent);
      EXPECT_GT(tally.tried, 0);
    }
  }
};

// Every allocation, PostMessage, SetTimer and CreateEventW that the shipped external makes
// while a box is made, sends five lists, receives three frames and is freed.
TEST_F(FailureSweepTest, EveryRefusedCallEndsInCannotOpenOrAWorkingBox) {
  sweep(add("USB\\VID_1234&PID_0001\\1234"),
        {testfail::Kind::Allocation, testfail::Kind::Post, testfail::Kind::Timer, testfail::Kind::Event});
}

// An interface of the second class, whose serial number is read from the registry while
// the walk opens its key: a refused allocation there must not leave the key open.
TEST_F(FailureSweepTest, EveryRefusedAllocationOverASecondClassInterfaceGivesEverythingBack) {
  sweep(add("USB\\VID_1234&PID_0002\\0002", InterfaceClass::Secondary, "1234"),
        {testfail::Kind::Allocation});
}

}  // namespace
