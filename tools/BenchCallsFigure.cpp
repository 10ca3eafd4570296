#include "tools/BenchCallsFigure.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "host/HostDriver.h"
#include "tools/ImportHook.h"
#include "tools/ToolInterrupt.h"

namespace {

constexpr int kWarmUpFrames = 20;
// A frame that takes longer than this means the chain is broken.
constexpr unsigned long kLostAfterMs = 2000;
constexpr int kPacketSize = 64;

// Every frame, short or full, holds the line for a full frame's time (break, mark after
// break, 513 bytes of 44 us): longer than the window timer's period under Wine (about
// 10 ms), so that one frame's completions never meet the next frame's and the counts come
// out the same run after run.
constexpr uint32_t kLineMicroseconds = 104 + 44 * 513;

// The IN packets a looped-back frame arrives in: 8-byte groups of a flag byte and 7 data
// bytes, 8 groups to a packet.
int packetsOf(int bytes) {
  const int groups = (bytes + 6) / 7;
  return (groups * 8 + kPacketSize - 1) / kPacketSize;
}

struct Floor {
  importhook::Role role;
  const char* function;
  int perFrame;  // 0: see packets
  const char* why;
};

// Per frame: the environment thread serves two batches of completions (the frame's reads,
// its write) and the main thread delivers two batches of notes (frame received, write
// done); each transfer is started once.
constexpr Floor kFloors[] = {
    {importhook::Role::Environment, "MsgWaitForMultipleObjects", 2, "one wait per batch of completions"},
    {importhook::Role::Main, "SetTimer", 2, "one window timer per batch of notes"},
    {importhook::Role::Main, "outlet_list", 1, "one list out"},
};

const Floor* floorOf(importhook::Role role, const std::string& function) {
  for (const Floor& floor : kFloors) {
    if (floor.role == role && function == floor.function) return &floor;
  }
  return nullptr;
}

struct Snapshot {
  std::vector<importhook::Tally> tallies;
  uint32_t winUsb[SIM_EP_COUNT] = {};
  uint32_t writes = 0;
};

uint32_t writesCompleted(const SimControlApi& sim, const char* path) {
  SimCounters counters{};
  sim.getCounters(path, &counters);
  return counters.writesCompleted;
}

Snapshot snapshot(const SimControlApi& sim, const char* path) {
  Snapshot now;
  now.writes = writesCompleted(sim, path);
  now.tallies = importhook::tallies();
  for (int ep = 0; ep < SIM_EP_COUNT; ++ep) now.winUsb[ep] = sim.calls(ep);
  return now;
}

// Pumps until the interface has completed `writes` writes in all; false when they stop.
bool pumpUntilWrites(const SimControlApi& sim, const char* path, uint32_t writes, long long* lists, void* box) {
  uint32_t seen = writesCompleted(sim, path);
  while (seen < writes && !toolInterrupted()) {
    const uint32_t before = seen;
    if (!maxhost::pumpUntil([&] {
          for (const maxhost::OutletCall& call : maxhost::takeOutletCalls()) {
            if (call.object == box) ++*lists;
          }
          seen = writesCompleted(sim, path);
          return seen != before;
        }, kLostAfterMs))
      return false;
  }
  return seen >= writes;
}

const char* const kEntryPoints[SIM_EP_COUNT] = {
    "WinUsb_Initialize", "WinUsb_Free", "WinUsb_GetDescriptor", "WinUsb_QueryPipe", "WinUsb_SetPipePolicy",
    "WinUsb_ReadPipe", "WinUsb_WritePipe", "WinUsb_ControlTransfer", "WinUsb_AbortPipe"};

// What a row's DLL is: the system, the C runtime or the host.
enum Group { kSystem, kRuntime, kHost, kGroups };
Group groupOf(const std::string& dll) {
  if (_stricmp(dll.c_str(), "msvcrt.dll") == 0 || _strnicmp(dll.c_str(), "api-ms-win-crt", 14) == 0) return kRuntime;
  if (_stricmp(dll.c_str(), "MaxAPI.dll") == 0) return kHost;
  return kSystem;
}

void printCounts(ToolConsole& console, const Snapshot& before, const Snapshot& after, int frameBytes, double frames) {
  struct Row {
    importhook::Role role;
    std::string dll;
    std::string function;
    double perFrame;
  };
  std::vector<Row> rows;
  double totals[importhook::kRoles][kGroups] = {};
  for (size_t i = 0; i < after.tallies.size(); ++i) {
    const importhook::Tally& now = after.tallies[i];
    for (int role = 0; role < importhook::kRoles; ++role) {
      const uint64_t earlier = i < before.tallies.size() ? before.tallies[i].calls[role] : 0;
      const double perFrame = static_cast<double>(now.calls[role] - earlier) / frames;
      totals[role][groupOf(now.dll)] += perFrame;
      if (perFrame >= 0.05) rows.push_back({static_cast<importhook::Role>(role), now.dll, now.function, perFrame});
    }
  }
  std::stable_sort(rows.begin(), rows.end(), [](const Row& a, const Row& b) {
    return a.role != b.role ? a.role < b.role : a.perFrame > b.perFrame;
  });
  for (const Row& row : rows) {
    const Floor* floor = floorOf(row.role, row.function);
    std::string floorText;
    if (floor != nullptr) floorText = "  floor " + std::to_string(floor->perFrame) + " (" + floor->why + ")";
    console.print("calls    %3d  %-11s %-12s %-28s %6.1f%s\n", frameBytes, importhook::roleName(row.role), row.dll.c_str(),
                  row.function.c_str(), row.perFrame, floorText.c_str());
  }
  const int packets = packetsOf(frameBytes);
  for (int ep = 0; ep < SIM_EP_COUNT; ++ep) {
    const double perFrame = static_cast<double>(after.winUsb[ep] - before.winUsb[ep]) / frames;
    if (ep == SIM_EP_READ_PIPE)
      console.print("calls    %3d  %-11s %-12s %-28s %6.1f  floor %d (one start per transfer: %d IN packets a frame)\n",
                    frameBytes, "any", "winusb.dll", kEntryPoints[ep], perFrame, packets, packets);
    else if (ep == SIM_EP_WRITE_PIPE)
      console.print("calls    %3d  %-11s %-12s %-28s %6.1f  floor 1 (one start per transfer)\n", frameBytes, "any",
                    "winusb.dll", kEntryPoints[ep], perFrame);
    else if (perFrame >= 0.05)
      console.print("calls    %3d  %-11s %-12s %-28s %6.1f\n", frameBytes, "any", "winusb.dll", kEntryPoints[ep], perFrame);
  }
  // The service is posted from whichever thread sets the first event of a batch.
  double posts = 0;
  for (const Row& row : rows) {
    if (row.function == "PostMessageW" || row.function == "PostMessageA") posts += row.perFrame;
  }
  console.print("calls    %3d  %-11s %-12s %-28s %6.1f  floor 2 (one post per batch of notes)\n", frameBytes, "all",
                "user32.dll", "PostMessage", posts);
  for (int role = 0; role < importhook::kRoles; ++role) {
    console.print("calls    %3d  %-11s per frame: %6.1f system, %6.1f C runtime, %6.1f host API\n", frameBytes,
                  importhook::roleName(static_cast<importhook::Role>(role)), totals[role][kSystem], totals[role][kRuntime],
                  totals[role][kHost]);
  }
}

std::vector<double> frameList(int bytes) {
  std::vector<double> values(static_cast<size_t>(bytes));
  for (int i = 1; i < bytes; ++i) values[static_cast<size_t>(i)] = (i * 7) % 256;
  return values;
}

}  // namespace

bool printCallsFigure(ToolConsole& console, const SimControlApi& sim, const std::string& interfacePath,
                      const std::string& serial, int frameBytes, int frames) {
  const char* path = interfacePath.c_str();
  sim.setCompletion(path, SIM_COMPLETE_LATER, 0);
  sim.setOutWireTime(path, kLineMicroseconds);
  sim.setLoopback(path, 1);
  sim.flushIn(path);
  maxhost::takePosts();
  void* box = maxhost::newObject("prismlux 255 " + serial);
  bool opened = false;
  for (const maxhost::Post& post : maxhost::takePosts())
    opened = opened || post.text == "open " + serial;
  bool counted = false;
  if (box != nullptr && opened) {
    long long lists = 0;
    maxhost::sendFloats(box, frameList(frameBytes));
    const uint32_t start = writesCompleted(sim, path);
    if (pumpUntilWrites(sim, path, start + kWarmUpFrames, &lists, box)) {
      const Snapshot before = snapshot(sim, path);
      lists = 0;
      counted = pumpUntilWrites(sim, path, before.writes + static_cast<uint32_t>(frames), &lists, box);
      const Snapshot after = snapshot(sim, path);
      const double sent = after.writes - before.writes;
      if (counted) {
        console.print("calls    %3d-byte frames sent and looped back, one interface behind a %u us line: calls per frame "
                      "over %.0f frames (%lld lists out), by thread and function\n",
                      frameBytes, kLineMicroseconds, sent, lists);
        printCounts(console, before, after, frameBytes, sent);
      }
    }
  }
  if (box != nullptr) maxhost::freeObject(box);
  maxhost::takePosts();
  maxhost::takeOutletCalls();
  sim.setLoopback(path, 0);
  if (!counted) console.error("prismlux-tool: bench: the %d-byte frames of the call count did not go round\n", frameBytes);
  return counted;
}
