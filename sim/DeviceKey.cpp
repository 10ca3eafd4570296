#include "sim/DeviceKey.h"

#include <cstring>
#include <vector>

namespace sim {
namespace {

char lowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

std::string lowerAscii(std::string text) {
  for (char& c : text) c = lowerAscii(c);
  return text;
}

std::string narrowAscii(const wchar_t* text, size_t n) {
  // Device paths are ASCII; anything else cannot name a simulated device and becomes '?'.
  std::string out(n, '?');
  for (size_t i = 0; i < n; ++i)
    if (text[i] < 0x80) out[i] = static_cast<char>(text[i]);
  return out;
}

uint16_t hexField(const std::string& key, const char* tag) {
  const size_t at = key.find(tag);
  if (at == std::string::npos) return 0;
  unsigned value = 0;
  for (size_t i = at + std::strlen(tag), end = i + 4; i < end && i < key.size(); ++i) {
    const char c = key[i];
    if (c >= '0' && c <= '9') value = value * 16 + (c - '0');
    else if (c >= 'a' && c <= 'f') value = value * 16 + (c - 'a' + 10);
    else return 0;
  }
  return static_cast<uint16_t>(value);
}

}  // namespace

std::string deviceKeyFromPath(const char* path) {
  if (!path) return std::string();
  std::string key = lowerAscii(path);
  for (const char* prefix : {"\\\\?\\", "\\\\.\\", "##?#"})
    if (key.compare(0, 4, prefix) == 0) return key.substr(4);
  return key;
}

bool deviceKeyFromHandle(HANDLE file, std::string* key) {
  std::vector<unsigned char> buffer(sizeof(FILE_NAME_INFO) + 2048 * sizeof(wchar_t));
  auto* info = reinterpret_cast<FILE_NAME_INFO*>(buffer.data());
  if (!GetFileInformationByHandleEx(file, FileNameInfo, info, static_cast<DWORD>(buffer.size())))
    return false;
  const std::string name = lowerAscii(narrowAscii(info->FileName, info->FileNameLength / sizeof(wchar_t)));
  const size_t last = name.rfind('\\');
  if (last == std::string::npos || last == 0 || last + 1 >= name.size()) return false;
  const size_t parent = name.rfind('\\', last - 1);
  const size_t folderStart = parent == std::string::npos ? 0 : parent + 1;
  if (name.compare(folderStart, last - folderStart, "dosdevices") != 0) return false;
  *key = name.substr(last + 1);
  return true;
}

bool isOverlappedHandle(HANDLE file) {
  struct IoStatus {
    ULONG_PTR status;
    ULONG_PTR information;
  };
  using QueryFile = LONG(WINAPI*)(HANDLE, IoStatus*, PVOID, ULONG, int);
  static const auto query = reinterpret_cast<QueryFile>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryInformationFile")));
  constexpr int kFileModeInformation = 16;
  constexpr ULONG kSynchronousModes = 0x10 | 0x20;  // FILE_SYNCHRONOUS_IO_ALERT | _NONALERT
  IoStatus status{};
  ULONG mode = 0;
  if (!query || query(file, &status, &mode, sizeof mode, kFileModeInformation) < 0) return true;
  return (mode & kSynchronousModes) == 0;
}

void vendorAndProductFromKey(const std::string& key, uint16_t* vendor, uint16_t* product) {
  *vendor = hexField(key, "vid_");
  *product = hexField(key, "pid_");
}

}  // namespace sim
