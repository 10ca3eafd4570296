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
//
// Each count runs with two kinds of simulated driver. One resets a transfer's event when the
// transfer starts, as most do: in the simulator that is a request to the Wine server per
// start, made on the thread that starts the transfer and under the simulator's lock, where a
// driver on Windows clears the event in the kernel at next to no cost. From about 50
// interfaces those requests, all made one after the other by the environment thread, set the
// rate. The other driver leaves the event as it was (the external resets it when it finds
// it set while the transfer runs), so that the figure shows what the external does with starts that cost what
// they cost on Windows.
#pragma once

#include <string>
#include <vector>

#include "tools/ToolConsole.h"
#include "tools/ToolSimulator.h"

// The device paths of the interfaces registered so far through `simulator`, kept for the
// next count (registering is slow).
using BenchInterfaces = std::vector<std::string>;

// Whether the simulated driver resets a transfer's event when the transfer starts.
enum class BenchDriverStart { ResetsEvent, LeavesEvent };

// False, with the reason printed, when an interface could not be registered or opened.
bool printInterfacesFigure(ToolConsole& console, ToolSimulator& simulator, BenchInterfaces& registered, int interfaces,
                           BenchDriverStart driverStart, double seconds);
