// The port's open and close, and the environment they keep alive: created by the first
// open of the process (also when that open fails), destroyed by the last close.
//
// No lock: open and close run on one thread at a time (the host's main thread), and that
// thread owns the environment's window, so every device callback arrives on it.
#include "dmx/CDmxDeviceList.h"
#include "dmx/CDmxIo.h"
#include "dmx/CDmxUsbLink.h"
#include "dmx/DmxPort.h"
#include "dmx/DmxPortState.h"
#include "dmx/DmxSerialNumber.h"
#include "framework/CEnv.h"
#include "support/Text.h"
#include "support/Win32Text.h"

#include <new>

namespace {

// Opens under way plus devices alive.
int32_t openCount = 0;
// The process's executable, taken at each first open. The environment registers its window
// class under the module holding its own code instead, so that a class never outlives the
// library it points into; this stays for diagnosis.
HMODULE moduleHandle = nullptr;
CEnv* environment = nullptr;

void destroyEnvironment() {
  // CEnv's destructor stops and joins the worker, then destroys the window.
  delete environment;
  environment = nullptr;
}

void releaseOpen() {
  --openCount;
  if (openCount == 0 && environment != nullptr) destroyEnvironment();
}

// A new I/O object whose link has opened the interface at `path`; null when it does not
// open (held by another program, or broken).
CDmxIo* openAt(const CDmxDevicePath& path) {
  auto* device = new (std::nothrow) CDmxIo(environment->dispatcher());
  if (device == nullptr) return nullptr;
  if (device->link() != nullptr && device->link()->open(path.path.text()) == CDmxLink::kOpened)
    return device;
  delete device;
  return nullptr;
}

// The open under way, given back when the scope ends unless a device was handed out: also
// when a string record cannot be allocated during the walk and std::bad_alloc leaves it.
class OpenHold {
 public:
  OpenHold() = default;
  ~OpenHold() {
    if (!kept_) releaseOpen();
  }
  OpenHold(const OpenHold&) = delete;
  OpenHold& operator=(const OpenHold&) = delete;
  void keep() noexcept { kept_ = true; }

 private:
  bool kept_ = false;
};

// Walks the present interfaces and opens the first one whose serial number matches the
// name as `wanted` says (every interface, for an empty name and SerialMatch::Exact); the
// next one is tried while they do not open, since another may carry the same serial.
// `byValueSeen` (may be null) is set when an interface matched only by value.
CDmxIo* openFirst(const char* name, SerialMatch wanted, bool* byValueSeen) {
  const bool anyDevice = textIsEmpty(name);
  CDmxDeviceList devices;
  while (devices.next()) {
    if (!anyDevice) {
      const SerialMatch match = matchSerialNumber(name, devices.serialNumber());
      if (match == SerialMatch::ByValue && byValueSeen != nullptr) *byValueSeen = true;
      if (match != wanted) continue;
    }
    if (CDmxIo* device = openAt(devices.devicePath())) return device;
  }
  return nullptr;
}

// An interface whose serial number is the name byte for byte wins over every match by
// value, wherever the walk meets it: "1234" opens "1234" even when "01234" comes first.
// Only when none matches exactly, or none of those opens, are the matches by value tried,
// in a second walk, first come first served. An exact match that does not open falls back
// to them because the name alone cannot tell which one was meant: digits typed as a number
// have lost their zeros, so "01234" reaches us as 1234 too, and a free interface that the
// name selects beats opening nothing.
CDmxIo* openFirstMatch(const char* name) {
  bool byValueSeen = false;
  if (CDmxIo* device = openFirst(name, SerialMatch::Exact, &byValueSeen)) return device;
  if (!byValueSeen) return nullptr;
  return openFirst(name, SerialMatch::ByValue, nullptr);
}

}  // namespace

CDmxIo* dmxOpen(const char* name) {
  const int32_t oldCount = openCount++;
  if (oldCount == 0) {
    moduleHandle = w32::getModuleHandle(nullptr);
    environment = CEnv::create();
  }
  // Creation can fail (no window, no worker thread); nothing can be opened without it.
  if (environment == nullptr) {
    --openCount;
    return nullptr;
  }
  OpenHold hold;
  CDmxIo* device = openFirstMatch(name);
  if (device != nullptr) hold.keep();
  return device;
}

void dmxClose(CDmxIo* device) {
  if (device == nullptr) return;
  delete device;
  releaseOpen();
}

int32_t dmxOpenCount() { return openCount; }

bool dmxHasEnvironment() { return environment != nullptr; }

uint32_t dmxWorkerThreadId() {
  return environment != nullptr ? environment->dispatcher()->workerThreadId() : 0;
}
