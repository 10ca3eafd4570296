// The exported sim_* control functions (SimControl.h).
#include <algorithm>
#include <cstring>

#include "sim/SimControl.h"
#include "sim/Simulator.h"

using sim::Bytes;
using sim::Device;
using sim::DeviceConfig;
using sim::Simulator;

namespace {

Simulator& simulator() { return Simulator::instance(); }

// Copies up to `capacity` bytes and returns the record's full length.
int copyOut(const Bytes& bytes, uint8_t* buffer, int capacity) {
  if (buffer && capacity > 0) std::memcpy(buffer, bytes.data(), std::min<size_t>(bytes.size(), size_t(capacity)));
  return static_cast<int>(bytes.size());
}

template <class Records>
bool validIndex(const Records& records, int index) {
  return index >= 0 && static_cast<size_t>(index) < records.size();
}

}  // namespace

extern "C" {

SIM_API void sim_reset(void) { simulator().reset(); }

SIM_API uint32_t sim_calls(int entryPoint) { return simulator().calls(entryPoint); }

SIM_API int sim_set_pipes(const char* path, const SimPipe* pipes, int count) {
  if (count < 0 || count > 16 || (!pipes && count)) return 0;
  return simulator().withConfig(path, [&](DeviceConfig& config) {
    config.pipes.assign(pipes, pipes + count);
    return 1;
  });
}

SIM_API int sim_set_release(const char* path, uint16_t bcdDevice) {
  return simulator().withConfig(path, [&](DeviceConfig& config) {
    config.release = bcdDevice;
    return 1;
  });
}

SIM_API int sim_set_parameters(const char* path, uint16_t value1, uint16_t value2, uint16_t value3) {
  return simulator().withConfig(path, [&](DeviceConfig& config) {
    config.parameters[0] = value1;
    config.parameters[1] = value2;
    config.parameters[2] = value3;
    return 1;
  });
}

SIM_API int sim_set_completion(const char* path, int mode, uint32_t delayMs) {
  if (mode != SIM_COMPLETE_LATER && mode != SIM_COMPLETE_AT_ONCE && mode != SIM_COMPLETE_LATER_KEEPING_EVENT)
    return 0;
  return simulator().withConfig(path, [&](DeviceConfig& config) {
    config.completionMode = mode;
    config.delayMs = delayMs;
    return 1;
  });
}

SIM_API int sim_set_loopback(const char* path, int on) {
  return simulator().withConfig(path, [&](DeviceConfig& config) {
    config.loopback = on != 0;
    return 1;
  });
}

SIM_API int sim_set_out_wire_time(const char* path, uint32_t microseconds) {
  return simulator().withConfig(path, [&](DeviceConfig& config) {
    config.outWireUs = microseconds;
    return 1;
  });
}

SIM_API int sim_fail_next(const char* path, int op, int how, uint32_t code) {
  return simulator().failNext(path, op, how, code);
}

SIM_API int sim_unplug(const char* path, uint32_t status) { return simulator().unplug(path, status); }

SIM_API int sim_replug(const char* path) {
  return simulator().withDevice(path, [](Device& device) {
    device.unplugged = false;
    return 1;
  });
}

SIM_API int sim_inject_frame(const char* path, const uint8_t* frame, int length, uint32_t flags) {
  return simulator().injectFrame(path, frame, length, flags);
}

SIM_API int sim_inject_packet(const char* path, const uint8_t* packet, int length) {
  return simulator().injectPacket(path, packet, length);
}

SIM_API int sim_flush_in(const char* path) { return simulator().flushIn(path); }

SIM_API int sim_complete_read(const char* path, int index, const uint8_t* packet, int length, uint32_t status) {
  return simulator().completeRead(path, index, packet, length, status);
}

SIM_API int sim_out_frame_count(const char* path) {
  return simulator().inspect(path, [](const Device* d) { return d ? static_cast<int>(d->outFrames.size()) : 0; });
}

SIM_API int sim_out_frame(const char* path, int index, uint8_t* buffer, int capacity) {
  return simulator().inspect(path, [&](const Device* d) {
    return d && validIndex(d->outFrames, index) ? copyOut(d->outFrames[index], buffer, capacity) : -1;
  });
}

SIM_API int sim_out_transfer_count(const char* path) {
  return simulator().inspect(path, [](const Device* d) { return d ? static_cast<int>(d->outTransfers.size()) : 0; });
}

SIM_API int sim_out_transfer(const char* path, int index, uint8_t* buffer, int capacity, uint8_t* pipeId) {
  return simulator().inspect(path, [&](const Device* d) {
    if (!d || !validIndex(d->outTransfers, index)) return -1;
    if (pipeId) *pipeId = d->outTransfers[index].pipe;
    return copyOut(d->outTransfers[index].bytes, buffer, capacity);
  });
}

SIM_API int sim_control_count(const char* path) {
  return simulator().inspect(path, [](const Device* d) { return d ? static_cast<int>(d->controls.size()) : 0; });
}

SIM_API int sim_control(const char* path, int index, SimSetup* setup, uint8_t* data, int capacity) {
  return simulator().inspect(path, [&](const Device* d) {
    if (!d || !validIndex(d->controls, index)) return -1;
    if (setup) *setup = d->controls[index].setup;
    return copyOut(d->controls[index].data, data, capacity);
  });
}

SIM_API int sim_pipe_policy(const char* path, uint8_t pipeId, uint32_t policyType, uint8_t* value, int capacity) {
  return simulator().inspect(path, [&](const Device* d) {
    if (!d) return -1;
    auto it = d->policies.find({pipeId, policyType});
    return it == d->policies.end() ? -1 : copyOut(it->second, value, capacity);
  });
}

SIM_API int sim_get_counters(const char* path, SimCounters* counters) {
  return simulator().counters(path, counters);
}

SIM_API int64_t sim_read_completed_at(const char* path) {
  return simulator().inspect(path, [](const Device* device) { return device ? device->readCompletedAt : int64_t(0); });
}

SIM_API int sim_line_gaps(const char* path, int64_t* gapsUs, int capacity) {
  return simulator().withDevice(path, [&](Device& device) {
    int count = 0;
    for (int64_t gap : device.lineGapsUs) {
      if (count == capacity) break;
      gapsUs[count++] = gap;
    }
    return count;
  });
}

SIM_API int sim_clear_records(const char* path) {
  return simulator().withDevice(path, [](Device& device) {
    device.outFrames.clear();
    device.lineGapsUs.clear();
    device.outTransfers.clear();
    device.controls.clear();
    return 1;
  });
}

SIM_API int sim_wait_out_frames(const char* path, int count, uint32_t timeoutMs) {
  const ULONGLONG end = GetTickCount64() + timeoutMs;
  for (;;) {
    if (sim_out_frame_count(path) >= count) return 1;
    if (GetTickCount64() >= end) return 0;
    Sleep(2);
  }
}

SIM_API int sim_wait_outstanding_reads(const char* path, int count, uint32_t timeoutMs) {
  const ULONGLONG end = GetTickCount64() + timeoutMs;
  for (;;) {
    SimCounters counters{};
    simulator().counters(path, &counters);
    if (counters.outstandingReads == static_cast<uint32_t>(count)) return 1;
    if (GetTickCount64() >= end) return 0;
    Sleep(2);
  }
}

}  // extern "C"
