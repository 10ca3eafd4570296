// Simulated interfaces registered for the length of a test: each stays in the prefix's
// SetupAPI database until clear() or destruction. A registration that fails fails the test.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "sim/SimDeviceRegistry.h"

namespace testdevices {

class RegisteredDevices {
 public:
  using List = std::vector<std::unique_ptr<simreg::ScopedDevice>>;

  const simreg::ScopedDevice& add(const std::string& instanceId,
                                  simreg::InterfaceClass cls = simreg::InterfaceClass::Primary,
                                  const char* serial = nullptr) {
    simreg::DeviceSpec spec;
    spec.instanceId = instanceId;
    spec.interfaceClass = cls;
    if (serial != nullptr) spec.serialNumber = serial;
    devices_.push_back(std::make_unique<simreg::ScopedDevice>(spec));
    EXPECT_TRUE(devices_.back()->ok()) << instanceId;
    return *devices_.back();
  }

  void clear() { devices_.clear(); }
  List::const_iterator begin() const { return devices_.begin(); }
  List::const_iterator end() const { return devices_.end(); }

 private:
  List devices_;
};

}  // namespace testdevices
