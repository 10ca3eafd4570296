// bench: figures for the whole chain over a simulated interface: host -> external -> device
// layer -> interface and back. It prints, and never judges: the figures depend on the machine
// (and, here, on Wine and qemu). In the order printed:
//
//   packetise, decode  the link's own work for one full frame (BenchLinkFigures.h);
//   waits     the helper wait threads' wake-ups with many interfaces' signals armed
//             (BenchWaitFigure.h);
//   calls     the calls one frame costs the external, by thread and function, for 3- and
//             513-byte frames looped back, with the design's floor (BenchCallsFigure.h);
//   many      1, 8, 24, 31, 32, 48 and 64 interfaces at once, each sending and receiving full
//             frames at the line's rate: rates, latency, CPU, and what a frame cost each
//             thread; first with a driver that resets each transfer's event as it starts,
//             then with one that leaves it (BenchInterfacesFigure.h);
//   gap, main while sending behind the DMX line: the line's idle time between frames, and the
//             host main thread's own CPU per frame;
//   latency   from the IN read that completes a frame to the list leaving the outlet, first
//             with the object idle, then while it sends to an interface behind a DMX line;
//   send      frames per second the object keeps going: to an interface behind a DMX line
//             (one frame's line time per transfer; the rate must be the line's), and to one
//             that completes transfers at once, for 1-, 64- and 513-byte frames, each against
//             the rate the DMX line allows;
//   cpu       the whole process's CPU time while full frames go out and come in at the line's
//             rate;
//   list      the cost of one call of the list method with 513 elements, made from a thread
//             other than the host's main thread while the frames keep going;
//   receive   frames per second decoded and emitted at the outlet, each frame injected as soon
//             as the outlet has taken the one before;
//   heap      allocations the external makes per frame on the receive and the send path;
//   memory    working set and private bytes after a warm-up and at the end.
//
// "bench calls" and "bench many [N ...]" run only those figures (the counts and rates to
// compare before and after a change of the external).
//
// DMX line figures: a 92 us break and a 12 us mark after break (the shortest a transmitter may
// send), 44 us per byte (11 bits at 250 kbit/s), and at least 1,204 us from one break to the
// next, so no more than about 830 frames per second whatever their length.
#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "host/HostDriver.h"
#include "support/Win32Text.h"
#include "support/Windows.h"
#include "tools/BenchCallsFigure.h"
#include "tools/BenchLinkFigures.h"
#include "tools/BenchInterfacesFigure.h"
#include "tools/BenchWaitFigure.h"
#include "tools/ToolCommands.h"
#include "tools/ToolCpuTime.h"
#include "tools/ImportHook.h"
#include "tools/ToolInterrupt.h"
#include "tools/ToolMemory.h"
#include "tools/ToolObjectBox.h"
#include "tools/ToolSimulator.h"
#include "tools/ToolSpread.h"
#include "tools/ToolStopwatch.h"

namespace {

constexpr int kFrameSizes[] = {1, 64, 513};
constexpr int kFullFrame = 513;
constexpr unsigned long kPumpSliceMs = 10;
constexpr double kWarmUpSeconds = 0.1;
// Received frames that only warm the receive path up before its figures are taken.
constexpr int kWarmUpFrames = 5;
// The CPU figure runs this many figures' time.
constexpr double kCpuRunFactor = 5;
// The many-interface figure's counts when none are named.
constexpr int kInterfaceCounts[] = {1, 8, 24, 31, 32, 48, 64};
// The call count's own interface, and how many frames it counts (one decimal per frame
// needs a hundred or more).
constexpr int kCallsSerial = 7002;
constexpr int kMinCountedFrames = 50;
constexpr double kCountedFramesPerSecond = 200;
// Waits for something that comes within milliseconds unless the chain is broken.
constexpr unsigned long kLostAfterMs = 1000;

// The time a DMX frame of `bytes` bytes (start code included) takes from its break to the next
// frame's break, in microseconds. 513 bytes: 22,676 us, about 44 frames per second.
double wireFrameMicroseconds(int bytes) { return std::max(92.0 + 12.0 + 44.0 * bytes, 1204.0); }
double wireFramesPerSecond(int bytes) { return 1e6 / wireFrameMicroseconds(bytes); }

std::vector<double> byteList(int count) {
  std::vector<double> values(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) values[static_cast<size_t>(i)] = i == 0 ? 0 : (i * 7) % 256;
  return values;
}

// The external's calls of its allocating imports (operator new allocates through malloc).
uint64_t toolAllocationCount() {
  uint64_t total = 0;
  for (const char* function : {"malloc", "calloc", "realloc", "_strdup", "HeapAlloc", "HeapReAlloc"})
    total += importhook::calls(function);
  return total;
}

std::vector<uint8_t> receivedFrame(int size) {
  std::vector<uint8_t> frame(static_cast<size_t>(size));
  for (int i = 1; i < size; ++i) frame[static_cast<size_t>(i)] = static_cast<uint8_t>(i);
  return frame;
}

class Bench {
 public:
  Bench(ToolConsole& console, const ToolSimulator& simulator, void* box)
      : console_(console), sim_(simulator.sim()), path_(simulator.path()), box_(box) {}

  // The length of each figure's run; a quiet bench runs without printing (the warm-up).
  void configure(double seconds, bool quiet) {
    seconds_ = seconds;
    quiet_ = quiet;
  }

  // Pumps for `seconds`, counting and forgetting the frames the interface decoded and the
  // lists the outlet emitted (only those of `listLength` elements count, when it is not 0).
  void pump(double seconds, int listLength = 0) {
    ToolStopwatch clock;
    while (!toolInterrupted() && clock.seconds() < seconds) {
      maxhost::pumpMessages(kPumpSliceMs);
      takeRecords(listLength);
    }
  }

  // Received frame to outlet: each sample injects a full frame, whose last IN read the
  // interface stamps as it completes, and waits for its list, which the host stamps. The
  // next frame follows after a pause of a few milliseconds that varies, so that the samples
  // do not keep step with any timer. With `countHeap`, the allocations the external makes
  // meanwhile are counted (the first frames only warm up).
  void latencyFigure(const char* condition, bool countHeap) {
    const std::vector<uint8_t> frame = receivedFrame(kFullFrame);
    std::vector<double> samples;
    uint64_t allocationsBefore = 0;
    unsigned pause = 1;
    ToolStopwatch clock;
    for (int n = 0; !toolInterrupted() && (n < kWarmUpFrames + 3 || clock.seconds() < seconds_); ++n) {
      if (n == kWarmUpFrames) {
        clock.restart();
        allocationsBefore = toolAllocationCount();
      }
      maxhost::takeOutletCalls();
      sim_.injectFrame(path_, frame.data(), kFullFrame, 0);
      int64_t emittedAt = 0;
      const bool emitted = maxhost::pumpUntil([&] {
        for (const maxhost::OutletCall& call : maxhost::takeOutletCalls()) {
          if (call.object == box_ && call.values.size() == static_cast<size_t>(kFullFrame)) emittedAt = call.counter;
        }
        return emittedAt != 0;
      }, kLostAfterMs);
      if (!emitted) {
        if (!quiet_) console_.print("latency  (a received frame did not come out; figure stopped)\n");
        break;
      }
      if (n >= kWarmUpFrames) samples.push_back(toolCounterSeconds(emittedAt - sim_.readCompletedAt(path_)) * 1e3);
      pause = pause * 1103515245u + 12345u;
      maxhost::pumpMessages(1 + (pause >> 16) % 8);
    }
    const uint64_t allocations = toolAllocationCount() - allocationsBefore;
    if (quiet_) return;
    const ToolSpread spread = toolSpread(samples);
    console_.print("latency  IN read done -> list at the outlet, %-32s median %6.2f ms  p99 %6.2f ms  (%llu frames)\n",
                   condition, spread.median, spread.p99, static_cast<unsigned long long>(spread.count));
    if (countHeap) heapLine("receive path", allocations, static_cast<long long>(samples.size()));
  }

  // The object keeps a full frame going to an interface whose line takes each frame's time;
  // the rate is taken between two transfers the interface completed, `seconds_` apart or more
  // (the count of completed writes is the interface's own, never cleared).
  // Meanwhile the line's idle time between one frame's end and the next one's start (what a
  // fixture sees as flicker), and the host main thread's own CPU time per frame sent.
  void lineSendFigure() {
    maxhost::sendFloats(box_, byteList(kFullFrame));
    pump(kWarmUpSeconds + 0.1);
    const uint32_t first = waitForNextWrite();
    const int64_t start = toolCounterNow();
    const double mainBefore = toolThreadCpuSeconds();
    lineGaps_.clear();
    collectGaps_ = true;
    pump(seconds_);
    const uint32_t last = waitForNextWrite();
    collectGaps_ = false;
    const double mainCpu = toolThreadCpuSeconds() - mainBefore;
    const double seconds = toolCounterSeconds(toolCounterNow() - start);
    const double rate = static_cast<double>(last - first) / seconds;
    const double wire = wireFramesPerSecond(kFullFrame);
    if (quiet_) return;
    console_.print("send     513-byte frames, interface taking %.1f ms per transfer: %8.1f frames/s  (DMX line: %6.1f frames/s; %.2fx)\n",
                   wireFrameMicroseconds(kFullFrame) / 1e3, rate, wire, rate / wire);
    const ToolSpread gaps = toolSpread(lineGaps_);
    const double maxGap = lineGaps_.empty() ? 0 : *std::max_element(lineGaps_.begin(), lineGaps_.end());
    console_.print("gap      line idle between one frame's end and the next one's start: median %6.3f ms  p99 %6.3f ms  max %6.3f ms  (%llu gaps)\n",
                   gaps.median, gaps.p99, maxGap, static_cast<unsigned long long>(gaps.count));
    console_.print("main     host main thread's CPU per frame sent: %6.0f us  (over %u frames; its CPU time counts in clock ticks)\n",
                   last > first ? mainCpu / (last - first) * 1e6 : 0.0, last - first);
  }

  // While the object keeps full frames going to the line, full frames also come in at the
  // line's rate; the process's CPU time over the run, against the time that passed. The run
  // is kCpuRunFactor figures long, since the system counts CPU time in clock ticks.
  void cpuFigure() {
    const std::vector<uint8_t> frame = receivedFrame(kFullFrame);
    const double period = wireFrameMicroseconds(kFullFrame) / 1e6;
    const uint32_t writesBefore = writesCompleted();
    long long injected = 0;
    const double cpuBefore = toolProcessCpuSeconds();
    ToolStopwatch clock;
    double next = 0;
    while (!toolInterrupted() && clock.seconds() < seconds_ * kCpuRunFactor) {
      if (clock.seconds() >= next) {
        sim_.injectFrame(path_, frame.data(), kFullFrame, 0);
        ++injected;
        next += period;
      }
      const double wait = std::max(0.0, next - clock.seconds());
      maxhost::pumpUntil([&] { return clock.seconds() >= next; }, static_cast<unsigned long>(wait * 1e3) + 1);
      takeRecords(kFullFrame);
    }
    const double seconds = clock.seconds();
    const double cpu = toolProcessCpuSeconds() - cpuBefore;
    if (!quiet_)
      console_.print("cpu      513-byte frames out and in at the DMX line's rate: %5.1f%% of one core  (whole process, over %.3g s; %.1f frames/s out, %.1f in)\n",
                     cpu / seconds * 100, seconds, static_cast<double>(writesCompleted() - writesBefore) / seconds,
                     static_cast<double>(injected) / seconds);
  }

  void sendFigures(bool countHeap) {
    for (int size : kFrameSizes) {
      maxhost::sendFloats(box_, byteList(size));
      pump(kWarmUpSeconds);
      checkNewestFrameLength(size);
      resetCounts();
      const uint64_t allocationsBefore = toolAllocationCount();
      ToolStopwatch clock;
      pump(seconds_);
      const double rate = static_cast<double>(framesSent_) / clock.seconds();
      const double wire = wireFramesPerSecond(size);
      if (quiet_) continue;
      console_.print("send     %3d-byte frames, interface completing at once: %10.0f frames/s  (DMX line: %6.1f frames/s; %.2fx)\n",
                     size, rate, wire, rate / wire);
      totalSent_ += framesSent_;
      if (countHeap && size == kFullFrame) heapLine("send path", toolAllocationCount() - allocationsBefore, framesSent_);
    }
  }

  // Each call timed on its own, on a thread of its own, while this thread pumps.
  void listFigure() {
    const std::vector<double> list = byteList(kFullFrame);
    std::atomic<bool> stop{false};
    std::vector<double> samples;
    samples.reserve(kMaxListSamples);
    std::thread sender([&] {
      while (!stop.load(std::memory_order_relaxed) && samples.size() < kMaxListSamples) {
        const int64_t start = toolCounterNow();
        maxhost::sendFloats(box_, list);
        samples.push_back(toolCounterSeconds(toolCounterNow() - start) * 1e6);
      }
    });
    resetCounts();
    pump(seconds_);
    stop = true;
    sender.join();
    if (quiet_) return;
    totalSent_ += framesSent_;
    const ToolSpread spread = toolSpread(samples);
    console_.print("list     513 elements from a host thread: median %8.2f us  p99 %8.2f us  (%llu calls)\n", spread.median,
                   spread.p99, static_cast<unsigned long long>(spread.count));
  }

  // A frame ends when the next one begins (or, at 513 bytes, when it is full), so a
  // window of two frames keeps one complete frame ready for the next read without piling
  // frames up faster than the outlet takes them. A frame that does not come out within
  // kLostAfterMs / 20 is counted as lost and the window moves on.
  void receiveFigures() {
    constexpr long long kWindow = 2;
    for (int size : kFrameSizes) {
      const std::vector<uint8_t> frame = receivedFrame(size);
      long long injected = 0;
      long long lost = 0;
      resetCounts();
      ToolStopwatch clock;
      while (!toolInterrupted() && clock.seconds() < seconds_) {
        while (injected - listsEmitted_ - lost < kWindow) {
          sim_.injectFrame(path_, frame.data(), size, 0);
          ++injected;
        }
        const bool moved = maxhost::pumpUntil([&] {
          takeRecords(size);
          return injected - listsEmitted_ - lost < kWindow;
        }, kLostAfterMs / 20);
        if (!moved) lost = injected - listsEmitted_ - 1;
      }
      const double seconds = clock.seconds();
      const long long emitted = listsEmitted_;
      // End the last frame so that nothing is left half-received for the next size.
      const uint8_t startCode = 0;
      sim_.injectFrame(path_, &startCode, 1, 0);
      pump(kWarmUpSeconds);
      if (quiet_) continue;
      console_.print("receive  %3d-byte frames: %10.0f frames/s emitted at the outlet  (%lld lost)\n", size,
                     static_cast<double>(emitted) / seconds, lost);
      totalReceived_ += emitted;
    }
  }

  // Frames sent and received while not quiet.
  long long totalSent() const { return totalSent_; }
  long long totalReceived() const { return totalReceived_; }

  // The heap lines then say that the external's allocations are not counted.
  void heapNotCounted() { heapCounted_ = false; }

 private:
  static constexpr size_t kMaxListSamples = 2000000;

  void resetCounts() {
    framesSent_ = 0;
    listsEmitted_ = 0;
  }

  void heapLine(const char* path, uint64_t allocations, long long frames) {
    if (!heapCounted_) {
      console_.print("heap     %s: allocations not counted (the external's imports could not be reached)\n", path);
      return;
    }
    console_.print("heap     %s: %llu allocations in %lld frames after warm-up (%.3f per frame)\n", path,
                   static_cast<unsigned long long>(allocations), frames,
                   frames > 0 ? static_cast<double>(allocations) / static_cast<double>(frames) : 0.0);
  }

  // Writes are issued from this thread's message dispatch (or, during the list figure, the
  // sender's list calls), so a frame decoded between the count and the clear is at worst
  // not counted.
  void takeRecords(int listLength) {
    const int frames = sim_.outFrameCount(path_);
    if (frames > 0) {
      framesSent_ += frames;
      if (collectGaps_) appendLineGapsMs(sim_, path_, 256, lineGaps_);
      sim_.clearRecords(path_);
    }
    for (const maxhost::OutletCall& call : maxhost::takeOutletCalls()) {
      if (call.object == box_ && (listLength == 0 || call.values.size() == static_cast<size_t>(listLength)))
        ++listsEmitted_;
    }
  }

  // Pumps until the interface has completed one more write; returns its count of them.
  uint32_t waitForNextWrite() {
    const uint32_t before = writesCompleted();
    maxhost::pumpUntil([&] { return writesCompleted() != before; }, kLostAfterMs);
    return writesCompleted();
  }

  uint32_t writesCompleted() const {
    SimCounters counters{};
    sim_.getCounters(path_, &counters);
    return counters.writesCompleted;
  }

  void checkNewestFrameLength(int size) {
    uint8_t frame[513];
    maxhost::pumpUntil([&] { return sim_.outFrameCount(path_) > 0; }, kLostAfterMs);
    const int count = sim_.outFrameCount(path_);
    const int length = count > 0 ? sim_.outFrame(path_, count - 1, frame, sizeof frame) : -1;
    if (length != size && !quiet_) console_.print("send     (note: newest frame has %d bytes, not %d)\n", length, size);
  }

  ToolConsole& console_;
  const SimControlApi& sim_;
  const char* path_;
  void* box_;
  double seconds_ = 1;
  bool quiet_ = false;
  bool heapCounted_ = true;
  bool collectGaps_ = false;
  std::vector<double> lineGaps_;  // ms
  long long framesSent_ = 0;
  long long listsEmitted_ = 0;
  long long totalSent_ = 0;
  long long totalReceived_ = 0;
};

void printMemory(ToolConsole& console, const char* when, const ToolMemory& memory) {
  console.print("memory   %-28s working set %8llu KiB, private %8llu KiB\n", when,
                static_cast<unsigned long long>(memory.workingSet / 1024),
                static_cast<unsigned long long>(memory.privateBytes / 1024));
}

}  // namespace

int runBenchCommand(const ToolOptions& options, ToolConsole& console) {
  ToolSimulator simulator;
  std::string error;
  if (!simulator.start(false, &error)) {
    console.error("prismlux-tool: bench needs a simulated interface: %s\n", error.c_str());
    return kToolExitFailed;
  }
  const SimControlApi& sim = simulator.sim();
  sim.setCompletion(simulator.path(), SIM_COMPLETE_AT_ONCE, 0);
  const double seconds = options.seconds.value_or(1.0);
  console.print("bench: %.3g s per figure, simulated interface; DMX line: 92 us break, 12 us mark after break, "
                "44 us per byte, at least 1204 us from break to break\n", seconds);

  const bool everyFigure = !options.benchCalls && !options.benchMany;
  if (everyFigure) {
    printPacketiseFigure(console, seconds);
    if (!printDecodeFigure(console, simulator, seconds)) return kToolExitFailed;
    for (int interfaces : {24, 64}) printHelperWakeupFigure(console, interfaces, seconds);
  }

  if (!loadToolExternal(console)) return kToolExitFailed;
  const int counted = importhook::attach(w32::getModuleHandle(toolExternalPath().c_str()));
  if (everyFigure || options.benchCalls) {
    const std::string serial = std::to_string(kCallsSerial);
    const std::string path = simulator.addInterface("USB\\VID_1234&PID_0001\\" + serial);
    const int frames = std::max(kMinCountedFrames, static_cast<int>(seconds * kCountedFramesPerSecond));
    for (int bytes : {3, kFullFrame}) {
      if (counted == 0 || path.empty() || !printCallsFigure(console, sim, path, serial, bytes, frames)) {
        console.error("prismlux-tool: bench: calls could not be counted\n");
        return kToolExitFailed;
      }
    }
  }
  // Before the bench's own box: each count runs alone.
  if (everyFigure || options.benchMany) {
    BenchInterfaces registered;
    const std::vector<int> counts = options.benchInterfaces.empty() ? std::vector<int>(std::begin(kInterfaceCounts), std::end(kInterfaceCounts))
                                                                     : options.benchInterfaces;
    for (BenchDriverStart driverStart : {BenchDriverStart::ResetsEvent, BenchDriverStart::LeavesEvent}) {
      for (int interfaces : counts) {
        if (!printInterfacesFigure(console, simulator, registered, interfaces, driverStart, seconds * kCpuRunFactor))
          return kToolExitFailed;
      }
    }
  }
  if (!everyFigure) return kToolExitOk;
  // Scale 255: list values are the bytes themselves.
  ToolObjectBox box(console, {maxhost::Value::real(255), maxhost::Value::symbol(ToolSimulator::kSerial)});
  if (box.object() == nullptr || !box.opened()) {
    console.error("prismlux-tool: the simulated interface did not open\n");
    return kToolExitFailed;
  }

  Bench bench(console, simulator, box.object());
  if (counted == 0) bench.heapNotCounted();
  bench.configure(seconds, false);
  // The object has sent nothing yet: it only receives.
  bench.latencyFigure("interface idle:", true);
  // From here on it sends its newest frame again and again: first behind a DMX line.
  sim.setOutWireTime(simulator.path(), static_cast<uint32_t>(wireFrameMicroseconds(kFullFrame)));
  bench.lineSendFigure();
  bench.latencyFigure("sending at the line's rate:", false);
  bench.cpuFigure();
  sim.setOutWireTime(simulator.path(), 0);

  // A quiet round of every kind of traffic to an interface completing at once first: what is
  // allocated once (code paged in, the sender thread's first start, buffers) is then in the
  // baseline, and the change printed at the end is what the measured frames cost.
  bench.configure(kWarmUpSeconds, true);
  bench.sendFigures(false);
  bench.listFigure();
  bench.receiveFigures();
  const ToolMemory before = toolMemoryNow();

  bench.configure(seconds, false);
  bench.sendFigures(true);
  bench.listFigure();
  bench.receiveFigures();

  const ToolMemory after = toolMemoryNow();
  printMemory(console, "after warm-up:", before);
  printMemory(console, "at the end:", after);
  console.print("memory   change over %lld frames sent and %lld received: working set %+lld KiB, private %+lld KiB\n",
                bench.totalSent(), bench.totalReceived(),
                (static_cast<long long>(after.workingSet) - static_cast<long long>(before.workingSet)) / 1024,
                (static_cast<long long>(after.privateBytes) - static_cast<long long>(before.privateBytes)) / 1024);
  return kToolExitOk;
}
