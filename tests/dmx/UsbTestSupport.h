// Helpers shared by the USB transport tests: a recorder for transfer callbacks, a device
// with its transfer slots, bounded waits, and the simulator's control functions bound from
// the winusb.dll the process has loaded.
#pragma once

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <vector>

#include "dmx/CWinUsbDevice.h"
#include "framework/CEnv.h"
#include "sim/SimControlApi.h"
#include "sim/SimDeviceRegistry.h"
#include "support/Windows.h"
#include "tests/common/TestWaits.h"

namespace usbtest {

// One callback as it arrived.
struct Call {
  CUsbTransfer* transfer;
  uint32_t error;
  uint32_t length;
  DWORD thread;
};

// Collects transfer callbacks from any thread; the test thread waits for them, bounded.
class Recorder {
 public:
  static void done(void* user, CUsbTransfer* transfer) {
    auto* self = static_cast<Recorder*>(user);
    std::lock_guard<std::mutex> hold(self->mutex_);
    self->calls_.push_back({transfer, transfer->error(), transfer->length(), GetCurrentThreadId()});
    self->changed_.notify_all();
  }

  // True once at least `count` callbacks have arrived.
  bool waitFor(size_t count, DWORD timeoutMs = 5000) {
    std::unique_lock<std::mutex> hold(mutex_);
    return changed_.wait_for(hold, std::chrono::milliseconds(timeoutMs),
                             [&] { return calls_.size() >= count; });
  }

  std::vector<Call> calls() {
    std::lock_guard<std::mutex> hold(mutex_);
    return calls_;
  }
  size_t count() {
    std::lock_guard<std::mutex> hold(mutex_);
    return calls_.size();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Call> calls_;
};

// Runs `body` on another thread and gives it `timeoutMs` to return. A body that hangs
// ends the test process with a message: the waits under test have no limit of their own.
template <typename Body>
void runBounded(const char* what, DWORD timeoutMs, Body body) {
  struct Context {
    Body* body;
    static DWORD WINAPI entry(void* self) {
      (*static_cast<Context*>(self)->body)();
      return 0;
    }
  } context{&body};
  HANDLE thread = CreateThread(nullptr, 0, &Context::entry, &context, 0, nullptr);
  ASSERT_NE(thread, nullptr);
  if (WaitForSingleObject(thread, timeoutMs) != WAIT_OBJECT_0) {
    std::fprintf(stderr, "FAILED: %s did not return within %lu ms\n", what,
                 static_cast<unsigned long>(timeoutMs));
    std::fflush(stderr);
    TerminateProcess(GetCurrentProcess(), 3);
  }
  CloseHandle(thread);
}

// A device with transfer slots, closed (bounded) and released in the right order.
struct Rig {
  explicit Rig(LDispatcher* env, size_t slots = 4) : env(env), device(nullptr, env) {
    for (size_t i = 0; i < slots; ++i) transfers.push_back(device.createTransfer());
  }
  ~Rig() {
    close();
    for (size_t i = transfers.size(); i-- > 0;) device.releaseTransfer(transfers[i]);
  }
  void close() {
    runBounded("close", 10000, [this] { device.close(); });
  }

  void read(size_t slot, uint8_t endpoint, void* buffer, uint32_t length) {
    env->lock();
    device.read(transfers[slot], endpoint, buffer, length, &recorder, &Recorder::done);
    env->unlockAndWake();
  }
  void write(size_t slot, uint8_t endpoint, void* buffer, uint32_t length) {
    env->lock();
    device.write(transfers[slot], endpoint, buffer, length, &recorder, &Recorder::done);
    env->unlockAndWake();
  }
  void control(size_t slot, const UsbSetupPacket& setup, void* buffer, uint32_t length) {
    env->lock();
    device.control(transfers[slot], setup, buffer, length, &recorder, &Recorder::done);
    env->unlockAndWake();
  }

  LDispatcher* env;
  CWinUsbDevice device;
  std::vector<CUsbTransfer*> transfers;
  Recorder recorder;
};

using testwaits::waitUntil;

// A device of the first interface class under `instanceId`.
inline simreg::DeviceSpec deviceSpec(const char* instanceId,
                                     simreg::Placeholder placeholder = simreg::Placeholder::File) {
  simreg::DeviceSpec spec;
  spec.instanceId = instanceId;
  spec.placeholder = placeholder;
  return spec;
}

}  // namespace usbtest
