#include "sim/SimDevice.h"

#include "sim/DeviceKey.h"

namespace sim {

DeviceConfig DeviceConfig::builtIn() {
  DeviceConfig config;
  // A pipe of another type comes first, so that finding the data pipes by type matters.
  config.pipes = {{2, 0x83, 64, 0}, {3, 0x81, 64, 0}, {3, 0x02, 64, 0}};
  return config;
}

Device::Device(std::string deviceKey, const DeviceConfig& settings)
    : key(std::move(deviceKey)), config(settings) {
  vendorAndProductFromKey(key, &vendor, &product);
}

const SimPipe* Device::findPipe(uint8_t pipeId) const {
  for (const SimPipe& pipe : config.pipes)
    if (pipe.pipeId == pipeId) return &pipe;
  return nullptr;
}

uint8_t Device::dataInPipe() const {
  uint8_t firstIn = 0;
  for (const SimPipe& pipe : config.pipes) {
    if (!(pipe.pipeId & 0x80)) continue;
    if (pipe.pipeType == 3) return pipe.pipeId;
    if (!firstIn) firstIn = pipe.pipeId;
  }
  return firstIn;
}

std::optional<Fault> Device::takeFault(int op) {
  if (op < 0 || op >= SIM_OP_COUNT || faults[op].empty()) return std::nullopt;
  Fault fault = faults[op].front();
  faults[op].pop_front();
  return fault;
}

void Device::collectEncodedPackets() {
  for (Bytes& packet : inEncoder.takePackets()) inPackets.push_back(std::move(packet));
}

}  // namespace sim
