// monitor: what the object's outlet emits for received frames. On a console, the newest
// frame's slots as a grid refreshed in place, with the frame rate, start code and length;
// into a file or pipe, one line per list with the time it arrived.
#include <string>
#include <vector>

#include "host/HostDriver.h"
#include "tools/ToolCommandSteps.h"
#include "tools/ToolCommands.h"
#include "tools/ToolInterrupt.h"
#include "tools/ToolObjectBox.h"
#include "tools/ToolScreen.h"
#include "tools/ToolSimulator.h"
#include "tools/ToolSlotGrid.h"
#include "tools/ToolStopwatch.h"

namespace {

// The test pattern a simulated monitor receives: a start code and three slots that move.
std::vector<uint8_t> patternFrame(unsigned step) {
  const uint8_t level = static_cast<uint8_t>(step * 17u);
  return {0, level, static_cast<uint8_t>(255 - level), 128};
}

// The grid is redrawn at most this often, and the frame rate taken over this long.
constexpr double kRedrawSeconds = 0.1;
constexpr double kRateSeconds = 1.0;

// The grid view of the lists: the newest frame and the rate at which frames come.
class GridView {
 public:
  GridView(ToolScreen& screen, double scale) : screen_(screen), scale_(scale) {}

  void take(const std::vector<double>& values) {
    newest_ = toolFrameBytes(values, scale_);
    ++framesInWindow_;
    changed_ = true;
  }

  void refresh(double now) {
    if (now - rateStart_ >= kRateSeconds) {
      rate_ = static_cast<double>(framesInWindow_) / (now - rateStart_);
      framesInWindow_ = 0;
      rateStart_ = now;
      changed_ = true;
    }
    if (!drawn_ || (changed_ && now - lastDraw_ >= kRedrawSeconds)) {
      screen_.show(toolSlotGridText(newest_, rate_));
      drawn_ = true;
      changed_ = false;
      lastDraw_ = now;
    }
  }

 private:
  ToolScreen& screen_;
  const double scale_;
  std::vector<uint8_t> newest_;
  long long framesInWindow_ = 0;
  double rate_ = 0;
  double rateStart_ = 0;
  double lastDraw_ = 0;
  bool drawn_ = false;
  bool changed_ = false;
};

}  // namespace

int runMonitorCommand(const ToolOptions& options, ToolConsole& console) {
  ToolSimulator simulator;
  if (const int status = startSimulationIfAsked(options, simulator, console); status != kToolExitOk) return status;
  if (!loadToolExternal(console)) return kToolExitFailed;
  const std::string serial = options.simulate ? ToolSimulator::kSerial : "";
  ToolObjectBox box(console, toolBoxArguments(options, serial));
  if (!boxOpenedInterface(box, console)) return kToolExitFailed;
  if (options.simulate) console.print("simulated interface: a test pattern arrives every 250 ms\n");

  ToolScreen screen(console);
  GridView grid(screen, options.scale.value_or(1.0));
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
    // A post is printed below the grid, which then starts again under it.
    if (printToolPosts(console) > 0) screen.forget();
    const double now = clock.seconds();
    for (const maxhost::OutletCall& call : maxhost::takeOutletCalls()) {
      if (call.object != box.object()) continue;
      ++lists;
      if (screen.available()) {
        grid.take(call.values);
      } else {
        console.print("%9.3f  %s\n", now, toolValuesText(call.values).c_str());
      }
    }
    if (screen.available()) grid.refresh(now);
  }
  console.print("%lld list(s) in %.1f s\n", lists, clock.seconds());
  return kToolExitOk;
}
