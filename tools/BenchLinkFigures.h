// The bench's figures of the interface link itself, made with the tool's own copy of the
// device layer (the same sources as the external's): packetising a full frame for the OUT pipe,
// and taking in a full frame's IN stream. Main thread; before any object box exists, since the
// IN figure opens the simulated interface itself.
#pragma once

#include "tools/ToolConsole.h"
#include "tools/ToolSimulator.h"

// CDmxUsbLink::encodeFrame on a 513-byte frame: nanoseconds per call, median and 99th
// percentile of samples that each time a batch of calls.
void printPacketiseFigure(ToolConsole& console, double seconds);

// A 513-byte frame's 588-byte IN stream (10 packets) arriving at an open link: the link's work
// for it, timed on this thread with the environment lock held, as the environment's thread
// does it when the reads' events fire: collect the 10 finished reads and decode them into the
// frame (printed as "decode"), and issue the 10 reads again (printed apart, with the time
// spent inside the WinUSB library's ReadPipe, here the simulated one's, apart again). False,
// with the reason printed, when the link cannot be opened.
bool printDecodeFigure(ToolConsole& console, const ToolSimulator& simulator, double seconds);
