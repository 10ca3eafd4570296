#include "tools/ToolCommandSteps.h"

#include <string>

#include "tools/ToolCommands.h"

int startSimulationIfAsked(const ToolOptions& options, ToolSimulator& simulator, ToolConsole& console) {
  if (!options.simulate) return kToolExitOk;
  std::string error;
  if (simulator.start(true, &error)) return kToolExitOk;
  if (simulator.missing()) {
    // Without the simulator the option cannot mean anything: refused like a bad option.
    console.error("prismlux-tool: --simulate needs the simulated interface: %s\n", error.c_str());
    return kToolExitBadUsage;
  }
  console.error("prismlux-tool: --simulate: %s\n", error.c_str());
  return kToolExitFailed;
}

bool boxOpenedInterface(const ToolObjectBox& box, ToolConsole& console) {
  if (box.object() == nullptr) return false;
  if (box.opened()) return true;
  console.error("prismlux-tool: no interface opened\n");
  return false;
}
