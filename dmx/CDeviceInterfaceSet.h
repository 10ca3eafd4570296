// The present device interfaces of one interface class, walked one after the other through
// SetupAPI (DIGCF_PRESENT | DIGCF_DEVICEINTERFACE). Owns its device information set and
// destroys it once, in its destructor; non-copyable.
//
// next() moves to the next interface and must have returned true before the accessors are
// used. A SetupAPI failure is silent: a set that cannot be built yields nothing, and a
// failure while fetching an interface's details ends the walk of the class (the interface
// is not skipped).
//
// Single-thread: the thread that walks is the only one that touches the set.
#pragma once

#include <cstdint>

#include "support/LHeapBuffer.h"
#include "support/LString.h"
#include "support/Windows.h"

#include <setupapi.h>

class CDeviceInterfaceSet {
 public:
  // Builds the information set at once. `classGuid` must outlive the set.
  explicit CDeviceInterfaceSet(const GUID* classGuid);
  ~CDeviceInterfaceSet();
  CDeviceInterfaceSet(const CDeviceInterfaceSet&) = delete;
  CDeviceInterfaceSet& operator=(const CDeviceInterfaceSet&) = delete;

  bool isValid() const { return infoSet != INVALID_HANDLE_VALUE; }

  // Moves to the next present interface; false at the end of the class or on failure.
  bool next();

  // The current interface's device path as UTF-8; empty before the first successful next.
  LString devicePath() const;
  // The current device's instance id as UTF-8 (e.g. "USB\VID_1234&PID_5678\1234"); empty on
  // any failure.
  LString instanceId() const;
  // The string value "DeviceSerialNumber" of the current interface's registry key, up to
  // its first NUL; empty when the key cannot be opened or the value is missing, unreadable
  // or empty.
  LString registrySerialNumber() const;

 private:
  const GUID* classGuid;
  HDEVINFO infoSet;
  uint32_t memberIndex = 0;
  SP_DEVICE_INTERFACE_DATA interfaceData{};
  LHeapBuffer detail;  // the platform's SP_DEVICE_INTERFACE_DETAIL_DATA record
  SP_DEVINFO_DATA devInfoData{};
};
