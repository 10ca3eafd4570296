// send: one list to one interface through the external, kept going for a while (the
// object resends its newest frame for as long as it lives).
#include <string>
#include <vector>

#include "host/HostDriver.h"
#include "tools/ToolCommandSteps.h"
#include "tools/ToolCommands.h"
#include "tools/ToolInterrupt.h"
#include "tools/ToolObjectBox.h"
#include "tools/ToolSimulator.h"
#include "tools/ToolStopwatch.h"

int runSendCommand(const ToolOptions& options, ToolConsole& console) {
  ToolSimulator simulator;
  if (const int status = startSimulationIfAsked(options, simulator, console); status != kToolExitOk) return status;
  if (!loadToolExternal(console)) return kToolExitFailed;
  const std::string serial = options.simulate ? ToolSimulator::kSerial : "";
  ToolObjectBox box(console, toolBoxArguments(options, serial));
  if (!boxOpenedInterface(box, console)) return kToolExitFailed;

  console.print("list in: %s\n", toolValuesText(options.values).c_str());
  maxhost::takeOutletCalls();
  maxhost::sendFloats(box.object(), options.values);

  // The simulator's records are read and cleared as the frames come, so that a long run
  // does not pile them up. Writes are issued from this thread's message dispatch, so none
  // lands between the count and the clear.
  long long simulatedFrames = 0;
  std::vector<uint8_t> newest(513);
  int newestLength = 0;
  long long emitted = 0;
  const double limit = options.seconds.value_or(1.0);
  ToolStopwatch clock;
  while (!toolInterrupted() && clock.seconds() < limit) {
    maxhost::pumpMessages(20);
    printToolPosts(console);
    emitted += static_cast<long long>(maxhost::takeOutletCalls().size());
    if (options.simulate) {
      const SimControlApi& sim = simulator.sim();
      const int count = sim.outFrameCount(simulator.path());
      if (count > 0) {
        newestLength = sim.outFrame(simulator.path(), count - 1, newest.data(), 513);
        simulatedFrames += count;
        sim.clearRecords(simulator.path());
      }
    }
  }
  if (options.simulate) {
    console.print("simulated interface received %lld frame(s); newest (%d bytes): %s\n", simulatedFrames,
                  newestLength, toolBytesText(newest.data(), newestLength < 0 ? 0 : newestLength).c_str());
    console.print("outlet emitted %lld list(s) (loopback)\n", emitted);
  }
  return kToolExitOk;
}
