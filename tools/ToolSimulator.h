// A simulated DMX interface for the duration of a command (--simulate, and the benchmark):
// registered in the Wine prefix's SetupAPI database and served by the simulated winusb.dll
// that the test builds put beside the tool.
//
// Refuses, and registers nothing, unless the process runs under Wine and the winusb.dll
// that LoadLibrary finds is the simulated one (it exports the sim_* controls): on a show
// machine --simulate must never write a made-up device into the real SetupAPI database.
//
// Main thread (the registration is not thread-safe); the bound sim_* functions may be called
// from any thread. Unregisters on destruction. Non-copyable.
#pragma once

#include <memory>
#include <string>

#include "sim/SimControlApi.h"
#include "sim/SimDeviceRegistry.h"

class ToolSimulator {
 public:
  // The serial number of the simulated interface: the last part of its instance id.
  static constexpr const char* kSerial = "7001";

  ToolSimulator() = default;
  ~ToolSimulator() = default;
  ToolSimulator(const ToolSimulator&) = delete;
  ToolSimulator& operator=(const ToolSimulator&) = delete;

  // Registers the interface; with `loopback` every frame it receives from the host comes back
  // as received frames. False with the reason in `error`.
  bool start(bool loopback, std::string* error);

  const SimControlApi& sim() const { return sim_; }
  // The device path ("" before a successful start).
  const char* path() const { return device_ ? device_->path().c_str() : ""; }

 private:
  SimControlApi sim_;
  std::unique_ptr<simreg::ScopedDevice> device_;
};
