// Helpers for the link and I/O object tests: one environment per process, the simulated
// winusb.dll bound for control, a registered simulated interface, bounded message pumping,
// and a watchdog for the calls that wait without a limit (close, destruction).
//
// Everything runs on the test's main thread, which created the environment: notes arrive
// only while a test pumps messages.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "framework/CEnv.h"
#include "framework/LAsyncEvent.h"
#include "framework/NoteNames.h"
#include "tests/common/TestWaits.h"
#include "sim/SimControlApi.h"
#include "sim/SimDeviceRegistry.h"
#include "support/Win32Text.h"
#include "support/Windows.h"

namespace linktest {

using Bytes = std::vector<uint8_t>;

using testwaits::pumpFor;
using testwaits::pumpUntil;
using testwaits::waitUntil;
using testwaits::Watchdog;

// Delivers every note of an event set before this call: a marker event set now delivers
// after all of them (events deliver in the order they were set), so once its note has
// arrived nothing set earlier is still on its way. For tests that check a note never came.
inline void deliverEarlierNotes(LAsyncEnv* env) {
  struct Marker : LHandler {
    Marker() : LHandler(nullptr) {}
    LNote handleNote(const LNote& note) override {
      if (noteNameEqual(note.name, LAsyncEvent_Note)) arrived = true;
      return LNote();
    }
    bool arrived = false;
  } marker;
  LAsyncEvent event(&marker, env);
  env->lock();
  event.set();
  env->unlockAndWake();
  ASSERT_TRUE(pumpUntil([&] { return marker.arrived; }));
}

// The environment, the simulator and one registered interface, shared by a test suite.
// `instanceId` must be unique among the test programs (they share the Wine prefix).
class SimFixture : public ::testing::Test {
 protected:
  static void setUpSuite(const char* instanceId) {
    env_ = CEnv::create();
    ASSERT_NE(env_, nullptr);
    module_ = w32::loadLibrary("winusb.dll");
    ASSERT_TRUE(sim_.bind(module_)) << "winusb.dll is not the simulator (run with winusb=n)";
    simreg::DeviceSpec spec;
    spec.instanceId = instanceId;
    device_ = new simreg::ScopedDevice(spec);
    ASSERT_TRUE(device_->ok());
  }
  static void TearDownTestSuite() {
    delete device_;
    device_ = nullptr;
    delete env_;
    env_ = nullptr;
    if (module_ != nullptr) FreeLibrary(module_);
    module_ = nullptr;
  }
  void SetUp() override {
    ASSERT_NE(env_, nullptr);
    sim_.reset();
  }

  static LDispatcher* env() { return env_->dispatcher(); }
  static const char* path() { return device_->path().c_str(); }

  static SimCounters counters() {
    SimCounters c = {};
    sim_.getCounters(path(), &c);
    return c;
  }
  // The frames the simulator decoded from OUT transfers, with its own decoder.
  static std::vector<Bytes> outFrames() {
    std::vector<Bytes> frames;
    const int count = sim_.outFrameCount(path());
    for (int i = 0; i < count; ++i) {
      Bytes frame(4096);
      const int n = sim_.outFrame(path(), i, frame.data(), int(frame.size()));
      frame.resize(n < 0 ? 0 : size_t(n));
      frames.push_back(frame);
    }
    return frames;
  }
  // OUT transfer `index` as the simulator received it.
  static Bytes outTransfer(int index) {
    Bytes bytes(1024);
    const int n = sim_.outTransfer(path(), index, bytes.data(), int(bytes.size()), nullptr);
    bytes.resize(n < 0 ? 0 : size_t(n));
    return bytes;
  }
  static void injectFrame(const Bytes& frame, uint32_t flags = 0) {
    ASSERT_EQ(sim_.injectFrame(path(), frame.data(), int(frame.size()), flags), 1);
  }
  static void injectPacket(const Bytes& packet) {
    ASSERT_EQ(sim_.injectPacket(path(), packet.data(), int(packet.size())), 1);
  }

  static CEnv* env_;
  static HMODULE module_;
  static SimControlApi sim_;
  static simreg::ScopedDevice* device_;
};

inline CEnv* SimFixture::env_ = nullptr;
inline HMODULE SimFixture::module_ = nullptr;
inline SimControlApi SimFixture::sim_;
inline simreg::ScopedDevice* SimFixture::device_ = nullptr;

// A frame of `n` bytes: `startCode`, then 1, 2, 3, ... (mod 256) shifted by `seed`.
inline Bytes makeFrame(size_t n, uint8_t startCode, uint8_t seed = 0) {
  Bytes frame(n);
  frame[0] = startCode;
  for (size_t i = 1; i < n; ++i) frame[i] = uint8_t(i + seed);
  return frame;
}

}  // namespace linktest
