// bench: figures for the whole chain over a simulated interface that completes transfers
// at once: host -> external -> device layer -> interface and back. It prints, and never
// judges: the figures depend on the machine (and, here, on Wine and qemu).
//
//   send     frames per second written for 1-, 64- and 513-byte frames, against the rate
//            the DMX wire allows for frames of that length;
//   list     the cost of one call of the list method with 513 elements, made from a
//            thread other than the host's main thread while the frames keep going;
//   receive  frames per second decoded and emitted at the outlet, each frame injected as
//            soon as the outlet has taken the one before;
//   memory   working set and private bytes after a warm-up and at the end.
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "host/HostDriver.h"
#include "support/Windows.h"
#include "tools/ToolCommands.h"
#include "tools/ToolInterrupt.h"
#include "tools/ToolMemory.h"
#include "tools/ToolObjectBox.h"
#include "tools/ToolSimulator.h"
#include "tools/ToolStopwatch.h"

namespace {

constexpr int kFrameSizes[] = {1, 64, 513};
constexpr unsigned long kPumpSliceMs = 10;
constexpr double kWarmUpSeconds = 0.1;

// Frames per second a DMX line carries for frames of `bytes` (start code included): a
// 92 us break, a 12 us mark after break, then 44 us per byte. 513 bytes: about 44.
double wireFramesPerSecond(int bytes) { return 1e6 / (92.0 + 12.0 + 44.0 * bytes); }

std::vector<double> byteList(int count) {
  std::vector<double> values(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) values[static_cast<size_t>(i)] = i == 0 ? 0 : (i * 7) % 256;
  return values;
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

  void sendFigures() {
    for (int size : kFrameSizes) {
      maxhost::sendFloats(box_, byteList(size));
      pump(kWarmUpSeconds);
      checkNewestFrameLength(size);
      resetCounts();
      ToolStopwatch clock;
      pump(seconds_);
      const double rate = static_cast<double>(framesSent_) / clock.seconds();
      const double wire = wireFramesPerSecond(size);
      if (!quiet_)
        console_.print("send     %3d-byte frames: %10.0f frames/s  (DMX wire: %6.0f frames/s; %.2fx)\n", size,
                     rate, wire, rate / wire);
      if (!quiet_) totalSent_ += framesSent_;
    }
  }

  void listFigure() {
    const std::vector<double> list = byteList(513);
    std::atomic<bool> stop{false};
    std::atomic<long long> calls{0};
    std::atomic<double> elapsed{0};
    std::thread sender([&] {
      ToolStopwatch clock;
      long long n = 0;
      while (!stop.load(std::memory_order_relaxed)) {
        maxhost::sendFloats(box_, list);
        ++n;
      }
      elapsed = clock.seconds();
      calls = n;
    });
    resetCounts();
    pump(seconds_);
    stop = true;
    sender.join();
    if (!quiet_) totalSent_ += framesSent_;
    const long long n = calls;
    if (quiet_) return;
    if (n > 0) {
      console_.print("list     513 elements from a host thread: %10.0f ns per call  (%lld calls)\n",
                     elapsed * 1e9 / static_cast<double>(n), n);
    } else {
      console_.print("list     513 elements from a host thread: no call finished\n");
    }
  }

  // A frame ends when the next one begins (or, at 513 bytes, when it is full), so a
  // window of two frames keeps one complete frame ready for the next read without piling
  // frames up faster than the outlet takes them. A frame that does not come out within
  // kLostAfterMs is counted as lost and the window moves on.
  void receiveFigures() {
    constexpr long long kWindow = 2;
    constexpr unsigned long kLostAfterMs = 50;
    for (int size : kFrameSizes) {
      std::vector<uint8_t> frame(static_cast<size_t>(size));
      for (int i = 1; i < size; ++i) frame[static_cast<size_t>(i)] = static_cast<uint8_t>(i);
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
        }, kLostAfterMs);
        if (!moved) lost = injected - listsEmitted_ - 1;
      }
      const double seconds = clock.seconds();
      const long long emitted = listsEmitted_;
      // End the last frame so that nothing is left half-received for the next size.
      const uint8_t startCode = 0;
      sim_.injectFrame(path_, &startCode, 1, 0);
      pump(kWarmUpSeconds);
      if (!quiet_)
        console_.print("receive  %3d-byte frames: %10.0f frames/s emitted at the outlet  (%lld lost)\n", size,
                     static_cast<double>(emitted) / seconds, lost);
      if (!quiet_) totalReceived_ += emitted;
    }
  }

  // Frames sent and received while not quiet.
  long long totalSent() const { return totalSent_; }
  long long totalReceived() const { return totalReceived_; }

 private:
  void resetCounts() {
    framesSent_ = 0;
    listsEmitted_ = 0;
  }

  // Writes are issued from this thread's message dispatch (or, during the list figure, the
  // sender's list calls), so a frame decoded between the count and the clear is at worst
  // not counted.
  void takeRecords(int listLength) {
    const int frames = sim_.outFrameCount(path_);
    if (frames > 0) {
      framesSent_ += frames;
      sim_.clearRecords(path_);
    }
    for (const maxhost::OutletCall& call : maxhost::takeOutletCalls()) {
      if (call.object == box_ && (listLength == 0 || call.values.size() == static_cast<size_t>(listLength)))
        ++listsEmitted_;
    }
  }

  void checkNewestFrameLength(int size) {
    uint8_t frame[513];
    maxhost::pumpUntil([&] { return sim_.outFrameCount(path_) > 0; }, 1000);
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
  simulator.sim().setCompletion(simulator.path(), SIM_COMPLETE_AT_ONCE, 0);
  if (!loadToolExternal(console)) return kToolExitFailed;
  // Scale 255: list values are the bytes themselves.
  ToolObjectBox box(console, {maxhost::Value::real(255), maxhost::Value::symbol(ToolSimulator::kSerial)});
  if (box.object() == nullptr || !box.opened()) {
    console.error("prismlux-tool: the simulated interface did not open\n");
    return kToolExitFailed;
  }
  const double seconds = options.seconds.value_or(1.0);
  console.print("bench: %.3g s per figure, simulated interface completing transfers at once\n", seconds);

  Bench bench(console, simulator, box.object());
  // A quiet round of every kind of traffic first: what is allocated once (code paged in,
  // the sender thread's first start, buffers) is then in the baseline, and the change
  // printed at the end is what the measured frames cost.
  bench.configure(kWarmUpSeconds, true);
  bench.sendFigures();
  bench.listFigure();
  bench.receiveFigures();
  const ToolMemory before = toolMemoryNow();

  bench.configure(seconds, false);
  bench.sendFigures();
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
