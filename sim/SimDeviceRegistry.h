// Registers simulated DMX interfaces in the Wine prefix's SetupAPI database, so that device
// enumeration finds them and CreateFileW opens their paths (static library prismlux_simreg).
//
// A registered device is: a device instance (its instance id as given), one device interface
// of the chosen class, optionally a "DeviceSerialNumber" value in the interface's registry
// key, the DWORD Linked = 1 under the interface's "#\Control" key (without it Wine does not
// list the interface under DIGCF_PRESENT), and a placeholder in the prefix's dosdevices
// folder named like the device path, which makes the path openable:
//   - Placeholder::File: an empty file; CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0,
//     ..., OPEN_EXISTING, FILE_FLAG_OVERLAPPED) succeeds, a second open while the first is
//     held fails with ERROR_SHARING_VIOLATION;
//   - Placeholder::HeldByOther: a directory; CreateFileW fails with ERROR_ACCESS_DENIED, as
//     for a device another process holds;
//   - Placeholder::None: nothing; CreateFileW fails with ERROR_FILE_NOT_FOUND.
// Which simulated device a WinUSB handle belongs to is decided by the simulated winusb.dll
// from the opened file's name (SimControl.h), so registration and simulation meet only in
// the device path.
//
// Only for programs running under Wine in the build's prefix (the dosdevices folder is found
// through the WINEPREFIX environment variable, else $HOME/.wine). Registration changes the
// prefix for every process using it: tests that register devices take the ctest resource
// lock "setupapi". Texts are UTF-8. Not thread-safe against itself (call from one thread).
#pragma once

#include <optional>
#include <string>

#include "support/Windows.h"

namespace simreg {

// The two device interface classes the product walks, in its order.
enum class InterfaceClass {
  Primary,    // {C7C60C86-7F33-443B-9908-2E0CC526C6F5}
  Secondary,  // {B2C19FE0-85E0-11D5-923E-9BCB7AFA785C}
};
const GUID& interfaceClassGuid(InterfaceClass cls);

enum class Placeholder { File, HeldByOther, None };

struct DeviceSpec {
  // As SetupDiCreateDeviceInfoW takes it, e.g. "USB\\VID_1234&PID_5678\\1234". Its last
  // component becomes part of the device path.
  std::string instanceId;
  InterfaceClass interfaceClass = InterfaceClass::Primary;
  // REG_SZ "DeviceSerialNumber" in the interface's device parameters key, when set.
  std::optional<std::string> serialNumber;
  // Linked = 1: the interface is listed under DIGCF_PRESENT.
  bool present = true;
  Placeholder placeholder = Placeholder::File;
};

// Registers the device; a stale registration of the same instance id (left by a crashed
// run) is removed first. Returns the device path as SetupAPI reports it
// ("\\?\usb#vid_1234&pid_5678#1234#{c7c60c86-...}", lower case), or "" on failure.
std::string registerDevice(const DeviceSpec& spec);

// Removes the device instance, every interface it has in either class, and their
// placeholders. True when the instance existed and is gone.
bool removeDevice(const std::string& instanceId);

// Replaces the placeholder of a registered device path (with or without "\\?\").
bool setPlaceholder(const std::string& devicePath, Placeholder placeholder);

// The prefix's dosdevices folder as a Windows path ("Z:\...\dosdevices"), "" if unknown.
std::wstring dosdevicesFolder();

// Registers on construction and removes on destruction. Non-copyable.
class ScopedDevice {
public:
  explicit ScopedDevice(const DeviceSpec& spec);
  ~ScopedDevice();
  ScopedDevice(const ScopedDevice&) = delete;
  ScopedDevice& operator=(const ScopedDevice&) = delete;

  bool ok() const { return !path_.empty(); }
  // The device path, "" when registration failed.
  const std::string& path() const { return path_; }
  const std::string& instanceId() const { return instanceId_; }

private:
  std::string instanceId_;
  std::string path_;
};

}  // namespace simreg
