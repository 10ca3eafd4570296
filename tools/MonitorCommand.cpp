// monitor: every list the object's outlet emits, one line each, with the time it arrived.
#include <string>
#include <vector>

#include "host/HostDriver.h"
#include "tools/ToolCommandSteps.h"
#include "tools/ToolCommands.h"
#include "tools/ToolInterrupt.h"
#include "tools/ToolObjectBox.h"
#include "tools/ToolSimulator.h"
#include "tools/ToolStopwatch.h"

namespace {

// The test pattern a simulated monitor receives: a start code and three slots that move.
std::vector<uint8_t> patternFrame(unsigned step) {
  const uint8_t level = static_cast<uint8_t>(step * 17u);
  return {0, level, static_cast<uint8_t>(255 - level), 128};
}

}  // namespace

int runMonitorCommand(const ToolOptions& options, ToolConsole& console) {
  ToolSimulator simulator;
  if (!startSimulationIfAsked(options, simulator, console)) return kToolExitFailed;
  if (!loadToolExternal(console)) return kToolExitFailed;
  const std::string serial = options.simulate ? ToolSimulator::kSerial : "";
  ToolObjectBox box(console, toolBoxArguments(options, serial));
  if (!boxOpenedInterface(box, console)) return kToolExitFailed;
  if (options.simulate) console.print("simulated interface: a test pattern arrives every 250 ms\n");

  maxhost::takeOutletCalls();
  long long lists = 0;
  unsigned step = 0;
  double nextPattern = 0;
  ToolStopwatch clock;
  while (!toolInterrupted() && (!options.seconds || clock.seconds() < *options.seconds)) {
    if (options.simulate && clock.seconds() >= nextPattern) {
      // A frame ends when the next one begins, so each injection also completes the last.
      const std::vector<uint8_t> frame = patternFrame(step++);
      simulator.sim().injectFrame(simulator.path(), frame.data(), static_cast<int>(frame.size()), 0);
      nextPattern += 0.25;
    }
    maxhost::pumpMessages(20);
    printToolPosts(console);
    const double now = clock.seconds();
    for (const maxhost::OutletCall& call : maxhost::takeOutletCalls()) {
      if (call.object != box.object()) continue;
      ++lists;
      console.print("%9.3f  %s\n", now, toolValuesText(call.values).c_str());
    }
  }
  console.print("%lld list(s) in %.1f s\n", lists, clock.seconds());
  return kToolExitOk;
}
