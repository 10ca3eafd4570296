#include "tools/ToolSimulator.h"

#include "support/Win32Text.h"

namespace {

constexpr const char* kInstanceId = "USB\\VID_1234&PID_5678\\7001";

bool runningUnderWine() {
  const HMODULE ntdll = w32::getModuleHandle("ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

template <class Function>
Function bound(HMODULE module, const char* name) {
  return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

}  // namespace

ToolSimulator::~ToolSimulator() {
  for (const std::string& id : added_) remove_(id.c_str());
  if (!path_.empty()) remove_(kInstanceId);
}

std::string ToolSimulator::addInterface(const std::string& instanceId) {
  if (path_.empty()) return {};
  char path[512];
  if (register_(instanceId.c_str(), path, sizeof path) == 0) return {};
  added_.push_back(instanceId);
  return path;
}

bool ToolSimulator::start(bool loopback, std::string* error) {
  missing_ = true;
  if (!runningUnderWine()) {
    *error = "it exists only under Wine, with the test build's winusb.dll beside the tool";
    return false;
  }
  // The module stays loaded for the rest of the process, as the simulator requires.
  const HMODULE module = w32::loadLibrary("winusb.dll");
  register_ = bound<decltype(&::sim_register_device)>(module, "sim_register_device");
  remove_ = bound<decltype(&::sim_remove_device)>(module, "sim_remove_device");
  if (!sim_.bind(module) || register_ == nullptr || remove_ == nullptr) {
    *error = "the winusb.dll found is not the test build's simulated one (put it beside the tool, under Wine)";
    return false;
  }
  missing_ = false;
  char path[512];
  if (register_(kInstanceId, path, sizeof path) == 0) {
    *error = "the simulated interface could not be registered";
    return false;
  }
  path_ = path;
  // The simulator keeps a device's state by path for the whole process: start afresh.
  sim_.setCompletion(path_.c_str(), SIM_COMPLETE_LATER, 0);
  sim_.setLoopback(path_.c_str(), loopback ? 1 : 0);
  sim_.clearRecords(path_.c_str());
  return true;
}

void appendLineGapsMs(const SimControlApi& sim, const char* path, int limit, std::vector<double>& gapsMs) {
  std::vector<int64_t> gapsUs(static_cast<size_t>(limit));
  const int count = sim.lineGaps(path, gapsUs.data(), limit);
  for (int i = 0; i < count; ++i) gapsMs.push_back(static_cast<double>(gapsUs[static_cast<size_t>(i)]) / 1e3);
}
