// One simulated DMX interface: its settings, its armed faults and what it has recorded.
// Plain data owned by the Simulator, which guards every access with its lock.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "sim/PacketCodec.h"
#include "sim/SimControl.h"

namespace sim {

using simcodec::Bytes;

// Settings a device starts with; the Simulator keeps one set as defaults for new devices.
struct DeviceConfig {
  std::vector<SimPipe> pipes;
  uint16_t release = 0x0100;
  uint16_t parameters[3] = {0, 0, 0};
  int completionMode = SIM_COMPLETE_LATER;
  uint32_t delayMs = 0;
  bool loopback = false;
  uint32_t outWireUs = 0;  // the line time of each frame sent; 0: no line (sim_set_out_wire_time)

  static DeviceConfig builtIn();
};

struct Fault {
  int how;        // SIM_FAIL_*
  uint32_t code;  // Win32 error or NTSTATUS
};

struct OutTransferRecord {
  uint8_t pipe;
  Bytes bytes;
};

struct ControlRecord {
  SimSetup setup;
  Bytes data;
};

// Record lists keep the newest entries only, so that a long loopback run stays small.
inline constexpr size_t kMaxRecords = 10000;

template <class T>
void appendCapped(std::deque<T>& records, T value) {
  if (records.size() == kMaxRecords) records.pop_front();
  records.push_back(std::move(value));
}

struct Device {
  explicit Device(std::string deviceKey, const DeviceConfig& settings);

  const SimPipe* findPipe(uint8_t pipeId) const;
  // The IN pipe injected packets go to: the first IN pipe of type 3, else the first IN
  // pipe; 0 when there is none.
  uint8_t dataInPipe() const;
  std::optional<Fault> takeFault(int op);
  // Moves the packets the encoder has completed to the IN queue.
  void collectEncodedPackets();

  std::string key;
  DeviceConfig config;
  uint16_t vendor = 0;
  uint16_t product = 0;
  bool unplugged = false;

  std::deque<Fault> faults[SIM_OP_COUNT];
  std::map<std::pair<uint8_t, uint32_t>, Bytes> policies;

  std::deque<OutTransferRecord> outTransfers;
  std::deque<Bytes> outFrames;
  std::deque<ControlRecord> controls;

  simcodec::PacketEncoder inEncoder;
  std::deque<Bytes> inPackets;

  // The counters kept as events happen; the outstanding and open counts are computed.
  SimCounters counters{};
  // When the line is free for the next frame (simulator clock, microseconds), with outWireUs.
  int64_t lineFreeUs = 0;
  // The idle time of the line before each frame after the first (microseconds), oldest first.
  std::deque<int64_t> lineGapsUs;
  // QueryPerformanceCounter at the latest IN read completed with data (0: none yet).
  int64_t readCompletedAt = 0;
};

}  // namespace sim
