#include "sim/SimDeviceRegistry.h"

#include <setupapi.h>

#include <cwchar>
#include <vector>

namespace simreg {
namespace {

const GUID kPrimary = {0xC7C60C86, 0x7F33, 0x443B, {0x99, 0x08, 0x2E, 0x0C, 0xC5, 0x26, 0xC6, 0xF5}};
const GUID kSecondary = {0xB2C19FE0, 0x85E0, 0x11D5, {0x92, 0x3E, 0x9B, 0xCB, 0x7A, 0xFA, 0x78, 0x5C}};

// A SetupAPI record with its cbSize filled in.
template <class T>
T sized() {
  T record{};
  record.cbSize = sizeof(T);
  return record;
}

std::wstring widen(const std::string& text) {
  if (text.empty()) return std::wstring();
  const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0);
  std::wstring wide(n, L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), &wide[0], n);
  return wide;
}

std::string narrow(const std::wstring& text) {
  if (text.empty()) return std::string();
  const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0, nullptr, nullptr);
  std::string out(n, '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), &out[0], n, nullptr, nullptr);
  return out;
}

std::wstring lower(std::wstring text) {
  for (wchar_t& c : text)
    if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
  return text;
}

// "\\?\usb#..." → "usb#...": the name of the placeholder and of the interface's key.
std::wstring withoutPrefix(const std::wstring& path) {
  return (path.compare(0, 4, L"\\\\?\\") == 0 || path.compare(0, 4, L"##?#") == 0) ? path.substr(4) : path;
}

std::wstring guidText(const GUID& g) {
  wchar_t text[40];
  swprintf(text, 40, L"{%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", static_cast<unsigned long>(g.Data1),
           g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6],
           g.Data4[7]);
  return text;
}

// Owns a device information set.
class InfoSet {
public:
  explicit InfoSet(HDEVINFO set) : set_(set) {}
  ~InfoSet() {
    if (ok()) SetupDiDestroyDeviceInfoList(set_);
  }
  InfoSet(const InfoSet&) = delete;
  InfoSet& operator=(const InfoSet&) = delete;
  bool ok() const { return set_ != INVALID_HANDLE_VALUE; }
  HDEVINFO get() const { return set_; }

private:
  HDEVINFO set_;
};

std::wstring interfacePath(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* data, SP_DEVINFO_DATA* device) {
  DWORD size = 0;
  SetupDiGetDeviceInterfaceDetailW(set, data, nullptr, 0, &size, nullptr);
  if (size < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) return std::wstring();
  std::vector<unsigned char> buffer(size);
  auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.data());
  detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
  if (!SetupDiGetDeviceInterfaceDetailW(set, data, detail, size, nullptr, device)) return std::wstring();
  return detail->DevicePath;
}

std::wstring instanceIdOf(HDEVINFO set, SP_DEVINFO_DATA* device) {
  wchar_t id[512];
  if (!SetupDiGetDeviceInstanceIdW(set, device, id, 512, nullptr)) return std::wstring();
  return id;
}

std::wstring placeholderPath(const std::wstring& devicePath) {
  const std::wstring folder = dosdevicesFolder();
  return folder.empty() ? folder : folder + L"\\" + lower(withoutPrefix(devicePath));
}

void removePlaceholder(const std::wstring& devicePath) {
  const std::wstring file = placeholderPath(devicePath);
  if (file.empty()) return;
  if (!DeleteFileW(file.c_str())) RemoveDirectoryW(file.c_str());
}

bool makePlaceholder(const std::wstring& devicePath, Placeholder placeholder) {
  removePlaceholder(devicePath);
  if (placeholder == Placeholder::None) return true;
  const std::wstring file = placeholderPath(devicePath);
  if (file.empty()) return false;
  if (placeholder == Placeholder::HeldByOther) return CreateDirectoryW(file.c_str(), nullptr) != FALSE;
  HANDLE h = CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  CloseHandle(h);
  return true;
}

bool setLinked(const GUID& cls, const std::wstring& devicePath) {
  const std::wstring key = L"System\\CurrentControlSet\\Control\\DeviceClasses\\" + guidText(cls) + L"\\##?#" +
                           withoutPrefix(devicePath) + L"\\#\\Control";
  HKEY control = nullptr;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &control, nullptr) !=
      ERROR_SUCCESS)
    return false;
  const DWORD one = 1;
  const LONG result = RegSetValueExW(control, L"Linked", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), sizeof one);
  RegCloseKey(control);
  return result == ERROR_SUCCESS;
}

bool setSerialNumber(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* data, const std::string& serial) {
  HKEY key = SetupDiCreateDeviceInterfaceRegKeyW(set, data, 0, KEY_ALL_ACCESS, nullptr, nullptr);
  if (key == INVALID_HANDLE_VALUE) return false;
  const std::wstring value = widen(serial);
  const LONG result = RegSetValueExW(key, L"DeviceSerialNumber", 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                                     DWORD((value.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(key);
  return result == ERROR_SUCCESS;
}

// Removes the interfaces of `instanceId` in one class; false when there were none.
bool removeInterfaces(const GUID& cls, const std::wstring& instanceId) {
  InfoSet set(SetupDiGetClassDevsW(&cls, nullptr, nullptr, DIGCF_DEVICEINTERFACE));
  if (!set.ok()) return false;
  bool removed = false;
  SP_DEVICE_INTERFACE_DATA data = sized<SP_DEVICE_INTERFACE_DATA>();
  for (DWORD i = 0; SetupDiEnumDeviceInterfaces(set.get(), nullptr, &cls, i, &data); ++i) {
    SP_DEVINFO_DATA device = sized<SP_DEVINFO_DATA>();
    const std::wstring path = interfacePath(set.get(), &data, &device);
    if (path.empty() || lower(instanceIdOf(set.get(), &device)) != lower(instanceId)) continue;
    if (SetupDiRemoveDeviceInterface(set.get(), &data)) removed = true;
    removePlaceholder(path);
  }
  return removed;
}

}  // namespace

const GUID& interfaceClassGuid(InterfaceClass cls) { return cls == InterfaceClass::Primary ? kPrimary : kSecondary; }

std::wstring dosdevicesFolder() {
  wchar_t prefix[1024];
  DWORD n = GetEnvironmentVariableW(L"WINEPREFIX", prefix, 1024);
  std::wstring unixPath;
  if (n > 0 && n < 1024) {
    unixPath = prefix;
  } else {
    n = GetEnvironmentVariableW(L"HOME", prefix, 1024);
    if (n == 0 || n >= 1024) return std::wstring();
    unixPath = std::wstring(prefix) + L"/.wine";
  }
  while (unixPath.size() > 1 && unixPath.back() == L'/') unixPath.pop_back();
  // Wine maps the Unix root to Z: in every prefix it makes.
  std::wstring folder = L"Z:" + unixPath + L"/dosdevices";
  for (wchar_t& c : folder)
    if (c == L'/') c = L'\\';
  return folder;
}

std::string registerDevice(const DeviceSpec& spec) {
  const GUID& cls = interfaceClassGuid(spec.interfaceClass);
  const std::wstring instanceId = widen(spec.instanceId);
  if (instanceId.empty()) return std::string();
  removeDevice(spec.instanceId);

  InfoSet set(SetupDiCreateDeviceInfoList(&cls, nullptr));
  if (!set.ok()) return std::string();
  SP_DEVINFO_DATA device = sized<SP_DEVINFO_DATA>();
  if (!SetupDiCreateDeviceInfoW(set.get(), instanceId.c_str(), &cls, nullptr, nullptr, 0, &device) ||
      !SetupDiRegisterDeviceInfo(set.get(), &device, 0, nullptr, nullptr, nullptr))
    return std::string();
  SP_DEVICE_INTERFACE_DATA data = sized<SP_DEVICE_INTERFACE_DATA>();
  std::wstring path;
  bool ok = SetupDiCreateDeviceInterfaceW(set.get(), &device, &cls, nullptr, 0, &data) &&
            !(path = interfacePath(set.get(), &data, nullptr)).empty();
  if (ok && spec.serialNumber) ok = setSerialNumber(set.get(), &data, *spec.serialNumber);
  if (ok && spec.present) ok = setLinked(cls, path);
  if (ok) ok = makePlaceholder(path, spec.placeholder);
  if (!ok) {
    removeDevice(spec.instanceId);
    return std::string();
  }
  return narrow(path);
}

bool removeDevice(const std::string& instanceId) {
  const std::wstring id = widen(instanceId);
  if (id.empty()) return false;
  bool removed = removeInterfaces(kPrimary, id);
  removed = removeInterfaces(kSecondary, id) || removed;
  InfoSet set(SetupDiCreateDeviceInfoList(nullptr, nullptr));
  if (!set.ok()) return removed;
  SP_DEVINFO_DATA device = sized<SP_DEVINFO_DATA>();
  if (SetupDiOpenDeviceInfoW(set.get(), id.c_str(), nullptr, 0, &device) &&
      SetupDiRemoveDevice(set.get(), &device))
    removed = true;
  return removed;
}

bool setPlaceholder(const std::string& devicePath, Placeholder placeholder) {
  return !devicePath.empty() && makePlaceholder(widen(devicePath), placeholder);
}

ScopedDevice::ScopedDevice(const DeviceSpec& spec) : instanceId_(spec.instanceId), path_(registerDevice(spec)) {}

ScopedDevice::~ScopedDevice() {
  if (ok()) removeDevice(instanceId_);
}

}  // namespace simreg
