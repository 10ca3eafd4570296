#include "tools/ToolHeapCounter.h"

#include <atomic>
#include <cstddef>
#include <cstring>

namespace {

std::atomic<uint64_t> allocations{0};

using Malloc = void*(__cdecl*)(size_t);
using Calloc = void*(__cdecl*)(size_t, size_t);
using Realloc = void*(__cdecl*)(void*, size_t);
using Strdup = char*(__cdecl*)(const char*);
using HeapAllocFunction = LPVOID(WINAPI*)(HANDLE, DWORD, SIZE_T);
using HeapReAllocFunction = LPVOID(WINAPI*)(HANDLE, DWORD, LPVOID, SIZE_T);

// The originals, taken from the import table before it is changed.
Malloc originalMalloc = nullptr;
Calloc originalCalloc = nullptr;
Realloc originalRealloc = nullptr;
Strdup originalStrdup = nullptr;
HeapAllocFunction originalHeapAlloc = nullptr;
HeapReAllocFunction originalHeapReAlloc = nullptr;

void* __cdecl countedMalloc(size_t size) {
  allocations.fetch_add(1, std::memory_order_relaxed);
  return originalMalloc(size);
}
void* __cdecl countedCalloc(size_t count, size_t size) {
  allocations.fetch_add(1, std::memory_order_relaxed);
  return originalCalloc(count, size);
}
void* __cdecl countedRealloc(void* block, size_t size) {
  allocations.fetch_add(1, std::memory_order_relaxed);
  return originalRealloc(block, size);
}
char* __cdecl countedStrdup(const char* text) {
  allocations.fetch_add(1, std::memory_order_relaxed);
  return originalStrdup(text);
}
LPVOID WINAPI countedHeapAlloc(HANDLE heap, DWORD flags, SIZE_T size) {
  allocations.fetch_add(1, std::memory_order_relaxed);
  return originalHeapAlloc(heap, flags, size);
}
LPVOID WINAPI countedHeapReAlloc(HANDLE heap, DWORD flags, LPVOID block, SIZE_T size) {
  allocations.fetch_add(1, std::memory_order_relaxed);
  return originalHeapReAlloc(heap, flags, block, size);
}

struct Hook {
  const char* name;
  void** original;
  void* counted;
};

const Hook kHooks[] = {
    {"malloc", reinterpret_cast<void**>(&originalMalloc), reinterpret_cast<void*>(&countedMalloc)},
    {"calloc", reinterpret_cast<void**>(&originalCalloc), reinterpret_cast<void*>(&countedCalloc)},
    {"realloc", reinterpret_cast<void**>(&originalRealloc), reinterpret_cast<void*>(&countedRealloc)},
    {"_strdup", reinterpret_cast<void**>(&originalStrdup), reinterpret_cast<void*>(&countedStrdup)},
    {"HeapAlloc", reinterpret_cast<void**>(&originalHeapAlloc), reinterpret_cast<void*>(&countedHeapAlloc)},
    {"HeapReAlloc", reinterpret_cast<void**>(&originalHeapReAlloc), reinterpret_cast<void*>(&countedHeapReAlloc)},
};

bool replaceSlot(void** slot, void* value) {
  DWORD oldProtection = 0;
  if (!VirtualProtect(slot, sizeof *slot, PAGE_READWRITE, &oldProtection)) return false;
  *slot = value;
  VirtualProtect(slot, sizeof *slot, oldProtection, &oldProtection);
  return true;
}

}  // namespace

int toolCountAllocationsOf(HMODULE module) {
  if (module == nullptr) return 0;
  auto* base = reinterpret_cast<uint8_t*>(module);
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& directory = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  if (directory.VirtualAddress == 0) return 0;
  int hooked = 0;
  for (auto* library = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + directory.VirtualAddress);
       library->Name != 0; ++library) {
    if (library->OriginalFirstThunk == 0) continue;  // no names to go by
    const auto* names = reinterpret_cast<const IMAGE_THUNK_DATA*>(base + library->OriginalFirstThunk);
    auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + library->FirstThunk);
    for (; names->u1.AddressOfData != 0; ++names, ++slots) {
      if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
      const auto* byName = reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
      for (const Hook& hook : kHooks) {
        if (std::strcmp(reinterpret_cast<const char*>(byName->Name), hook.name) != 0) continue;
        void** slot = reinterpret_cast<void**>(&slots->u1.Function);
        if (*slot == hook.counted) break;  // counted already
        *hook.original = *slot;
        if (replaceSlot(slot, hook.counted)) ++hooked;
        break;
      }
    }
  }
  return hooked;
}

uint64_t toolAllocationCount() { return allocations.load(std::memory_order_relaxed); }
