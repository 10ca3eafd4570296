// What this process holds, counted from the system's own tables: its threads (a Toolhelp
// snapshot) and its open handles (the system handle table; the handle count API reports 0
// under Wine). For checks that something freed everything it made.
#pragma once

#include <cstdint>
#include <vector>

#include "support/Windows.h"

#include <tlhelp32.h>

namespace processcounts {

// The ids of this process's threads; false when the snapshot cannot be taken.
inline bool ownThreadIds(std::vector<uint32_t>& ids) {
  const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return false;
  THREADENTRY32 entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
    if (entry.th32OwnerProcessID == GetCurrentProcessId()) ids.push_back(entry.th32ThreadID);
  }
  CloseHandle(snapshot);
  return true;
}

inline bool threadExists(uint32_t threadId) {
  std::vector<uint32_t> ids;
  if (!ownThreadIds(ids)) return false;
  for (uint32_t id : ids) {
    if (id == threadId) return true;
  }
  return false;
}

// -1 when the snapshot cannot be taken.
inline int threads() {
  std::vector<uint32_t> ids;
  return ownThreadIds(ids) ? static_cast<int>(ids.size()) : -1;
}

// -1 when the table cannot be read.
inline int handles() {
  struct Entry {
    USHORT processId;
    USHORT creatorBackTraceIndex;
    UCHAR objectTypeIndex;
    UCHAR attributes;
    USHORT handleValue;
    void* object;
    ULONG grantedAccess;
  };
  struct Table {
    ULONG count;
    Entry entries[1];
  };
  using Query = LONG(WINAPI*)(int informationClass, void* information, ULONG length, ULONG* returned);
  constexpr int kSystemHandleInformation = 16;
  auto query = reinterpret_cast<Query>(
      GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation"));
  if (query == nullptr) return -1;
  std::vector<uint8_t> buffer(1 << 16);
  LONG status = 0;
  for (;;) {
    ULONG needed = 0;
    status = query(kSystemHandleInformation, buffer.data(), ULONG(buffer.size()), &needed);
    if (status != LONG(0xC0000004)) break;  // STATUS_INFO_LENGTH_MISMATCH
    buffer.resize(buffer.size() * 2);
  }
  if (status < 0) return -1;
  const auto* table = reinterpret_cast<const Table*>(buffer.data());
  const USHORT self = USHORT(GetCurrentProcessId());
  int count = 0;
  for (ULONG i = 0; i < table->count; ++i) {
    if (table->entries[i].processId == self) ++count;
  }
  return count;
}

}  // namespace processcounts
