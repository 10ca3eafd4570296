// Binds the simulator's sim_* functions (SimControl.h) from a loaded module with
// GetProcAddress, for programs that must not import winusb.dll at start (a test that loads
// one of the variant libraries, a tool that may run against the builtin library).
//
//   HMODULE m = LoadLibraryW(L"winusb.dll");
//   SimControlApi sim;
//   if (sim.bind(m)) sim.reset();
//
// bind() is all or nothing: false (and every pointer null) unless all functions are found,
// which also tells a simulated winusb.dll from a real one. The module stays owned by the
// caller.
#pragma once

#include "sim/SimControl.h"
#include "support/Windows.h"

#define PRISMLUX_SIM_CONTROL_FUNCTIONS(X)                  \
  X(reset, sim_reset)                                      \
  X(calls, sim_calls)                                      \
  X(setPipes, sim_set_pipes)                               \
  X(setRelease, sim_set_release)                           \
  X(setParameters, sim_set_parameters)                     \
  X(setCompletion, sim_set_completion)                     \
  X(setLoopback, sim_set_loopback)                         \
  X(setOutWireTime, sim_set_out_wire_time)                 \
  X(failNext, sim_fail_next)                               \
  X(unplug, sim_unplug)                                    \
  X(replug, sim_replug)                                    \
  X(injectFrame, sim_inject_frame)                         \
  X(injectPacket, sim_inject_packet)                       \
  X(flushIn, sim_flush_in)                                 \
  X(completeRead, sim_complete_read)                       \
  X(outFrameCount, sim_out_frame_count)                    \
  X(outFrame, sim_out_frame)                               \
  X(outTransferCount, sim_out_transfer_count)              \
  X(outTransfer, sim_out_transfer)                         \
  X(controlCount, sim_control_count)                       \
  X(control, sim_control)                                  \
  X(pipePolicy, sim_pipe_policy)                           \
  X(getCounters, sim_get_counters)                         \
  X(readCompletedAt, sim_read_completed_at)                \
  X(lineGaps, sim_line_gaps)                               \
  X(clearRecords, sim_clear_records)                       \
  X(waitOutFrames, sim_wait_out_frames)                    \
  X(waitOutstandingReads, sim_wait_outstanding_reads)

struct SimControlApi {
#define PRISMLUX_SIM_DECLARE(member, function) decltype(&::function) member = nullptr;
  PRISMLUX_SIM_CONTROL_FUNCTIONS(PRISMLUX_SIM_DECLARE)
#undef PRISMLUX_SIM_DECLARE

  bool bind(HMODULE module) {
    bool all = module != nullptr;
#define PRISMLUX_SIM_BIND(member, function)                                                  \
  member = module ? reinterpret_cast<decltype(member)>(                                      \
                        reinterpret_cast<void*>(GetProcAddress(module, #function)))          \
                  : nullptr;                                                                 \
  all = all && member != nullptr;
    PRISMLUX_SIM_CONTROL_FUNCTIONS(PRISMLUX_SIM_BIND)
#undef PRISMLUX_SIM_BIND
    if (!all) *this = SimControlApi();
    return all;
  }
};
