// Counts the heap allocations that one loaded module makes: its imports of the C runtime's
// allocating functions (malloc, calloc, realloc, _strdup) and of the Windows heap (HeapAlloc,
// HeapReAlloc) are pointed at stand-ins that count the call and call the original. C++'s
// operator new, built into the module, allocates through its malloc import and so counts too.
// Allocations the module asks others to make (its host, the system) are not counted.
//
// For measurement only: the module is changed for the rest of the process. Install once, on
// any thread, while no other thread calls into the module; the count may be read from any
// thread.
#pragma once

#include <cstdint>

#include "support/Windows.h"

// Points the module's allocating imports at the counters; returns how many imports it found
// (0: nothing to count, or the module's import table could not be changed).
int toolCountAllocationsOf(HMODULE module);

// Allocations counted since the process started.
uint64_t toolAllocationCount();
