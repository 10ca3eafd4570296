#include "tools/ToolSimulator.h"

#include "support/Win32Text.h"

namespace {

bool runningUnderWine() {
  const HMODULE ntdll = w32::getModuleHandle("ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

}  // namespace

bool ToolSimulator::start(bool loopback, std::string* error) {
  if (!runningUnderWine()) {
    *error = "a simulated interface exists only under Wine";
    return false;
  }
  // The module stays loaded for the rest of the process, as the simulator requires.
  if (!sim_.bind(w32::loadLibrary("winusb.dll"))) {
    *error = "the winusb.dll beside the tool is not the simulated one";
    return false;
  }
  simreg::DeviceSpec spec;
  spec.instanceId = std::string("USB\\VID_1234&PID_5678\\") + kSerial;
  device_ = std::make_unique<simreg::ScopedDevice>(spec);
  if (!device_->ok()) {
    device_.reset();
    *error = "the simulated interface could not be registered";
    return false;
  }
  // The simulator keeps a device's state by path for the whole process: start afresh.
  sim_.setCompletion(path(), SIM_COMPLETE_LATER, 0);
  sim_.setLoopback(path(), loopback ? 1 : 0);
  sim_.clearRecords(path());
  return true;
}
