#include "framework/WaitableHandle.h"

#include "support/Win32Text.h"

#include <atomic>

namespace {

// The system's basic object information record (the leading fields of its layout).
struct ObjectBasicInformation {
  ULONG attributes;
  ACCESS_MASK grantedAccess;
  ULONG handleCount;
  ULONG pointerCount;
  ULONG reserved[10];
};

constexpr int kObjectBasicInformation = 0;

using QueryObject = LONG(WINAPI*)(HANDLE handle, int informationClass, void* information,
                                  ULONG length, ULONG* returned);

QueryObject queryObject() {
  // Part of every Windows process; looked up rather than imported.
  static const QueryObject query = [] {
    HMODULE ntdll = w32::getModuleHandle("ntdll.dll");
    return ntdll == nullptr ? nullptr
                            : reinterpret_cast<QueryObject>(GetProcAddress(ntdll, "NtQueryObject"));
  }();
  return query;
}

std::atomic<bool> gAccessUnknown{false};

}  // namespace

bool setAccessUnknown(bool unknown) noexcept { return gAccessUnknown.exchange(unknown); }

bool canWaitOn(HANDLE handle) noexcept {
  DWORD flags = 0;
  if (handle == nullptr || !GetHandleInformation(handle, &flags)) return false;
  QueryObject query = gAccessUnknown.load() ? nullptr : queryObject();
  if (query == nullptr) return true;
  ObjectBasicInformation info = {};
  if (query(handle, kObjectBasicInformation, &info, sizeof info, nullptr) < 0) return true;
  return (info.grantedAccess & SYNCHRONIZE) != 0;
}
