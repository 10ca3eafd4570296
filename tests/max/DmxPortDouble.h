// A test double for the DMX port, linked into a test build of the external
// (prismlux_double.mxe64 / .mxe) in place of the device layer. It keeps the port's
// contract: writes copy the frame at once; one request per direction per device; each
// callback runs later, on the thread that made the first open, from that thread's message
// dispatch (a thread timer), while the device holds its own recursive lock.
//
// The functions below are the test's side. Present interfaces, opens and closes belong
// to the main thread; the others may be called from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "dmx/DmxPort.h"

#if defined(PRISMLUX_BUILDING_DMXDOUBLE)
#define DMXDOUBLE_API __declspec(dllexport)
#else
#define DMXDOUBLE_API __declspec(dllimport)
#endif

namespace dmxdouble {

// The serial numbers of the interfaces that open finds, in enumeration order. An open
// interface cannot be opened a second time.
DMXDOUBLE_API void setPresent(const std::vector<std::string>& serials);

// Devices open now, and the serial number of one of them.
DMXDOUBLE_API int openCount();
DMXDOUBLE_API std::string serialOf(CDmxIo* device);

// Frames accepted by write, oldest first; taking them clears the record.
DMXDOUBLE_API std::vector<std::vector<uint8_t>> takeFrames(CDmxIo* device);
DMXDOUBLE_API long writesRefused(CDmxIo* device);

// Read requests accepted so far, and whether one is outstanding.
DMXDOUBLE_API long readsAccepted(CDmxIo* device);
DMXDOUBLE_API bool readPending(CDmxIo* device);

// Queues a received frame; an outstanding read completes with it on a later tick.
// An empty frame completes the read with 0 bytes.
DMXDOUBLE_API void receive(CDmxIo* device, const std::vector<uint8_t>& frame);

// The interface fails: later writes are refused and reads never complete.
DMXDOUBLE_API void fail(CDmxIo* device);

}  // namespace dmxdouble
