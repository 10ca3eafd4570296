// list: the present interfaces in the order an object tries them when it opens one.
#include <memory>
#include <string>

#include "dmx/CDmxDeviceList.h"
#include "tools/ToolCommandSteps.h"
#include "tools/ToolCommands.h"
#include "tools/ToolSimulator.h"

int runListCommand(const ToolOptions& options, ToolConsole& console) {
  ToolSimulator simulator;
  if (const int status = startSimulationIfAsked(options, simulator, console); status != kToolExitOk) return status;
  int count = 0;
  CDmxDeviceList list;
  while (list.next()) {
    if (count++ == 0) console.print("class  serial    device path\n");
    console.print("%-5d  %-8s  %s\n", list.currentClass() + 1, list.serialNumber().text(),
                  list.devicePath().path.text());
  }
  if (count == 0) console.print("no DMX interface present\n");
  return kToolExitOk;
}
