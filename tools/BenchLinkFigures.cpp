#include "tools/BenchLinkFigures.h"

#include <cstdint>
#include <vector>

#include "dmx/CDmxUsbLink.h"
#include "dmx/WinUsbApi.h"
#include "framework/CEnv.h"
#include "framework/LDispatcher.h"
#include "framework/NoteNames.h"
#include "tools/ToolSpread.h"
#include "tools/ToolStopwatch.h"

namespace {

constexpr uint32_t kFullFrame = 513;
// The packets of a full frame's stream, and the reads they finish.
constexpr uint32_t kFullFramePackets =
    (CDmxUsbLink::kMaxFrameStream + CDmxUsbLink::kPacketSize - 1) / CDmxUsbLink::kPacketSize;
constexpr size_t kMaxSamples = 100000;
constexpr int kCallsPerSample = 64;

std::vector<uint8_t> fullFrame() {
  std::vector<uint8_t> frame(kFullFrame);
  for (uint32_t i = 1; i < kFullFrame; ++i) frame[i] = static_cast<uint8_t>(i * 7);
  return frame;  // start code 0: the frame ends as soon as it is full
}

// The link's reads go through the process's WinUSB table; while the IN figure runs, its
// ReadPipe entry points here, which adds up the time spent inside the (simulated) library.
winusb::ReadPipe_t untimedReadPipe = nullptr;
int64_t readPipeTicks = 0;

BOOL WINAPI timedReadPipe(winusb::WINUSB_INTERFACE_HANDLE handle, UCHAR pipe, PUCHAR buffer, ULONG length,
                          PULONG transferred, LPOVERLAPPED overlapped) {
  const int64_t start = toolCounterNow();
  const BOOL result = untimedReadPipe(handle, pipe, buffer, length, transferred, overlapped);
  readPipeTicks += toolCounterNow() - start;
  return result;
}

// The link, with the time it spends issuing reads added up (the re-issue of the reads the
// decoder has taken in, inside its work for them).
class TimedLink final : public CDmxUsbLink {
 public:
  using CDmxUsbLink::CDmxUsbLink;
  int64_t issueTicks = 0;

 protected:
  void issueReads() override {
    if (depth_++ > 0) {
      CDmxUsbLink::issueReads();
    } else {
      const int64_t start = toolCounterNow();
      CDmxUsbLink::issueReads();
      issueTicks += toolCounterNow() - start;
    }
    --depth_;
  }

 private:
  int depth_ = 0;
};

SimCounters countersOf(const SimControlApi& sim, const char* path) {
  SimCounters counters{};
  sim.getCounters(path, &counters);
  return counters;
}

}  // namespace

void printPacketiseFigure(ToolConsole& console, double seconds) {
  std::vector<uint8_t> frame = fullFrame();
  uint8_t stream[CDmxUsbLink::kMaxFrameStream];
  std::vector<double> samples;
  uint32_t length = 0;
  ToolStopwatch clock;
  while (samples.size() < kMaxSamples && (samples.size() < 10 || clock.seconds() < seconds)) {
    const int64_t start = toolCounterNow();
    for (int i = 0; i < kCallsPerSample; ++i) {
      frame[1] = static_cast<uint8_t>(i);
      length = CDmxUsbLink::encodeFrame(frame.data(), kFullFrame, stream);
    }
    samples.push_back(toolCounterSeconds(toolCounterNow() - start) * 1e9 / kCallsPerSample);
  }
  const ToolSpread spread = toolSpread(samples);
  console.print("packetise 513-byte frame into a %u-byte stream: median %8.0f ns  p99 %8.0f ns  (%llu samples of %d calls)\n",
                length, spread.median, spread.p99, static_cast<unsigned long long>(spread.count), kCallsPerSample);
}

bool printDecodeFigure(ToolConsole& console, const ToolSimulator& simulator, double seconds) {
  const SimControlApi& sim = simulator.sim();
  const char* path = simulator.path();
  CEnv* env = CEnv::create();
  if (env == nullptr) {
    console.error("prismlux-tool: bench: no environment for the link\n");
    return false;
  }
  std::vector<double> samples;
  std::vector<double> reissueTimes;
  std::vector<double> libraryTimes;
  bool opened = false;
  {
    // No owner: a failure's note goes nowhere, and nobody reads the frames (newer ones
    // replace them).
    TimedLink link(nullptr, env->dispatcher());
    opened = link.open(path) == CDmxLink::kOpened;
    LDispatcher* dispatcher = env->dispatcher();
    CUsbDevice* device = link.usbDevice();
    const std::vector<uint8_t> frame = fullFrame();
    dispatcher->lock();
    untimedReadPipe = gWinUsbApi.ReadPipe;
    if (opened && untimedReadPipe != nullptr) gWinUsbApi.ReadPipe = timedReadPipe;
    dispatcher->unlock();
    ToolStopwatch clock;
    while (opened && samples.size() < kMaxSamples && (samples.size() < 10 || clock.seconds() < seconds)) {
      // With the lock held the environment's thread cannot take the finished reads first.
      dispatcher->lock();
      const uint32_t before = countersOf(sim, path).readsCompleted;
      sim.injectFrame(path, frame.data(), static_cast<int>(frame.size()), 0);
      ToolStopwatch wait;
      while (countersOf(sim, path).readsCompleted - before < kFullFramePackets && wait.seconds() < 1) SwitchToThread();
      const uint32_t decodedBefore = link.packetsDecoded();
      readPipeTicks = 0;
      link.issueTicks = 0;
      const int64_t start = toolCounterNow();
      device->handleNote(LNote(LAsyncSignal_X, device, device));
      const int64_t end = toolCounterNow();
      const bool complete = link.packetsDecoded() - decodedBefore == kFullFramePackets;
      const int64_t inLibrary = readPipeTicks;
      const int64_t reissue = link.issueTicks;
      dispatcher->unlockAndWake();
      if (!complete) break;
      // The library's ReadPipe calls are made inside the re-issue.
      samples.push_back(toolCounterSeconds(end - start - reissue) * 1e9);
      reissueTimes.push_back(toolCounterSeconds(reissue - inLibrary) * 1e9);
      libraryTimes.push_back(toolCounterSeconds(inLibrary) * 1e9);
    }
    dispatcher->lock();
    if (gWinUsbApi.ReadPipe == timedReadPipe) gWinUsbApi.ReadPipe = untimedReadPipe;
    dispatcher->unlock();
    if (opened) link.close();
  }
  delete env;
  if (!opened) {
    console.error("prismlux-tool: bench: the link did not open the simulated interface\n");
    return false;
  }
  const ToolSpread spread = toolSpread(samples);
  const ToolSpread reissue = toolSpread(reissueTimes);
  const ToolSpread library = toolSpread(libraryTimes);
  console.print("decode    588-byte IN stream into a frame: median %8.0f ns  p99 %8.0f ns  (%llu frames; the 10 finished "
                "reads taken in and decoded, their re-issue left out)\n",
                spread.median, spread.p99, static_cast<unsigned long long>(spread.count));
  console.print("reissue   its 10 reads issued again: median %8.0f ns  p99 %8.0f ns  (the device layer's part; the library's "
                "10 ReadPipe calls apart: median %.0f ns  p99 %.0f ns)\n",
                reissue.median, reissue.p99, library.median, library.p99);
  return true;
}
