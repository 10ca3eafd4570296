// Registering simulated devices with SetupAPI under Wine, seen the way device enumeration
// and open see them.
#include "sim/SimDeviceRegistry.h"

#include <gtest/gtest.h>
#include <setupapi.h>

#include <vector>

using simreg::DeviceSpec;
using simreg::InterfaceClass;
using simreg::Placeholder;
using simreg::ScopedDevice;

namespace {

std::wstring widen(const std::string& s) { return std::wstring(s.begin(), s.end()); }

struct Listed {
  std::wstring path;
  std::wstring instanceId;
  std::wstring serial;  // "" when the value is missing
};

// Every interface of the class, as enumeration walks them.
std::vector<Listed> listInterfaces(InterfaceClass cls, bool presentOnly) {
  std::vector<Listed> found;
  const GUID& guid = simreg::interfaceClassGuid(cls);
  HDEVINFO set = SetupDiGetClassDevsW(&guid, nullptr, nullptr, DIGCF_DEVICEINTERFACE | (presentOnly ? DIGCF_PRESENT : 0));
  if (set == INVALID_HANDLE_VALUE) return found;
  SP_DEVICE_INTERFACE_DATA data{};
  data.cbSize = sizeof data;
  for (DWORD i = 0; SetupDiEnumDeviceInterfaces(set, nullptr, &guid, i, &data); ++i) {
    Listed entry;
    std::vector<unsigned char> buffer(2048);
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    if (!SetupDiGetDeviceInterfaceDetailW(set, &data, detail, DWORD(buffer.size()), nullptr, &device)) continue;
    entry.path = detail->DevicePath;
    wchar_t id[512] = L"";
    SetupDiGetDeviceInstanceIdW(set, &device, id, 512, nullptr);
    entry.instanceId = id;
    HKEY key = SetupDiOpenDeviceInterfaceRegKey(set, &data, 0, KEY_READ);
    if (key != INVALID_HANDLE_VALUE) {
      wchar_t value[256] = L"";
      DWORD size = sizeof value - sizeof(wchar_t), type = 0;
      if (RegQueryValueExW(key, L"DeviceSerialNumber", nullptr, &type, reinterpret_cast<BYTE*>(value), &size) ==
          ERROR_SUCCESS)
        entry.serial = value;
      RegCloseKey(key);
    }
    found.push_back(entry);
  }
  SetupDiDestroyDeviceInfoList(set);
  return found;
}

const Listed* findPath(const std::vector<Listed>& list, const std::string& path) {
  for (const Listed& l : list)
    if (_wcsicmp(l.path.c_str(), widen(path).c_str()) == 0) return &l;
  return nullptr;
}

// CreateFileW as the product opens a device; returns the error, 0 when it opened (and
// hands the handle to `held` if given, else closes it).
DWORD openDevice(const std::string& path, HANDLE* held = nullptr) {
  HANDLE h = CreateFileW(widen(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         FILE_FLAG_OVERLAPPED, nullptr);
  if (h == INVALID_HANDLE_VALUE) return GetLastError();
  if (held) *held = h;
  else CloseHandle(h);
  return 0;
}

}  // namespace

TEST(SimDeviceRegistry, RegisteredDeviceIsListedOpenedAndRemoved) {
  DeviceSpec spec;
  spec.instanceId = "USB\\VID_1234&PID_5678\\SIMREG1";
  spec.serialNumber = "SN-4711";
  std::string path;
  {
    ScopedDevice device(spec);
    ASSERT_TRUE(device.ok());
    path = device.path();
    EXPECT_EQ(path, "\\\\?\\usb#vid_1234&pid_5678#simreg1#{c7c60c86-7f33-443b-9908-2e0cc526c6f5}");

    const std::vector<Listed> present = listInterfaces(InterfaceClass::Primary, true);
    const Listed* listed = findPath(present, path);
    ASSERT_NE(listed, nullptr);
    EXPECT_EQ(_wcsicmp(listed->instanceId.c_str(), L"USB\\VID_1234&PID_5678\\SIMREG1"), 0);
    EXPECT_EQ(listed->serial, L"SN-4711");
    EXPECT_EQ(findPath(listInterfaces(InterfaceClass::Secondary, false), path), nullptr);

    // Exclusive: a second open while the first handle is held is refused.
    HANDLE first = INVALID_HANDLE_VALUE;
    ASSERT_EQ(openDevice(path, &first), 0u);
    EXPECT_EQ(openDevice(path), DWORD(ERROR_SHARING_VIOLATION));
    CloseHandle(first);
    EXPECT_EQ(openDevice(path), 0u);
  }
  EXPECT_EQ(findPath(listInterfaces(InterfaceClass::Primary, false), path), nullptr);
  EXPECT_EQ(openDevice(path), DWORD(ERROR_FILE_NOT_FOUND));

  // The instance id can be registered again, in the other class this time.
  spec.interfaceClass = InterfaceClass::Secondary;
  spec.serialNumber.reset();
  ScopedDevice again(spec);
  ASSERT_TRUE(again.ok());
  EXPECT_NE(again.path().find("{b2c19fe0-85e0-11d5-923e-9bcb7afa785c}"), std::string::npos);
  const Listed* listed = findPath(listInterfaces(InterfaceClass::Secondary, true), again.path());
  ASSERT_NE(listed, nullptr);
  EXPECT_EQ(listed->serial, L"");
}

TEST(SimDeviceRegistry, PresenceAndPlaceholderAreChosen) {
  DeviceSpec spec;
  spec.instanceId = "USB\\VID_1234&PID_5678\\SIMREG2";
  spec.present = false;
  spec.placeholder = Placeholder::HeldByOther;
  ScopedDevice device(spec);
  ASSERT_TRUE(device.ok());
  EXPECT_EQ(findPath(listInterfaces(InterfaceClass::Primary, true), device.path()), nullptr);
  EXPECT_NE(findPath(listInterfaces(InterfaceClass::Primary, false), device.path()), nullptr);

  EXPECT_EQ(openDevice(device.path()), DWORD(ERROR_ACCESS_DENIED));
  ASSERT_TRUE(simreg::setPlaceholder(device.path(), Placeholder::File));
  EXPECT_EQ(openDevice(device.path()), 0u);
  ASSERT_TRUE(simreg::setPlaceholder(device.path(), Placeholder::None));
  EXPECT_EQ(openDevice(device.path()), DWORD(ERROR_FILE_NOT_FOUND));
}

TEST(SimDeviceRegistry, StaleRegistrationIsReplaced) {
  DeviceSpec spec;
  spec.instanceId = "USB\\VID_1234&PID_5678\\SIMREG3";
  const std::string first = simreg::registerDevice(spec);  // left behind, as by a crashed run
  ASSERT_FALSE(first.empty());
  ScopedDevice device(spec);
  ASSERT_TRUE(device.ok());
  int count = 0;
  for (const Listed& l : listInterfaces(InterfaceClass::Primary, false))
    count += _wcsicmp(l.path.c_str(), widen(device.path()).c_str()) == 0;
  EXPECT_EQ(count, 1);
  EXPECT_FALSE(simreg::removeDevice("USB\\VID_1234&PID_5678\\NOSUCH"));
}
