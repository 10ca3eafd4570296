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

// Walks the present interfaces and returns the first one whose serial number the name
// selects (every one, for an empty name) and whose link opens; null when none does.
CDmxIo* openFirstMatch(const char* name) {
  const bool anyDevice = textIsEmpty(name);
  CDmxDeviceList devices;
  while (devices.next()) {
    if (!anyDevice && !serialNumberMatches(name, devices.serialNumber())) continue;
    auto* device = new CDmxIo(environment->dispatcher());
    const CDmxDevicePath path = devices.devicePath();
    if (device->link()->open(path.path.text()) == CDmxLink::kOpened) return device;
    // Held by another program or broken: try the next one, which may carry the same serial.
    delete device;
  }
  return nullptr;
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
  CDmxIo* device = openFirstMatch(name);
  if (device == nullptr) releaseOpen();
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
