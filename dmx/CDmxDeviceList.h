// The walk over every present DMX interface: all present interfaces of the first interface
// class, {C7C60C86-7F33-443B-9908-2E0CC526C6F5}, in SetupAPI's order, then all of the
// second, {B2C19FE0-85E0-11D5-923E-9BCB7AFA785C}. Once the first class has ended it is never
// walked again.
//
// Construction begins the walk (both information sets are built at once); destruction ends
// it (the second set is destroyed, then the first), also when next() was never called.
// next() must have returned true before serialNumber() or devicePath() is used.
//
// Serial numbers are never empty:
//   - second class: the interface key's "DeviceSerialNumber" value, when there is one;
//   - first class: the last component of the device instance id, when it is exactly 4
//     bytes that scan as one number token in their whole length (in the 32-bit build it
//     must also read as a number from 1000 to 9999);
//   - otherwise the CRC-16 of the device path, in decimal, padded to 8 digits with zeros.
//
// Single-thread (the thread that opens devices).
#pragma once

#include <cstdint>

#include "dmx/CDeviceInterfaceSet.h"
#include "dmx/CDmxDevicePath.h"
#include "support/LString.h"

class CDmxDeviceList {
 public:
  static const GUID kFirstClass;
  static const GUID kSecondClass;

  CDmxDeviceList();
  ~CDmxDeviceList();
  CDmxDeviceList(const CDmxDeviceList&) = delete;
  CDmxDeviceList& operator=(const CDmxDeviceList&) = delete;

  // True while an interface is current.
  bool next();
  LString serialNumber() const;
  CDmxDevicePath devicePath() const;

  // 0 while the first class is walked, 1 after the switch to the second.
  int32_t currentClass() const { return classIndex; }

 private:
  const CDeviceInterfaceSet& current() const { return classIndex == 0 ? first : second; }

  int32_t classIndex = 0;
  CDeviceInterfaceSet first;
  CDeviceInterfaceSet second;
};
