// Lists from several host threads while write-done callbacks arrive on the main thread.
// A lock-order fault deadlocks here; the watchdog then ends the process with a failure
// instead of letting the run hang.
#include <atomic>
#include <cstdio>
#include <thread>

#include "support/Windows.h"
#include "tests/common/TestWaits.h"
#include "tests/max/PrismluxFixture.h"

namespace {

using testwaits::Watchdog;

using LockOrder = PrismluxTest;

TEST_F(LockOrder, ListsFromHostThreadsNeverDeadlockWithWriteCallbacksOrTearFrames) {
  Watchdog watchdog(60000, "lists and write callbacks (a lock-order deadlock)");
  t_prismlux* x = make("prismlux 255");
  ASSERT_NE(x, nullptr);
  ASSERT_NE(x->device, nullptr);

  // Thread j sends a list of length 100 + 137 j whose every element is byte 10 (j + 1):
  // a frame mixing two lists differs from all of them in a byte or in its length.
  constexpr int kSenders = 3;
  auto lengthOf = [](int j) { return static_cast<size_t>(100 + 137 * j); };
  auto valueOf = [](int j) { return static_cast<uint8_t>(10 * (j + 1)); };

  std::atomic<bool> stop{false};
  std::atomic<long> sent{0};
  std::vector<std::thread> senders;
  for (int j = 0; j < kSenders; ++j) {
    senders.emplace_back([&, j] {
      const std::vector<double> list(lengthOf(j), valueOf(j));
      while (!stop.load()) {
        maxhost::sendFloats(x, list);
        sent.fetch_add(1);
      }
    });
  }

  // Runs until the device has taken 200 frames (one per 10 ms tick) while the senders
  // kept it busy with more than 1000 lists, however long a busy machine takes for that.
  std::vector<std::vector<uint8_t>> frames;
  const bool enough = maxhost::pumpUntil(
      [&] {
        for (auto& f : dmxdouble::takeFrames(x->device)) frames.push_back(std::move(f));
        return frames.size() >= 200 && sent.load() > 1000;
      },
      40000);
  stop.store(true);
  for (std::thread& t : senders) t.join();
  maxhost::pumpMessages(30);
  for (auto& f : dmxdouble::takeFrames(x->device)) frames.push_back(std::move(f));

  EXPECT_TRUE(enough) << frames.size() << " frames from " << sent.load() << " lists";
  size_t torn = 0;
  for (const std::vector<uint8_t>& frame : frames) {
    bool matches = false;
    for (int j = 0; j < kSenders && !matches; ++j)
      matches = frame == std::vector<uint8_t>(lengthOf(j), valueOf(j));
    if (!matches) ++torn;
  }
  EXPECT_EQ(torn, 0u) << "of " << frames.size() << " frames";
  EXPECT_EQ(dmxdouble::writesRefused(x->device), 0);
}

}  // namespace
