// The bench's figures of many interfaces at once: for each count, that many simulated
// interfaces behind DMX lines (a full frame's line time per OUT transfer), each with its own
// object box that keeps sending full frames, and each receiving full frames at the line's
// rate, every interface's line at its own phase (an interface whose last frame still waits
// for reads drops the next). Printed per count: frames per second per interface out and in
// (against the line) and all together, latency from the IN read that completes a frame to
// its list at the outlet (median, p99), the whole process's CPU as % of one core; then,
// per frame moved, what the chain did for it: the environment thread's waits and the
// transfers each completed, the helper waits' wake-ups, the main thread's service posts,
// WM_TIMERs and window timers, and each kind of thread's CPU (ImportHook.h tells the
// external's threads apart). Main thread, with the external loaded and attached to the
// import hook; registers its interfaces itself.
#pragma once

#include <string>
#include <vector>

#include "tools/ToolConsole.h"
#include "tools/ToolSimulator.h"

// The device paths of the interfaces registered so far through `simulator`, kept for the
// next count (registering is slow).
using BenchInterfaces = std::vector<std::string>;

// False, with the reason printed, when an interface could not be registered or opened.
bool printInterfacesFigure(ToolConsole& console, ToolSimulator& simulator, BenchInterfaces& registered, int interfaces,
                           double seconds);
