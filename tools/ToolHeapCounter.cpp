#include "tools/ToolHeapCounter.h"

#include "tools/ImportSlots.h"

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

}  // namespace

int toolCountAllocationsOf(HMODULE module) {
  int hooked = 0;
  importslots::forEach(module, [&](const char*, const char* function, void** slot) {
    for (const Hook& hook : kHooks) {
      if (std::strcmp(function, hook.name) != 0) continue;
      if (*slot == hook.counted) break;  // counted already
      *hook.original = *slot;
      if (importslots::replace(slot, hook.counted)) ++hooked;
      break;
    }
    return false;
  });
  return hooked;
}

uint64_t toolAllocationCount() { return allocations.load(std::memory_order_relaxed); }
