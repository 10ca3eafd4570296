// A simulated DMX interface for the duration of a command (--simulate, and the benchmark),
// served by the simulated winusb.dll that the test builds put beside the tool and registered
// in the Wine prefix's SetupAPI database by that library (sim/SimRegistration.h).
//
// The tool holds nothing of the simulator: everything is bound at run time from the
// winusb.dll that LoadLibrary finds, and only when the process runs under Wine and that
// library is the simulated one (it exports the sim_* functions). On a show machine the tool
// so uses Windows' own winusb.dll and never writes a device into the SetupAPI database.
//
// Main thread (the registration is not thread-safe); the bound sim_* functions may be called
// from any thread. Unregisters on destruction. Non-copyable.
#pragma once

#include <string>
#include <vector>

#include "sim/SimControlApi.h"
#include "sim/SimRegistration.h"

// Appends the idle gaps between frames that the simulated line `path` recorded since its
// records were last cleared (the first `limit` of them), in milliseconds.
void appendLineGapsMs(const SimControlApi& sim, const char* path, int limit, std::vector<double>& gapsMs);

class ToolSimulator {
 public:
  // The serial number of the simulated interface: the last part of its instance id.
  static constexpr const char* kSerial = "7001";

  ToolSimulator() = default;
  ~ToolSimulator();
  ToolSimulator(const ToolSimulator&) = delete;
  ToolSimulator& operator=(const ToolSimulator&) = delete;

  // Registers the interface; with `loopback` every frame it receives from the host comes back
  // as received frames. False with the reason in `error`; missing() then tells whether the
  // simulator itself was not there.
  bool start(bool loopback, std::string* error);

  // After a successful start: registers one more interface of the same kind under
  // `instanceId` (removed on destruction as well); its device path, "" when that failed.
  std::string addInterface(const std::string& instanceId);

  bool missing() const { return missing_; }
  const SimControlApi& sim() const { return sim_; }
  // The device path ("" before a successful start).
  const char* path() const { return path_.c_str(); }

 private:
  SimControlApi sim_;
  decltype(&::sim_register_device) register_ = nullptr;
  decltype(&::sim_remove_device) remove_ = nullptr;
  std::string path_;
  std::vector<std::string> added_;  // instance ids of addInterface
  bool missing_ = false;
};
