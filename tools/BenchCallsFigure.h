// The bench's count of what one frame costs in calls: one object box on one simulated
// interface behind a DMX line, looping every frame it sends back as a received frame, so
// that each frame is one write and its reads. Over a run of whole frames, the calls the
// external makes through its import table (tools/ImportHook.h), by thread (host main
// thread, the environment thread, the helper wait threads, any other) and by function, and
// the WinUSB entry points the simulated winusb.dll served, each divided by the frames sent
// and printed with one decimal, beside the design's floor where it has one.
//
// The counts do not depend on the machine's speed as long as each frame's completions come
// apart from the next frame's: every frame holds the line for a full frame's time, whatever
// its length; only a machine too slow for that would batch differently. Main thread, with the external loaded and attached to the
// hook, on an interface of its own (frames are left behind in it).
#pragma once

#include <string>

#include "sim/SimControlApi.h"
#include "tools/ToolConsole.h"

// The box opens the interface at `interfacePath` by its `serial`. `frameBytes` is the
// frame's length with its start code (3 or 513); `frames` the frames counted after a
// warm-up. False, with the reason printed, when the box did not open or the
// frames stopped.
bool printCallsFigure(ToolConsole& console, const SimControlApi& sim, const std::string& interfacePath,
                      const std::string& serial, int frameBytes, int frames);
