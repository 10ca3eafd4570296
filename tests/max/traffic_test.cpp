// Lists to frames and received frames to lists, through the port double.
#include <cmath>
#include <limits>

#include "max/ListByte.h"
#include "support/Windows.h"
#include "tests/max/PrismluxFixture.h"

namespace {

using Sending = PrismluxTest;
using Receiving = PrismluxTest;
using maxhost::Value;

std::vector<double> repeat(double value, size_t count) { return std::vector<double>(count, value); }

TEST_F(Sending, ScaleOneMapsZeroToOneOntoTheByteRange) {
  // [128 255 255 0 0 26]
  EXPECT_EQ(firstFrame("prismlux", {0.5, 1, 2, -0.3, 0, 0.1}), (std::vector<uint8_t>{128, 255, 255, 0, 0, 26}));
}

TEST_F(Sending, Scale255RoundsHalvesUpAndClamps) {
  // [100 101 255 255 0]
  EXPECT_EQ(firstFrame("prismlux 255", {100.4, 100.5, 254.6, 300, -7}),
            (std::vector<uint8_t>{100, 101, 255, 255, 0}));
}

TEST_F(Sending, NegativeScaleTurnsPositiveValuesIntoZero) {
  // [0 0 128 255]
  EXPECT_EQ(firstFrame("prismlux -1", {0.5, 1, -0.5, -3}), (std::vector<uint8_t>{0, 0, 128, 255}));
}

TEST_F(Sending, IntegerElementsCountAndSymbolsReadAsZero) {
  // [7 0 3]
  EXPECT_EQ(firstFrame("prismlux 255", {Value::integer(7), Value::symbol("x"), Value::real(2.5)}),
            (std::vector<uint8_t>{7, 0, 3}));
}

TEST_F(Sending, ListLongerThanAFrameIsCut) {
  // The host passes the count as a long: counts beyond 16 bits are cut the same way.
  for (const size_t count : {size_t{600}, size_t{40000}, size_t{65537}}) {
    SCOPED_TRACE(count);
    t_prismlux* x = make("prismlux");
    maxhost::sendFloats(x, repeat(1, count));
    EXPECT_EQ(x->sendLength, 513);
    const auto frames = dmxdouble::takeFrames(x->device);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0], std::vector<uint8_t>(513, 255));
    destroy(x);
  }
}

TEST_F(Sending, EmptyListDoesNothing) {
  t_prismlux* x = make("prismlux");
  maxhost::sendFloats(x, {});
  // A count below zero, as a faulty caller might pass, with elements behind it or none.
  ASSERT_TRUE(maxhost::sendFloatsCounted(x, -1, {}));
  ASSERT_TRUE(maxhost::sendFloatsCounted(x, -513, {1, 1}));
  maxhost::pumpMessages(30);
  EXPECT_EQ(x->sendLength, 0);
  EXPECT_TRUE(dmxdouble::takeFrames(x->device).empty());
}

TEST_F(Sending, ShorterListShortensTheFrameAndLeavesTheRestOfTheBuffer) {
  t_prismlux* x = make("prismlux");
  maxhost::sendFloats(x, repeat(1, 10));
  maxhost::sendFloats(x, repeat(0, 3));
  // Frames: [255 x10] once, then [0 0 0] again and again.
  const auto frames = pumpFrames(x->device, 3);
  ASSERT_GE(frames.size(), 3u);
  EXPECT_EQ(frames[0], std::vector<uint8_t>(10, 255));
  for (size_t i = 1; i < frames.size(); ++i) EXPECT_EQ(frames[i], std::vector<uint8_t>(3, 0)) << i;
  EXPECT_EQ(x->sendLength, 3);
  EXPECT_EQ(std::vector<uint8_t>(x->sendBuffer + 3, x->sendBuffer + 10), std::vector<uint8_t>(7, 255));
}

TEST_F(Sending, ListsArrivingDuringAWriteAreSupersededByTheNewest) {
  t_prismlux* x = make("prismlux 255");
  maxhost::sendFloats(x, {1});
  maxhost::sendFloats(x, {2, 2});
  maxhost::sendFloats(x, {3, 3, 3});
  // [1], then only the newest: [3 3 3] [3 3 3] ...
  const auto frames = pumpFrames(x->device, 4);
  ASSERT_GE(frames.size(), 4u);
  EXPECT_EQ(frames[0], std::vector<uint8_t>{1});
  for (size_t i = 1; i < frames.size(); ++i) EXPECT_EQ(frames[i], std::vector<uint8_t>(3, 3)) << i;
}

TEST_F(Sending, RefusedWriteClearsBusySoTheNextListTriesAgain) {
  t_prismlux* x = make("prismlux");
  maxhost::sendFloats(x, {1});
  dmxdouble::fail(x->device);
  // The write already handed on still completes; the rewrite after it is refused.
  ASSERT_TRUE(maxhost::pumpUntil([&] { return dmxdouble::writesRefused(x->device) == 1; }, 2000));
  EXPECT_EQ(x->sendBusy, 0);
  maxhost::sendFloats(x, {0.5});
  EXPECT_EQ(dmxdouble::writesRefused(x->device), 2);
  EXPECT_EQ(x->sendBusy, 0);
  maxhost::pumpMessages(30);
  EXPECT_EQ(dmxdouble::writesRefused(x->device), 2);
  EXPECT_EQ(dmxdouble::takeFrames(x->device).size(), 1u);
}

TEST(ListByte, RoundingOfThisArchitecture) {
  EXPECT_EQ(dmxByteFromListValue(0.5, 255.0f), 128);
  EXPECT_EQ(dmxByteFromListValue(2.5, 1.0f), 3);
  EXPECT_EQ(dmxByteFromListValue(-0.3, 255.0f), 0);
  EXPECT_EQ(dmxByteFromListValue(1e300, 1.0f), 255);  // narrows to infinity
  EXPECT_EQ(dmxByteFromListValue(-1e300, 1.0f), 0);
  const double nan = std::numeric_limits<double>::quiet_NaN();
  // 0.49999997f + 0.5f is 1.0f in float arithmetic, so adding and truncating rounds it up.
  const double justBelowHalf = 0.49999997f;
  if constexpr (variant::kListRoundsByTruncation) {
    EXPECT_EQ(dmxByteFromListValue(nan, 1.0f), 255);
    EXPECT_EQ(dmxByteFromListValue(justBelowHalf, 1.0f), 1);
  } else {
    EXPECT_EQ(dmxByteFromListValue(nan, 1.0f), 0);
    EXPECT_EQ(dmxByteFromListValue(justBelowHalf, 1.0f), 0);
  }
}

std::vector<uint8_t> ramp(size_t count) {
  std::vector<uint8_t> bytes(count);
  for (size_t i = 0; i < count; ++i) bytes[i] = static_cast<uint8_t>(i);
  return bytes;
}

TEST_F(Receiving, FullFrameIsEmittedAsFloatsOnTheMainThread) {
  t_prismlux* x = make("prismlux");
  dmxdouble::receive(x->device, ramp(513));
  const std::vector<maxhost::OutletCall> calls = pumpOutletCalls(1);
  ASSERT_EQ(calls.size(), 1u);
  const maxhost::OutletCall& call = calls[0];
  EXPECT_EQ(call.object, x);
  EXPECT_EQ(call.outlet, x->outlet);
  EXPECT_EQ(call.symbol, "");
  EXPECT_EQ(call.threadId, GetCurrentThreadId());
  ASSERT_EQ(call.values.size(), 513u);
  EXPECT_EQ(call.values[0], 0.0);
  EXPECT_EQ(call.values[255], 1.0);
  EXPECT_EQ(call.values[256], 0.0);
  EXPECT_NEAR(call.values[51], 0.2, 1e-6);
  // The next read is armed at once.
  EXPECT_EQ(dmxdouble::readsAccepted(x->device), 2);
  EXPECT_TRUE(dmxdouble::readPending(x->device));
}

TEST_F(Receiving, ScaleMultipliesAndShortFramesKeepTheirLength) {
  t_prismlux* x = make("prismlux 10");
  dmxdouble::receive(x->device, {255, 51, 0});
  const std::vector<maxhost::OutletCall> calls = pumpOutletCalls(1);
  ASSERT_EQ(calls.size(), 1u);
  ASSERT_EQ(calls[0].values.size(), 3u);
  EXPECT_NEAR(calls[0].values[0], 10.0, 1e-5);
  EXPECT_NEAR(calls[0].values[1], 2.0, 1e-5);
  EXPECT_EQ(calls[0].values[2], 0.0);
}

TEST_F(Receiving, EmptyReadEmitsNothingButArmsTheNextRead) {
  t_prismlux* x = make("prismlux");
  dmxdouble::receive(x->device, {});
  ASSERT_TRUE(maxhost::pumpUntil([&] { return dmxdouble::readsAccepted(x->device) == 2; }, 2000));
  EXPECT_TRUE(dmxdouble::readPending(x->device));
  EXPECT_TRUE(maxhost::takeOutletCalls().empty());
}

}  // namespace
