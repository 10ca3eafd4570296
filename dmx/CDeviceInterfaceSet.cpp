#include "dmx/CDeviceInterfaceSet.h"

#include "support/LRegKey.h"
#include "support/Win32Text.h"

CDeviceInterfaceSet::CDeviceInterfaceSet(const GUID* classGuid)
    : classGuid(classGuid),
      infoSet(w32::setupDiGetClassDevs(classGuid, nullptr, nullptr,
                                       DIGCF_PRESENT | DIGCF_DEVICEINTERFACE)) {}

CDeviceInterfaceSet::~CDeviceInterfaceSet() {
  if (isValid()) SetupDiDestroyDeviceInfoList(infoSet);
}

bool CDeviceInterfaceSet::next() {
  if (!isValid()) return false;
  interfaceData.cbSize = sizeof interfaceData;
  // FALSE here is also the ordinary end of the list.
  if (!SetupDiEnumDeviceInterfaces(infoSet, nullptr, classGuid, memberIndex, &interfaceData)) {
    return false;
  }
  // A failure here ends the class: the same member would fail again, so it is not skipped.
  if (!w32::setupDiGetDeviceInterfaceDetail(infoSet, &interfaceData, detail, &devInfoData)) {
    return false;
  }
  ++memberIndex;
  return true;
}

LString CDeviceInterfaceSet::devicePath() const { return w32::deviceInterfacePath(detail); }

LString CDeviceInterfaceSet::instanceId() const {
  LString id;
  SP_DEVINFO_DATA devInfo = devInfoData;  // the platform call takes a non-const record
  w32::setupDiGetDeviceInstanceId(infoSet, &devInfo, id);
  return id;
}

LString CDeviceInterfaceSet::registrySerialNumber() const {
  LString serial;
  SP_DEVICE_INTERFACE_DATA data = interfaceData;
  const HKEY key = w32::setupDiOpenDeviceInterfaceRegKey(infoSet, &data, KEY_READ);
  if (key == reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE)) return serial;
  {
    // Owned: closed also when the string record cannot be allocated.
    LRegKey reader(key, nullptr, LRegKey::kOpenForReading);
    reader.readString("DeviceSerialNumber", serial);
  }
  // The stored terminator comes back inside the length; the serial number is the text
  // before it, so an empty stored value counts as no value.
  return LString::fromUtf8(serial.text());
}
