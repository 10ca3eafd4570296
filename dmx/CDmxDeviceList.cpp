#include "dmx/CDmxDeviceList.h"

#include "dmx/DmxSerialNumber.h"
#include "support/PathText.h"

const GUID CDmxDeviceList::kFirstClass = {
    0xC7C60C86, 0x7F33, 0x443B, {0x99, 0x08, 0x2E, 0x0C, 0xC5, 0x26, 0xC6, 0xF5}};
const GUID CDmxDeviceList::kSecondClass = {
    0xB2C19FE0, 0x85E0, 0x11D5, {0x92, 0x3E, 0x9B, 0xCB, 0x7A, 0xFA, 0x78, 0x5C}};

// Members are built in declaration order (first, then second) and destroyed the other
// way round, which is the order the walk's end requires.
CDmxDeviceList::CDmxDeviceList() : classIndex(0), first(&kFirstClass), second(&kSecondClass) {}

CDmxDeviceList::~CDmxDeviceList() = default;

bool CDmxDeviceList::next() {
  if (classIndex == 0) {
    if (first.next()) return true;
    classIndex = 1;
  }
  return second.next();
}

LString CDmxDeviceList::serialNumber() const {
  LString serial;
  if (classIndex == 1) {
    serial = second.registrySerialNumber();
  } else {
    const LString id = first.instanceId();
    const LString component = LString::fromUtf8(pathLastComponent(id.text()));
    if (isInstanceSerialNumber(component)) serial = component;
  }
  if (serial.isEmpty()) serial = checksumSerialNumber(current().devicePath());
  return serial;
}

CDmxDevicePath CDmxDeviceList::devicePath() const {
  CDmxDevicePath path;
  path.classIndex = classIndex;
  path.path = current().devicePath();
  return path;
}
