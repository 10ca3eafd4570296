#include "tests/max/DmxPortDouble.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <mutex>
#include <utility>

#include "support/Windows.h"

namespace {

constexpr int32_t kMaxFrame = 513;

// Recursive, as the real device's lock: callbacks run inside it and may write or read.
class RecursiveLock {
 public:
  RecursiveLock() { InitializeCriticalSection(&section_); }
  ~RecursiveLock() { DeleteCriticalSection(&section_); }
  RecursiveLock(const RecursiveLock&) = delete;
  RecursiveLock& operator=(const RecursiveLock&) = delete;
  void lock() { EnterCriticalSection(&section_); }
  void unlock() { LeaveCriticalSection(&section_); }

 private:
  CRITICAL_SECTION section_;
};

std::vector<std::string> present;
std::vector<CDmxIo*> openDevices;  // main thread only
UINT_PTR tickTimer = 0;

void CALLBACK tick(HWND, UINT, UINT_PTR, DWORD);

}  // namespace

class CDmxIo {
 public:
  explicit CDmxIo(std::string serialNumber) : serial(std::move(serialNumber)) {}

  // Runs on the opening thread: finishes what is ready, calling back inside the lock. A
  // write already handed on still completes after a failure; a read never does.
  void complete() {
    std::lock_guard<RecursiveLock> hold(lock);
    if (writeInFlight) {
      writeInFlight = false;  // ended before the callback, which may write again
      writeDone(writeUser);
    }
    if (!failed && readInFlight && !incoming.empty()) {
      std::vector<uint8_t> frame = std::move(incoming.front());
      incoming.pop_front();
      const int32_t n = std::min(readCapacity, static_cast<int32_t>(frame.size()));
      std::memcpy(readTarget, frame.data(), static_cast<size_t>(n));
      readInFlight = false;
      readDone(readUser, n);
    }
  }

  const std::string serial;
  RecursiveLock lock;
  bool failed = false;

  bool writeInFlight = false;
  DmxWriteDone writeDone = nullptr;
  void* writeUser = nullptr;
  std::vector<std::vector<uint8_t>> frames;
  long refused = 0;

  bool readInFlight = false;
  uint8_t* readTarget = nullptr;
  int32_t readCapacity = 0;
  DmxReadDone readDone = nullptr;
  void* readUser = nullptr;
  std::deque<std::vector<uint8_t>> incoming;
  long reads = 0;
};

namespace {

void CALLBACK tick(HWND, UINT, UINT_PTR, DWORD) {
  const std::vector<CDmxIo*> devices = openDevices;  // a callback may not open or close
  for (CDmxIo* device : devices) device->complete();
}

bool isOpen(const std::string& serial) {
  return std::any_of(openDevices.begin(), openDevices.end(), [&](CDmxIo* d) { return d->serial == serial; });
}

}  // namespace

CDmxIo* dmxOpen(const char* name) {
  const std::string wanted = name != nullptr ? name : "";
  for (const std::string& serial : present) {
    if ((!wanted.empty() && serial != wanted) || isOpen(serial)) continue;
    auto* device = new CDmxIo(serial);
    openDevices.push_back(device);
    if (tickTimer == 0) tickTimer = SetTimer(nullptr, 0, USER_TIMER_MINIMUM, tick);
    return device;
  }
  return nullptr;
}

void dmxClose(CDmxIo* device) {
  if (device == nullptr) return;
  openDevices.erase(std::remove(openDevices.begin(), openDevices.end(), device), openDevices.end());
  delete device;
  if (openDevices.empty() && tickTimer != 0) {
    KillTimer(nullptr, tickTimer);
    tickTimer = 0;
  }
}

int32_t dmxWrite(CDmxIo* device, const uint8_t* data, int32_t count, DmxWriteDone done, void* user) {
  std::lock_guard<RecursiveLock> hold(device->lock);
  if (device->failed || device->writeInFlight) {
    ++device->refused;
    return 0;
  }
  count = std::clamp(count, 1, kMaxFrame);
  device->frames.emplace_back(data, data + count);
  device->writeInFlight = true;
  device->writeDone = done;
  device->writeUser = user;
  return 1;
}

int32_t dmxRead(CDmxIo* device, uint8_t* target, int32_t capacity, DmxReadDone done, void* user) {
  std::lock_guard<RecursiveLock> hold(device->lock);
  if (device->failed || device->readInFlight) return 0;
  device->readInFlight = true;
  device->readTarget = target;
  device->readCapacity = capacity;
  device->readDone = done;
  device->readUser = user;
  ++device->reads;
  return 0;
}

namespace dmxdouble {

void setPresent(const std::vector<std::string>& serials) { present = serials; }

int openCount() { return static_cast<int>(openDevices.size()); }

std::string serialOf(CDmxIo* device) { return device != nullptr ? device->serial : std::string(); }

std::vector<std::vector<uint8_t>> takeFrames(CDmxIo* device) {
  std::lock_guard<RecursiveLock> hold(device->lock);
  return std::exchange(device->frames, {});
}

long writesRefused(CDmxIo* device) {
  std::lock_guard<RecursiveLock> hold(device->lock);
  return device->refused;
}

long readsAccepted(CDmxIo* device) {
  std::lock_guard<RecursiveLock> hold(device->lock);
  return device->reads;
}

bool readPending(CDmxIo* device) {
  std::lock_guard<RecursiveLock> hold(device->lock);
  return device->readInFlight;
}

void receive(CDmxIo* device, const std::vector<uint8_t>& frame) {
  std::lock_guard<RecursiveLock> hold(device->lock);
  device->incoming.push_back(frame);
}

void fail(CDmxIo* device) {
  std::lock_guard<RecursiveLock> hold(device->lock);
  device->failed = true;
}

}  // namespace dmxdouble
