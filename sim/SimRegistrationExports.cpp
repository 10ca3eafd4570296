// The exported sim_register_device / sim_remove_device (SimRegistration.h).
#include "sim/SimRegistration.h"

#include <cstring>
#include <string>

#include "sim/SimDeviceRegistry.h"

extern "C" {

SIM_API int sim_register_device(const char* instanceId, char* path, int capacity) {
  if (instanceId == nullptr || path == nullptr || capacity <= 0) return 0;
  simreg::DeviceSpec spec;
  spec.instanceId = instanceId;
  const std::string registered = simreg::registerDevice(spec);
  if (registered.empty()) return 0;
  if (registered.size() >= static_cast<size_t>(capacity)) {
    simreg::removeDevice(spec.instanceId);
    return 0;
  }
  std::memcpy(path, registered.c_str(), registered.size() + 1);
  return static_cast<int>(registered.size());
}

SIM_API int sim_remove_device(const char* instanceId) {
  return instanceId != nullptr && simreg::removeDevice(instanceId) ? 1 : 0;
}

}  // extern "C"
