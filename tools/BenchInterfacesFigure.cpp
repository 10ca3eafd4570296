#include "tools/BenchInterfacesFigure.h"

#include <algorithm>
#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "host/HostDriver.h"
#include "tools/ImportHook.h"
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
constexpr DWORD kInjectorSleepMs = 4;
// The line gaps taken from each interface (its first ones in the run).
constexpr int kLineGapsPerInterface = 512;

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

// The main thread's time in the external's EnterCriticalSection calls: waiting for a lock
// that another thread holds (taking a free one costs next to nothing).
std::atomic<int64_t> mainLockTicks{0};
std::atomic<DWORD> mainThreadId{0};
using EnterFunction = void(WINAPI*)(CRITICAL_SECTION*);
EnterFunction originalEnter = nullptr;
constexpr int kTimedKind = 1;

void WINAPI timedEnterCriticalSection(CRITICAL_SECTION* section) {
  if (GetCurrentThreadId() != mainThreadId.load(std::memory_order_relaxed)) return originalEnter(section);
  const int64_t start = toolCounterNow();
  originalEnter(section);
  mainLockTicks.fetch_add(toolCounterNow() - start, std::memory_order_relaxed);
}

bool timesCall(int kind) { return kind == kTimedKind; }

void timeMainThreadLocks() {
  if (originalEnter != nullptr) return;
  originalEnter = reinterpret_cast<EnterFunction>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "EnterCriticalSection")));
  if (originalEnter == nullptr) return;
  mainThreadId = GetCurrentThreadId();
  importhook::setStandIn("EnterCriticalSection", reinterpret_cast<void*>(&timedEnterCriticalSection), kTimedKind);
  importhook::setFailRule(&timesCall);
}

// What the chain did over the measured run: the external's calls by thread, the transfers
// the interfaces completed, and each thread's CPU time.
struct Evidence {
  std::vector<importhook::Tally> tallies;
  std::vector<importhook::SeenThread> threads;
  std::unordered_map<DWORD, double> threadCpu;
  double processCpu = 0;
  int64_t mainLockTicks = 0;
  uint32_t readsCompleted = 0;
  uint32_t writesCompleted = 0;
  DWORD injector = 0;
};

Evidence evidenceNow(const SimControlApi& sim, const std::vector<Interface>& all, DWORD injector) {
  Evidence now;
  now.processCpu = toolProcessCpuSeconds();
  now.mainLockTicks = mainLockTicks.load();
  now.tallies = importhook::tallies();
  now.threads = importhook::threads();
  now.injector = injector;
  for (const importhook::SeenThread& thread : now.threads) now.threadCpu[thread.id] = toolThreadCpuSeconds(thread.id);
  now.threadCpu[injector] = toolThreadCpuSeconds(injector);
  for (const Interface& one : all) {
    SimCounters counters{};
    sim.getCounters(one.path.c_str(), &counters);
    now.readsCompleted += counters.readsCompleted;
    now.writesCompleted += counters.writesCompleted;
  }
  return now;
}

// Calls of `function` on threads of `role` between the two.
double callsBetween(const Evidence& before, const Evidence& after, const char* function, importhook::Role role) {
  double calls = 0;
  for (size_t i = 0; i < after.tallies.size(); ++i) {
    if (after.tallies[i].function != function) continue;
    const int r = static_cast<int>(role);
    calls += static_cast<double>(after.tallies[i].calls[r] - (i < before.tallies.size() ? before.tallies[i].calls[r] : 0));
  }
  return calls;
}

// Where the time and the passes went: per frame moved (out or in), the environment thread's
// waits and the transfers each completes, the helpers' wake-ups, the main thread's service
// posts, WM_TIMERs (the window passes each on to DefWindowProc) and window timers set; and
// each kind of thread's share of a core.
void printEvidence(ToolConsole& console, int interfaces, const Evidence& before, const Evidence& after, long long frames,
                   double seconds) {
  using importhook::Role;
  if (frames <= 0 || seconds <= 0) return;
  const double waits = callsBetween(before, after, "MsgWaitForMultipleObjects", Role::Environment);
  const double transfers = static_cast<double>(after.readsCompleted - before.readsCompleted) +
                           static_cast<double>(after.writesCompleted - before.writesCompleted);
  double posts = 0;
  for (int role = 0; role < importhook::kRoles; ++role) {
    posts += callsBetween(before, after, "PostMessageW", static_cast<Role>(role)) +
             callsBetween(before, after, "PostMessageA", static_cast<Role>(role));
  }
  double cpu[importhook::kRoles + 1] = {};  // the roles, then the injector
  for (const importhook::SeenThread& thread : after.threads) {
    if (thread.id == after.injector) continue;
    const auto earlier = before.threadCpu.find(thread.id);
    cpu[static_cast<int>(thread.role)] += after.threadCpu.at(thread.id) - (earlier != before.threadCpu.end() ? earlier->second : 0);
  }
  cpu[importhook::kRoles] = after.threadCpu.at(after.injector) - before.threadCpu.at(before.injector);
  double known = 0;
  for (double share : cpu) known += share;
  const double perFrame = 1.0 / static_cast<double>(frames);
  // The window hands each WM_TIMER on to DefWindowProc (the x86 build calls the ANSI form).
  const double timerMessages = callsBetween(before, after, "DefWindowProcW", Role::Main) +
                               callsBetween(before, after, "DefWindowProcA", Role::Main);
  console.print("many     %2d per frame moved: environment thread %.2f waits (%.1f transfers completed per wait), helpers "
                "%.2f wake-ups; %.2f service posts, %.2f WM_TIMERs (%.0f a second, %.1f frames moved each), %.2f window "
                "timers set; main thread waiting for the external's locks %.0f%% of the time; cpu (%% of a core): main %.1f, "
                "environment %.1f, helpers %.1f, other external threads %.1f, injector %.1f, rest (simulator, Wine) %.1f\n",
                interfaces, waits * perFrame, waits > 0 ? transfers / waits : 0.0,
                callsBetween(before, after, "WaitForMultipleObjects", Role::Helper) * perFrame, posts * perFrame,
                timerMessages * perFrame, timerMessages / seconds, timerMessages > 0 ? frames / timerMessages : 0.0,
                callsBetween(before, after, "SetTimer", Role::Main) * perFrame,
                toolCounterSeconds(after.mainLockTicks - before.mainLockTicks) / seconds * 100, cpu[0] / seconds * 100,
                cpu[1] / seconds * 100, cpu[2] / seconds * 100, cpu[3] / seconds * 100, cpu[4] / seconds * 100,
                (after.processCpu - before.processCpu - known) / seconds * 100);
}

std::vector<double> fullFrameList() {
  std::vector<double> values(kFullFrame);
  for (int i = 1; i < kFullFrame; ++i) values[static_cast<size_t>(i)] = (i * 7) % 256;
  return values;
}

}  // namespace

bool printInterfacesFigure(ToolConsole& console, ToolSimulator& simulator, BenchInterfaces& registered, int interfaces,
                           BenchDriverStart driverStart, double seconds) {
  const SimControlApi& sim = simulator.sim();
  timeMainThreadLocks();
  std::vector<Interface> all(static_cast<size_t>(interfaces));
  bool ok = true;
  for (int i = 0; ok && i < interfaces; ++i) {
    Interface& one = all[static_cast<size_t>(i)];
    if (static_cast<size_t>(i) == registered.size())
      registered.push_back(simulator.addInterface("USB\\VID_1234&PID_0001\\" + std::to_string(kFirstSerial + i)));
    one.path = registered[static_cast<size_t>(i)];
    ok = !one.path.empty();
    if (!ok) break;
    sim.setCompletion(one.path.c_str(),
                      driverStart == BenchDriverStart::ResetsEvent ? SIM_COMPLETE_LATER : SIM_COMPLETE_LATER_KEEPING_EVENT, 0);
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
  // How long each line stood idle between two frames (ms), every interface's together.
  std::vector<double> lineGaps;
  double cpu = 0, elapsed = 0;
  long long framesOut = 0, framesIn = 0, droppedFrames = 0;
  Evidence before, after;
  if (ok) {
    std::unordered_map<void*, Interface*> byBox;
    for (Interface& one : all) byBox[one.box] = &one;
    const std::vector<double> list = fullFrameList();
    for (Interface& one : all) maxhost::sendFloats(one.box, list);
    // The frames come in from a thread of their own, as from the interfaces, so that the
    // main thread does only what a host's main thread does. Each interface's line runs at
    // its own phase, as independent lines do, rather than all frames landing at once. An
    // interface whose last frame still waits for reads drops the next one, as a real one's
    // buffer would (the simulator's would grow without end).
    std::atomic<bool> stop{false};
    std::atomic<long long> dropped{0};
    std::atomic<DWORD> injectorId{0};
    std::thread injector([&] {
      injectorId = GetCurrentThreadId();
      const double step = kLineMicroseconds / 1e6 / interfaces;
      ToolStopwatch line;
      for (long long slot = 0; !stop.load(); ++slot) {
        // Each wake-up of this thread is a request to the Wine server like the external's
        // own: a few milliseconds of phase are worth fewer of them.
        while (!stop.load() && line.seconds() < static_cast<double>(slot) * step) Sleep(kInjectorSleepMs);
        const Interface& one = all[static_cast<size_t>(slot % interfaces)];
        if (sim.injectFrame(one.path.c_str(), frame.data(), kFullFrame, SIM_IN_DROP_IF_WAITING) == 2) ++dropped;
      }
    });
    ToolStopwatch clock;
    bool measuring = false;
    // The warm-up ends by the clock, however long the first pumps take; then the run.
    while (!toolInterrupted() && !(measuring && clock.seconds() >= seconds)) {
      if (!measuring && clock.seconds() >= kWarmUpSeconds) {
        measuring = true;
        for (Interface& one : all) {
          one.writesAtStart = writesCompleted(sim, one.path);
          one.listsEmitted = 0;
          sim.clearRecords(one.path.c_str());
        }
        dropped = 0;
        before = evidenceNow(sim, all, injectorId.load());
        latencies.clear();
        clock.restart();
      }
      maxhost::pumpMessages(5);
      for (const maxhost::OutletCall& call : maxhost::takeOutletCalls()) {
        const auto box = byBox.find(call.object);
        if (call.values.size() != static_cast<size_t>(kFullFrame) || box == byBox.end()) continue;
        Interface& one = *box->second;
        ++one.listsEmitted;
        if (!measuring) continue;
        // Left out when a later frame's last read has completed meanwhile.
        const int64_t readDone = sim.readCompletedAt(one.path.c_str());
        if (readDone < call.counter) latencies.push_back(toolCounterSeconds(call.counter - readDone) * 1e3);
      }
      if (measuring) elapsed = clock.seconds();
    }
    after = evidenceNow(sim, all, injectorId.load());
    cpu = after.processCpu - before.processCpu;
    stop = true;
    injector.join();
    droppedFrames = dropped.load();
    for (Interface& one : all) {
      framesOut += writesCompleted(sim, one.path) - one.writesAtStart;
      framesIn += one.listsEmitted;
      appendLineGapsMs(sim, one.path.c_str(), kLineGapsPerInterface, lineGaps);
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
  const ToolSpread idle = toolSpread(lineGaps);
  console.print("many     %2d interfaces, full frames both ways at the line's rate, %s: per interface %5.1f frames/s out "
                "(%.2fx the line), %5.1f in (%.2fx); all together %6.0f frames/s out, %6.0f in; IN read done -> outlet median "
                "%6.2f ms p99 %6.2f ms; line idle between frames median %.2f ms p99 %.2f ms; cpu %5.1f%% of one core; %lld "
                "frames dropped by the interfaces\n",
                interfaces,
                driverStart == BenchDriverStart::ResetsEvent ? "driver resetting the event at each start"
                                                             : "driver leaving the event",
                outRate, outRate / line, inRate, inRate / line, outRate * interfaces, inRate * interfaces,
                spread.median, spread.p99, idle.median, idle.p99, share, droppedFrames);
  printEvidence(console, interfaces, before, after, framesOut + framesIn, elapsed);
  return true;
}
