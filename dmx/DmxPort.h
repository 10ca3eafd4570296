// The four operations through which the Max object reaches a DMX interface.
//
// open and close are called from one thread at a time (the host's main thread). write and
// read may be called from any thread, also from inside the callbacks. Both callbacks run
// on the thread that made the first open of the process, from its message dispatch, while
// the device holds its own recursive lock; a callback may make the next request of its own
// direction at once, because the request has already ended when it is called.
#pragma once

#include <cstdint>

class CDmxIo;

// Called once a write request has been handed on; `user` is what the caller passed.
using DmxWriteDone = void (*)(void* user);
// Called once `count` bytes of a received frame have been copied to the read target.
using DmxReadDone = void (*)(void* user, int32_t count);

// Opens the interface whose serial number equals `name` (UTF-8, byte for byte and
// case-sensitive; null or empty: the first interface that opens). A name of decimal digits
// also selects a serial number of decimal digits with the same value, leading zeros set
// aside, so "4660" (a number's printed form) finds "00004660"; such a match by value is
// taken only when no interface whose serial number equals the name opens, wherever the
// walk meets them. Interfaces that do not open are passed over. Returns null when none
// opens. The caller owns the result until it hands
// it to dmxClose.
CDmxIo* dmxOpen(const char* name);

// Destroys an opened device; null does nothing. No callback for it runs afterwards.
void dmxClose(CDmxIo* device);

// Queues one frame: 1 accepted (the bytes are copied at once; a count of 0 is taken as 1
// and one above 513 as 513; `done` follows exactly once), 0 refused (a write is still
// outstanding, or the device is not open).
int32_t dmxWrite(CDmxIo* device, const uint8_t* data, int32_t count, DmxWriteDone done, void* user);

// Asks for the next received frame. Always returns 0; when a frame arrives its first
// min(capacity, length) bytes are copied to `target` and `done` is called with that count.
// Ignored, with no callback, while a read is outstanding or the device is not open.
int32_t dmxRead(CDmxIo* device, uint8_t* target, int32_t capacity, DmxReadDone done, void* user);
