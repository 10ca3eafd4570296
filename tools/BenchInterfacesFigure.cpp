#include "tools/BenchInterfacesFigure.h"

#include <algorithm>
#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "host/HostDriver.h"
#include "tools/ToolCpuTime.h"
#include "tools/ToolInterrupt.h"
#include "tools/ToolSpread.h"
#include "tools/ToolStopwatch.h"

namespace {

constexpr int kFullFrame = 513;
// 513 bytes on a DMX line: break, mark after break and 44 us per byte.
constexpr uint32_t kLineMicroseconds = 92 + 12 + 44 * kFullFrame;
constexpr double kWarmUpSeconds = 0.3;
constexpr int kFirstSerial = 6100;

struct Interface {
  void* box = nullptr;
  std::string path;
  uint32_t writesAtStart = 0;
  long long listsEmitted = 0;
};

uint32_t writesCompleted(const SimControlApi& sim, const std::string& path) {
  SimCounters counters{};
  sim.getCounters(path.c_str(), &counters);
  return counters.writesCompleted;
}

std::vector<double> fullFrameList() {
  std::vector<double> values(kFullFrame);
  for (int i = 1; i < kFullFrame; ++i) values[static_cast<size_t>(i)] = (i * 7) % 256;
  return values;
}

}  // namespace

bool printInterfacesFigure(ToolConsole& console, ToolSimulator& simulator, BenchInterfaces& registered, int interfaces,
                           double seconds) {
  const SimControlApi& sim = simulator.sim();
  std::vector<Interface> all(static_cast<size_t>(interfaces));
  bool ok = true;
  for (int i = 0; ok && i < interfaces; ++i) {
    Interface& one = all[static_cast<size_t>(i)];
    if (static_cast<size_t>(i) == registered.size())
      registered.push_back(simulator.addInterface("USB\\VID_1234&PID_0001\\" + std::to_string(kFirstSerial + i)));
    one.path = registered[static_cast<size_t>(i)];
    ok = !one.path.empty();
    if (!ok) break;
    sim.setCompletion(one.path.c_str(), SIM_COMPLETE_LATER, 0);
    sim.setOutWireTime(one.path.c_str(), kLineMicroseconds);
    sim.clearRecords(one.path.c_str());
    maxhost::takePosts();
    one.box = maxhost::newObject("prismlux 255 " + std::to_string(kFirstSerial + i));
    const std::string opened = "open " + std::to_string(kFirstSerial + i);
    bool posted = false;
    for (const maxhost::Post& post : maxhost::takePosts()) posted = posted || post.text == opened;
    ok = one.box != nullptr && posted;
  }

  std::vector<uint8_t> frame(kFullFrame);
  for (int i = 1; i < kFullFrame; ++i) frame[static_cast<size_t>(i)] = static_cast<uint8_t>(i);
  std::vector<double> latencies;
  double cpu = 0, mainCpu = 0, elapsed = 0;
  long long framesOut = 0, framesIn = 0, droppedFrames = 0;
  if (ok) {
    const std::vector<double> list = fullFrameList();
    for (Interface& one : all) maxhost::sendFloats(one.box, list);
    // The frames come in from a thread of their own, as from the interfaces, so that the
    // main thread does only what a host's main thread does. An interface whose last frame
    // still waits for reads drops the next one, as a real one's buffer would (the
    // simulator's would grow without end).
    std::atomic<bool> stop{false};
    std::atomic<long long> dropped{0};
    std::thread injector([&] {
      const double period = kLineMicroseconds / 1e6;
      ToolStopwatch line;
      for (double next = 0; !stop.load(); next += period) {
        for (Interface& one : all) {
          SimCounters counters{};
          sim.getCounters(one.path.c_str(), &counters);
          if (counters.inPacketsWaiting != 0) {
            ++dropped;
            continue;
          }
          sim.injectFrame(one.path.c_str(), frame.data(), kFullFrame, 0);
        }
        while (!stop.load() && line.seconds() < next + period) Sleep(1);
      }
    });
    ToolStopwatch clock;
    bool measuring = false;
    double cpuBefore = 0, mainBefore = 0;
    while (!toolInterrupted() && clock.seconds() < kWarmUpSeconds + seconds) {
      if (!measuring && clock.seconds() >= kWarmUpSeconds) {
        measuring = true;
        for (Interface& one : all) {
          one.writesAtStart = writesCompleted(sim, one.path);
          one.listsEmitted = 0;
        }
        dropped = 0;
        cpuBefore = toolProcessCpuSeconds();
        mainBefore = toolThreadCpuSeconds();
        latencies.clear();
        clock.restart();
      }
      maxhost::pumpMessages(5);
      for (const maxhost::OutletCall& call : maxhost::takeOutletCalls()) {
        if (call.values.size() != static_cast<size_t>(kFullFrame)) continue;
        for (Interface& one : all) {
          if (one.box != call.object) continue;
          ++one.listsEmitted;
          // Left out when a later frame's last read has completed meanwhile.
          const int64_t readDone = sim.readCompletedAt(one.path.c_str());
          if (measuring && readDone < call.counter) latencies.push_back(toolCounterSeconds(call.counter - readDone) * 1e3);
        }
      }
      if (measuring) elapsed = clock.seconds();
    }
    cpu = toolProcessCpuSeconds() - cpuBefore;
    mainCpu = toolThreadCpuSeconds() - mainBefore;
    stop = true;
    injector.join();
    droppedFrames = dropped.load();
    for (Interface& one : all) {
      framesOut += writesCompleted(sim, one.path) - one.writesAtStart;
      framesIn += one.listsEmitted;
    }
  }
  for (Interface& one : all) {
    if (one.box != nullptr) maxhost::freeObject(one.box);
    one.box = nullptr;
  }
  maxhost::takePosts();
  maxhost::takeOutletCalls();
  all.clear();
  if (!ok) {
    console.error("prismlux-tool: bench: not all of %d simulated interfaces registered and opened\n", interfaces);
    return false;
  }
  const double line = 1e6 / kLineMicroseconds;
  const double outRate = elapsed > 0 ? static_cast<double>(framesOut) / interfaces / elapsed : 0;
  const double inRate = elapsed > 0 ? static_cast<double>(framesIn) / interfaces / elapsed : 0;
  const double share = elapsed > 0 ? cpu / elapsed * 100 : 0;
  const ToolSpread spread = toolSpread(latencies);
  console.print("many     %2d interfaces, full frames both ways at the line's rate: per interface %5.1f frames/s out (%.2fx the "
                "line), %5.1f in (%.2fx); IN read done -> outlet median %6.2f ms p99 %6.2f ms; cpu %5.1f%% of one core, "
                "%5.2f%% per interface; main thread %5.0f us per frame out; %lld frames dropped by the interfaces\n",
                interfaces, outRate, outRate / line, inRate, inRate / line, spread.median, spread.p99, share, share / interfaces,
                framesOut > 0 ? mainCpu / static_cast<double>(framesOut) * 1e6 : 0.0, droppedFrames);
  return true;
}
