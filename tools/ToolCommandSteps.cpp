#include "tools/ToolCommandSteps.h"

#include <string>

#include "tools/ToolCommands.h"

bool startSimulationIfAsked(const ToolOptions& options, ToolSimulator& simulator, ToolConsole& console) {
  if (!options.simulate) return true;
  std::string error;
  if (simulator.start(true, &error)) return true;
  console.error("prismlux-tool: --simulate: %s\n", error.c_str());
  return false;
}

bool boxOpenedInterface(const ToolObjectBox& box, ToolConsole& console) {
  if (box.object() == nullptr) return false;
  if (box.opened()) return true;
  console.error("prismlux-tool: no interface opened\n");
  return false;
}
