#include "tools/BenchWaitFigure.h"

#include <atomic>
#include <memory>
#include <vector>

#include "framework/CEnv.h"
#include "framework/LAsyncSignal.h"
#include "framework/LDispatcher.h"
#include "framework/NoteNames.h"
#include "tools/ToolStopwatch.h"

namespace {

constexpr int kSignalsPerInterface = 3;
// A pass that does not come within this time means the chain is broken.
constexpr double kLostAfterSeconds = 1;

// Answers each signal's note the way a device answers its transfer's: the transfer is
// started again (its event reset) and its signal armed again, under the lock the note holds.
class Rearming final : public LHandler {
 public:
  Rearming() : LHandler(nullptr) {}
  LNote handleNote(const LNote& note) override {
    if (!noteNameEqual(note.name, LAsyncSignal_X)) return LHandler::handleNote(note);
    auto* signal = static_cast<LAsyncSignal*>(note.sender);
    ResetEvent(signal->handle());
    signal->arm(signal->handle());
    ++served;
    return LNote();
  }
  std::atomic<uint32_t> served{0};
};

}  // namespace

void printHelperWakeupFigure(ToolConsole& console, int interfaces, double seconds) {
  std::unique_ptr<CEnv> env(CEnv::create());
  if (env == nullptr) {
    console.print("waits    (no environment; figure skipped)\n");
    return;
  }
  LDispatcher* d = env->dispatcher();
  const int count = interfaces * kSignalsPerInterface;
  Rearming owner;
  std::vector<std::unique_ptr<LAsyncSignal>> signals;
  std::vector<HANDLE> events;
  d->lock();
  for (int i = 0; i < count; ++i) {
    events.push_back(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    signals.push_back(std::make_unique<LAsyncSignal>(&owner, d));
    signals.back()->arm(events.back());
  }
  d->unlockAndWake();

  uint32_t pick = 1;
  uint32_t passesBefore = 0, wakeupsBefore = 0, served = 0;
  bool lost = false;
  ToolStopwatch clock;
  for (int n = 0; !lost && (n < 100 || clock.seconds() < seconds); ++n) {
    if (n == 10) {
      // The first passes only settle the helpers in.
      d->lock();
      passesBefore = d->passCount();
      wakeupsBefore = d->helperWakeups();
      d->unlock();
      served = owner.served.load();
      clock.restart();
    }
    pick = pick * 1103515245u + 12345u;
    const uint32_t before = owner.served.load();
    SetEvent(events[(pick >> 16) % static_cast<uint32_t>(count)]);
    ToolStopwatch wait;
    while (owner.served.load() == before) {
      if (wait.seconds() > kLostAfterSeconds) {
        lost = true;
        break;
      }
      SwitchToThread();
    }
  }
  d->lock();
  const uint32_t passes = d->passCount() - passesBefore;
  const uint32_t wakeups = d->helperWakeups() - wakeupsBefore;
  const uint32_t helpers = d->waitGroupCount();
  d->unlock();
  served = owner.served.load() - served;
  signals.clear();
  for (HANDLE h : events) CloseHandle(h);
  if (lost) {
    console.print("waits    %d interfaces: a signalled handle was not served (figure stopped)\n", interfaces);
    return;
  }
  console.print("waits    %2d interfaces (%3d signals armed, %u helper threads), one signal served and re-armed per pass: "
                "%5.2f helper wake-ups per signal served  (%u served in %u passes)\n",
                interfaces, count, helpers, served > 0 ? static_cast<double>(wakeups) / served : 0.0, served, passes);
}
