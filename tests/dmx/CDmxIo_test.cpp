// CDmxIo with its real link over the simulated interface: one request per direction,
// callbacks on the environment's window thread, and the close the link asks for.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <vector>

#include "dmx/CDmxIo.h"
#include "dmx/CDmxUsbLink.h"
#include "dmx/CWinUsbDevice.h"
#include "framework/NoteNames.h"
#include "tests/dmx/LinkTestSupport.h"

using linktest::Bytes;
using linktest::makeFrame;
using linktest::deliverEarlierNotes;
using linktest::pumpUntil;
using linktest::Watchdog;

namespace {

// What the callbacks saw; they run on the window's thread, so plain fields will do.
struct Callbacks {
  int writes = 0;
  std::vector<int32_t> reads;
  std::vector<DWORD> threads;
  std::function<void()> onWrite;
  std::function<void()> onRead;

  static void writeDone(void* user) {
    auto* self = static_cast<Callbacks*>(user);
    ++self->writes;
    self->threads.push_back(GetCurrentThreadId());
    if (self->onWrite) self->onWrite();
  }
  static void readDone(void* user, int32_t count) {
    auto* self = static_cast<Callbacks*>(user);
    self->reads.push_back(count);
    self->threads.push_back(GetCurrentThreadId());
    if (self->onRead) self->onRead();
  }
};

class DmxIoTest : public linktest::SimFixture {
 protected:
  static void SetUpTestSuite() { setUpSuite("USB\\VID_1234&PID_5678\\7301"); }

  void SetUp() override {
    SimFixture::SetUp();
    io_.reset(new CDmxIo(env()));
  }
  void TearDown() override { destroyIo(); }

  void destroyIo() {
    Watchdog watchdog(10000, "CDmxIo destruction");
    io_.reset();
  }
  void open() {
    ASSERT_EQ(io_->link()->open(path()), CDmxLink::kOpened);
    ASSERT_EQ(sim_.waitOutstandingReads(path(), 16, 5000), 1);
  }
  int32_t write(const Bytes& frame) {
    return dmxWrite(io_.get(), frame.data(), int32_t(frame.size()), Callbacks::writeDone, &calls_);
  }
  void read(uint8_t* target, int32_t capacity) {
    EXPECT_EQ(dmxRead(io_.get(), target, capacity, Callbacks::readDone, &calls_), 0);
  }

  Callbacks calls_;
  std::unique_ptr<CDmxIo> io_;
};

TEST_F(DmxIoTest, OneWriteAtATimeUntilItsCallbackHasRun) {
  open();
  EXPECT_EQ(write(makeFrame(10, 0)), 1);
  EXPECT_EQ(write(makeFrame(11, 0)), 0);
  EXPECT_TRUE(io_->isWritePending());
  ASSERT_TRUE(pumpUntil([&] { return calls_.writes == 1; }));
  EXPECT_FALSE(io_->isWritePending());
  EXPECT_EQ(calls_.threads[0], GetCurrentThreadId());  // the window's thread
  EXPECT_EQ(write(makeFrame(12, 0)), 1);
  ASSERT_TRUE(pumpUntil([&] { return calls_.writes == 2; }));
  ASSERT_EQ(sim_.waitOutFrames(path(), 2, 5000), 1);
  EXPECT_EQ(outFrames(), (std::vector<Bytes>{makeFrame(10, 0), makeFrame(12, 0)}));
}

TEST_F(DmxIoTest, EachWriteSetsTheFrameLengthAnew) {
  open();
  const Bytes big = makeFrame(513, 0x00, 4);
  ASSERT_EQ(write(big), 1);
  ASSERT_TRUE(pumpUntil([&] { return calls_.writes == 1; }));
  ASSERT_EQ(write({0x55, 0xAA, 0xBB}), 1);
  ASSERT_TRUE(pumpUntil([&] { return calls_.writes == 2; }));
  // A count of 0 is one byte; byte 0 keeps what the request last held (not a fresh 0).
  ASSERT_EQ(dmxWrite(io_.get(), nullptr, 0, Callbacks::writeDone, &calls_), 1);
  ASSERT_TRUE(pumpUntil([&] { return calls_.writes == 3; }));
  // More than 513 bytes: the first 513 go out.
  Bytes tooLong = makeFrame(600, 0x00, 5);
  ASSERT_EQ(write(tooLong), 1);
  ASSERT_TRUE(pumpUntil([&] { return calls_.writes == 4; }));
  ASSERT_EQ(sim_.waitOutFrames(path(), 4, 5000), 1);
  const std::vector<Bytes> frames = outFrames();
  EXPECT_EQ(frames[0], big);
  EXPECT_EQ(frames[1], (Bytes{0x55, 0xAA, 0xBB}));
  EXPECT_EQ(frames[2], (Bytes{0x55}));
  EXPECT_EQ(frames[3], Bytes(tooLong.begin(), tooLong.begin() + 513));
}

TEST_F(DmxIoTest, ReadCopiesAtMostTheCapacity) {
  open();
  uint8_t target[513] = {};
  read(target, 513);
  read(target, 513);  // a read is pending: ignored, no second callback
  const Bytes ten = makeFrame(10, 0x00, 1);
  const Bytes full = makeFrame(513, 0x00, 2);  // ends the 10-byte frame, then ends at once
  injectFrame(ten);
  injectFrame(full);
  ASSERT_TRUE(pumpUntil([&] { return calls_.reads.size() == 1; }));
  EXPECT_EQ(calls_.reads[0], 10);
  EXPECT_EQ(Bytes(target, target + 10), ten);
  EXPECT_EQ(target[10], 0);
  EXPECT_EQ(calls_.threads[0], GetCurrentThreadId());

  uint8_t small[4] = {};
  read(small, 4);
  ASSERT_TRUE(pumpUntil([&] { return calls_.reads.size() == 2; }));
  EXPECT_EQ(calls_.reads[1], 4);
  EXPECT_EQ(Bytes(small, small + 4), Bytes(full.begin(), full.begin() + 4));
}

TEST_F(DmxIoTest, CallbacksMayMakeTheNextRequestAtOnce) {
  open();
  uint8_t target[513] = {};
  int writesAccepted = 0;
  calls_.onWrite = [&] {
    if (calls_.writes < 5) writesAccepted += write(makeFrame(size_t(calls_.writes + 1), 0));
  };
  // Each frame is sent once the read for it is with the link.
  calls_.onRead = [&] {
    if (calls_.reads.size() < 3) {
      read(target, 513);
      injectFrame(makeFrame(513, 0x00, uint8_t(calls_.reads.size())));
    }
  };
  ASSERT_EQ(write(makeFrame(1, 0)), 1);
  read(target, 513);
  injectFrame(makeFrame(513, 0x00, 9));
  ASSERT_TRUE(pumpUntil([&] { return calls_.writes == 5 && calls_.reads.size() == 3; }));
  EXPECT_EQ(writesAccepted, 4);
  EXPECT_EQ(sim_.waitOutFrames(path(), 5, 5000), 1);
}

TEST_F(DmxIoTest, ALinkThatNeverOpenedRefusesBoth) {
  uint8_t target[16] = {};
  EXPECT_EQ(write(makeFrame(3, 0)), 0);
  read(target, 16);
  EXPECT_FALSE(io_->isReadPending());
  EXPECT_FALSE(io_->isWritePending());
  deliverEarlierNotes(env());
  EXPECT_EQ(calls_.writes, 0);
  EXPECT_TRUE(calls_.reads.empty());
  EXPECT_EQ(dmxWrite(nullptr, target, 3, Callbacks::writeDone, &calls_), 0);
  EXPECT_EQ(dmxRead(nullptr, target, 3, Callbacks::readDone, &calls_), 0);
}

// Answers every note and records it; stands for a handler that is not the link.
class Stranger : public LHandler {
 public:
  Stranger() : LHandler(nullptr) {}
  LNote handleNote(const LNote& note) override {
    if (noteNameEqual(note.name, CDmxIo_Close)) ++returned;
    return LNote();
  }
  int returned = 0;
};

TEST_F(DmxIoTest, CloseNotesFromOthersArePassedOn) {
  open();
  Stranger stranger;
  deliver(LNote(CDmxIo_Close, &stranger, io_.get()));
  EXPECT_TRUE(io_->link()->isOpen());
  EXPECT_EQ(stranger.returned, 1);  // no owner: back to its sender
}

TEST_F(DmxIoTest, AFailedTransferClosesTheLinkAndLaterRequestsAreRefused) {
  open();
  uint8_t target[513] = {};
  read(target, 513);
  sim_.failNext(path(), SIM_OP_WRITE, SIM_FAIL_STATUS, SIM_STATUS_UNSUCCESSFUL);
  ASSERT_EQ(write(makeFrame(8, 0)), 1);
  ASSERT_TRUE(pumpUntil([&] { return !io_->link()->isOpen(); }));
  ASSERT_TRUE(pumpUntil([&] { return calls_.writes == 1; }));  // the write itself ended

  EXPECT_EQ(write(makeFrame(8, 0)), 0);
  EXPECT_TRUE(io_->isReadPending());  // its request stays with the closed link
  read(target, 513);
  injectFrame(makeFrame(513, 0));
  deliverEarlierNotes(env());
  EXPECT_EQ(calls_.writes, 1);
  EXPECT_TRUE(calls_.reads.empty());
}

// The write-done note of a frame is already on its way when that frame's transfer fails;
// the callback's next frame must not go to the failing pipe.
TEST_F(DmxIoTest, NothingIsSentAfterAFailureEvenWhenAWriteDoneNoteWasQueuedFirst) {
  open();
  auto* device = static_cast<CWinUsbDevice*>(io_->link()->usbDevice());
  // The frame's transfer stays outstanding until the interface is pulled.
  sim_.setCompletion(path(), SIM_COMPLETE_LATER, 60000);
  const uint32_t writesBefore = sim_.calls(SIM_EP_WRITE_PIPE);
  ASSERT_EQ(write(makeFrame(8, 0)), 1);  // its write-done note is queued now
  ASSERT_EQ(sim_.unplug(path(), SIM_STATUS_UNSUCCESSFUL), 1);
  // Without pumping (the note must stay queued): the environment thread hands the failed
  // transfers back.
  bool handedBack = false;
  for (DWORD start = GetTickCount(); !handedBack && GetTickCount() - start < 5000; Sleep(1)) {
    env()->lock();
    handedBack = device->outstandingTransfers() == 0;
    env()->unlock();
  }
  ASSERT_TRUE(handedBack);
  int nextAccepted = -1;
  calls_.onWrite = [&] {
    if (nextAccepted < 0) nextAccepted = write(makeFrame(8, 0x11));
  };
  ASSERT_TRUE(pumpUntil([&] { return !io_->link()->isOpen(); }));
  EXPECT_EQ(nextAccepted, 1);  // taken, but never sent
  EXPECT_EQ(sim_.calls(SIM_EP_WRITE_PIPE), writesBefore + 1);
  EXPECT_EQ(counters().outstandingWrites, 0u);
  sim_.replug(path());
}

TEST_F(DmxIoTest, GenFailureOnTheInPipeClosesTheLink) {
  open();
  sim_.failNext(path(), SIM_OP_READ, SIM_FAIL_STATUS, SIM_STATUS_UNSUCCESSFUL);
  ASSERT_TRUE(pumpUntil([&] { return !io_->link()->isOpen(); }));
  EXPECT_EQ(write(makeFrame(2, 0)), 0);
  EXPECT_EQ(counters().outstandingReads, 0u);
}

TEST_F(DmxIoTest, DestructionWithRequestsPendingCallsNothingBack) {
  open();
  sim_.setCompletion(path(), SIM_COMPLETE_LATER, 60000);
  uint8_t target[513] = {};
  read(target, 513);
  ASSERT_EQ(write(makeFrame(4, 0)), 1);
  destroyIo();
  deliverEarlierNotes(env());
  EXPECT_EQ(calls_.writes, 0);
  EXPECT_TRUE(calls_.reads.empty());
  EXPECT_EQ(counters().openHandles, 0u);
}

}  // namespace
