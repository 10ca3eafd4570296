// CDmxUsbLink over the real CWinUsbDevice and the simulated interface, with a real
// environment. What went out is judged by the simulator's own decoder and records; what
// came in is injected through the simulator's own encoder (or as raw packets).
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <random>
#include <vector>

#include "dmx/CDmxUsbLink.h"
#include "framework/NoteNames.h"
#include "support/Variant.h"
#include "tests/dmx/LinkTestSupport.h"

using linktest::Bytes;
using linktest::deliverEarlierNotes;
using linktest::makeFrame;
using linktest::pumpUntil;
using linktest::waitUntil;
using linktest::Watchdog;

namespace {

constexpr uint8_t kDataIn = 0x81;   // the simulator's first IN pipe of type 3
constexpr uint8_t kDataOut = 0x02;  // its first OUT pipe of type 3

// Plays the link's owner: answers "CDmxIo_Close" from its link by closing it, and counts.
class LinkOwner : public LHandler {
 public:
  LinkOwner() : LHandler(nullptr) {}
  LNote handleNote(const LNote& note) override {
    if (note.sender == link && noteNameEqual(note.name, CDmxIo_Close)) {
      ++closeNotes;
      link->close();
      return LNote();
    }
    return LHandler::handleNote(note);
  }
  CDmxLink* link = nullptr;
  int closeNotes = 0;
};

// The link under test. It records the length of every frame its decoder completes as the
// decoder counted it (a request clamps whatever it is given to 1..513 by itself), and how
// deeply the issuing of reads ever nested within itself.
class ProbeLink : public CDmxUsbLink {
 public:
  using CDmxUsbLink::CDmxUsbLink;
  // Lock held.
  const std::vector<uint32_t>& decodedLengths() const { return decodedLengths_; }
  uint32_t deepestReadIssue() const { return deepestReadIssue_; }
  // Lock held: starts every busy slot again (a read, and the write and the control transfer
  // when they are in flight) with the link's own completions. The device refuses each and
  // calls back at once with a stand-in; returns how many were started.
  int restartBusySlots() {
    static uint8_t scratch[kPacketSize];
    usbDevice()->read(readSlot(0), inEndpoint(), scratch, kPacketSize, this, readTransferDone);
    int started = 1;
    if (writeBusy) {
      usbDevice()->write(writeSlot(), outEndpoint(), scratch, 3, this, writeTransferDone);
      ++started;
    }
    if (isControlBusy()) {
      const UsbSetupPacket setup = {0x42, 3, 0, outEndpoint(), 4};
      usbDevice()->control(controlSlot(), setup, scratch, 4, this, controlTransferDone);
      ++started;
    }
    return started;
  }

 protected:
  // Every completed frame passes here before the next one can complete: completing a frame
  // delivers, and delivering while open issues the reads.
  void issueReads() override {
    for (; seen_ != rxCompleted; ++seen_) decodedLengths_.push_back(rxLength[seen_ % kFrameSlots]);
    if (++readIssueDepth_ > deepestReadIssue_) deepestReadIssue_ = readIssueDepth_;
    CDmxUsbLink::issueReads();
    --readIssueDepth_;
  }

 private:
  uint8_t seen_ = 0;
  std::vector<uint32_t> decodedLengths_;
  uint32_t readIssueDepth_ = 0;
  uint32_t deepestReadIssue_ = 0;
};

// A frame request that counts its completions (they run on any thread, under the lock).
struct Slot {
  CDmxRequest request{&Slot::done, this};
  std::atomic<int> completions{0};
  static void done(void* user, CDmxRequest*) { static_cast<Slot*>(user)->completions++; }
  bool completed() const { return completions.load() > 0; }
  Bytes frame() const { return Bytes(request.data, request.data + request.length()); }
};

// Records parameter callbacks in order.
struct ParamLog {
  struct Entry {
    CDmxParamRequest* request;
    uint32_t result;
  };
  static void done(void* user, CDmxParamRequest* request, uint32_t result) {
    static_cast<ParamLog*>(user)->entries.push_back({request, result});
  }
  std::vector<Entry> entries;
};

class UsbLinkTest : public linktest::SimFixture {
 protected:
  static void SetUpTestSuite() { setUpSuite("USB\\VID_1234&PID_5678\\7201"); }

  void SetUp() override {
    SimFixture::SetUp();
    link_.reset(new ProbeLink(&owner_, env()));
    owner_.link = link_.get();
  }
  void TearDown() override { destroyLink(); }

  void destroyLink() {
    Watchdog watchdog(10000, "link destruction");
    link_.reset();
  }
  void decodeRandomStream();
  void open() {
    ASSERT_EQ(link_->open(path()), CDmxLink::kOpened);
    ASSERT_EQ(sim_.waitOutstandingReads(path(), 16, 5000), 1);
  }

  Slot* newSlot() {
    slots_.push_back(std::make_unique<Slot>());
    return slots_.back().get();
  }
  Slot* read() {
    Slot* slot = newSlot();
    env()->lock();
    link_->submitRead(&slot->request);
    env()->unlockAndWake();
    return slot;
  }
  Slot* write(const Bytes& frame) {
    Slot* slot = newSlot();
    slot->request.setLength(uint32_t(frame.size()));
    std::copy(frame.begin(), frame.end(), slot->request.data);
    env()->lock();
    link_->submitWrite(&slot->request);
    env()->unlockAndWake();
    return slot;
  }
  // Sends one frame and receives one over the open link; the frame went out on `outPipe`.
  void exchangeFrames(uint8_t outPipe) {
    const Bytes sent = makeFrame(20, 0x00);
    Slot* w = write(sent);
    Slot* r = read();
    const Bytes received = makeFrame(513, 0x00, 5);
    injectFrame(received);
    ASSERT_TRUE(pumpUntil([&] { return w->completed() && r->completed(); }));
    ASSERT_EQ(sim_.waitOutFrames(path(), 1, 5000), 1);
    EXPECT_EQ(outFrames(), (std::vector<Bytes>{sent}));
    uint8_t pipe = 0;
    Bytes bytes(64);
    EXPECT_GT(sim_.outTransfer(path(), 0, bytes.data(), int(bytes.size()), &pipe), 0);
    EXPECT_EQ(pipe, outPipe);
    EXPECT_EQ(r->frame(), received);
  }
  // Reads link state under the environment lock.
  template <typename Read>
  auto locked(Read read) {
    env()->lock();
    auto value = read();
    env()->unlock();
    return value;
  }
  uint32_t framesWaiting() { return locked([&] { return link_->framesWaiting(); }); }
  // True once the simulator has handed every injected packet to a read and completed it,
  // and the link has decoded all of them and issued its sixteen reads again. A read that
  // took a packet counts as outstanding until the simulator's thread completes it.
  bool inputDecoded() {
    const SimCounters c = counters();
    if (c.inPacketsWaiting != 0 || c.readsCompleting != 0 || c.outstandingReads != 16) return false;
    return locked([&] {
      return link_->readsOutstanding() == 16 && link_->packetsDecoded() == c.readsCompleted;
    });
  }
  void waitInputDecoded() { ASSERT_TRUE(pumpUntil([&] { return inputDecoded(); })); }
  std::vector<uint32_t> decodedLengths() { return locked([&] { return link_->decodedLengths(); }); }
  uint32_t readsOutstanding() { return locked([&] { return link_->readsOutstanding(); }); }
  void closeLink() {
    Watchdog watchdog(10000, "close");
    link_->close();
  }
  // Fails the oldest outstanding read and waits, delivering no note, until the link has
  // taken it back: the failure is reported, its note not yet delivered.
  void failAReadKeepingItsNote() {
    ASSERT_EQ(readsOutstanding(), 16u);
    ASSERT_EQ(sim_.failNext(path(), SIM_OP_READ, SIM_FAIL_STATUS, SIM_STATUS_UNSUCCESSFUL), 1);
    ASSERT_TRUE(waitUntil([&] { return readsOutstanding() == 15; }));
  }

  // Slots must outlive the link, which completes the reads it holds when it dies.
  std::vector<std::unique_ptr<Slot>> slots_;
  LinkOwner owner_;
  std::unique_ptr<ProbeLink> link_;
};

// ---- sending ---------------------------------------------------------------------------

TEST_F(UsbLinkTest, FramesGoOutOneTransferEachInPacketsOfFlaggedGroups) {
  open();
  const Bytes f1 = makeFrame(1, 0xA5);
  const Bytes f56 = makeFrame(56, 0x00);
  const Bytes f57 = makeFrame(57, 0x17);
  const Bytes f513 = makeFrame(513, 0x00, 9);
  // Queued in one go: one goes out, the others wait for its transfer to end.
  Slot* w[] = {write(f1), write(f56), write(f57), write(f513)};
  ASSERT_EQ(sim_.waitOutFrames(path(), 4, 5000), 1);
  ASSERT_TRUE(pumpUntil([&] { return w[3]->completed(); }));
  for (Slot* slot : w) EXPECT_EQ(slot->completions.load(), 1);

  EXPECT_EQ(outFrames(), (std::vector<Bytes>{f1, f56, f57, f513}));
  EXPECT_EQ(counters().malformedWrites, 0u);

  // [00 01 A5]
  EXPECT_EQ(outTransfer(0), (Bytes{0x00, 0x01, 0xA5}));
  // [00 | 01 b0..b7 | 00 b8..b15 | ... 7 groups] = exactly one packet
  const Bytes t56 = outTransfer(1);
  ASSERT_EQ(t56.size(), 64u);
  EXPECT_EQ(t56[0], 0x00);
  EXPECT_EQ(t56[1], 0x01);
  for (int g = 1; g < 7; ++g) EXPECT_EQ(t56[1 + 9 * g], 0x00) << "group " << g;
  EXPECT_EQ(t56[63], f56[55]);
  // [full packet][00 00 b56]
  const Bytes t57 = outTransfer(2);
  ASSERT_EQ(t57.size(), 67u);
  EXPECT_EQ(Bytes(t57.begin() + 64, t57.end()), (Bytes{0x00, 0x00, f57[56]}));
  // nine full packets, then [00 | 00 b504..b511 | 00 b512]
  const Bytes t513 = outTransfer(3);
  ASSERT_EQ(t513.size(), 588u);
  for (int p = 0; p < 10; ++p) EXPECT_EQ(t513[64 * p], 0x00) << "packet " << p;
  EXPECT_EQ(t513[577], 0x00);
  EXPECT_EQ(t513[578], f513[504]);
  EXPECT_EQ(t513[586], 0x00);
  EXPECT_EQ(t513[587], f513[512]);
}

TEST_F(UsbLinkTest, OpenOnAnOpenLinkSendsNothing) {
  sim_.setRelease(path(), 0x0207);
  open();
  EXPECT_TRUE(link_->isOpen());
  EXPECT_EQ(link_->deviceRelease(), 0x0207u);
  EXPECT_EQ(link_->inEndpoint(), kDataIn);
  EXPECT_EQ(link_->outEndpoint(), kDataOut);
  EXPECT_EQ(counters().lastReadLength, 64u);

  const uint32_t initializeCalls = sim_.calls(SIM_EP_INITIALIZE);
  const uint32_t readCalls = sim_.calls(SIM_EP_READ_PIPE);
  EXPECT_EQ(link_->open(path()), CDmxLink::kOpened);
  EXPECT_EQ(link_->open("\\\\?\\no#such#device"), CDmxLink::kOpened);
  deliverEarlierNotes(env());
  EXPECT_EQ(sim_.calls(SIM_EP_INITIALIZE), initializeCalls);
  EXPECT_EQ(sim_.calls(SIM_EP_READ_PIPE), readCalls);
  EXPECT_EQ(sim_.outTransferCount(path()), 0);
  EXPECT_EQ(sim_.controlCount(path()), 0);
}

// Data pipes: per direction the first pipe of type 3, else the first bulk pipe (type 2).

TEST_F(UsbLinkTest, BulkPipesCarryTheDataWhenThereIsNoType3Pipe) {
  // [bulk IN 0x82, bulk OUT 0x01]
  const SimPipe bulkOnly[] = {{2, 0x82, 64, 0}, {2, 0x01, 64, 0}};
  ASSERT_EQ(sim_.setPipes(path(), bulkOnly, 2), 1);
  open();
  EXPECT_EQ(link_->inEndpoint(), 0x82);
  EXPECT_EQ(link_->outEndpoint(), 0x01);
  exchangeFrames(0x01);
}

TEST_F(UsbLinkTest, AType3PipeWinsOverABulkPipeOfItsDirectionOnly) {
  // [bulk IN 0x82, type-3 IN 0x83, bulk OUT 0x01]: IN 0x83, OUT 0x01
  const SimPipe mixed[] = {{2, 0x82, 64, 0}, {3, 0x83, 64, 0}, {2, 0x01, 64, 0}};
  ASSERT_EQ(sim_.setPipes(path(), mixed, 3), 1);
  open();
  EXPECT_EQ(link_->inEndpoint(), 0x83);
  EXPECT_EQ(link_->outEndpoint(), 0x01);
  exchangeFrames(0x01);

  // The vendor get request names the data IN endpoint.
  ParamLog log;
  CDmxParamRequest request;
  link_->requestParameters(&request, &log, &ParamLog::done);
  ASSERT_TRUE(pumpUntil([&] { return log.entries.size() == 1; }));
  EXPECT_EQ(log.entries[0].result, CDmxParamRequest::kDone);
  SimSetup setup{};
  ASSERT_EQ(sim_.control(path(), 0, &setup, nullptr, 0), 0);
  EXPECT_EQ(setup.index, 0x83);
}

TEST_F(UsbLinkTest, OpenFailuresLeaveTheLinkClosed) {
  EXPECT_EQ(link_->open("\\\\?\\usb#vid_1234&pid_5678#7299#{c7c60c86-7f33-443b-9908-2e0cc526c6f5}"),
            CDmxLink::kOpenFailed);
  // No data OUT pipe (an isochronous one is none): the device is closed again.
  const SimPipe noDataOut[] = {{3, 0x81, 64, 0}, {1, 0x01, 64, 0}};
  sim_.setPipes(path(), noDataOut, 2);
  EXPECT_EQ(link_->open(path()), CDmxLink::kOpenFailed);
  EXPECT_FALSE(link_->isOpen());
  EXPECT_EQ(counters().openHandles, 0u);
  EXPECT_EQ(sim_.calls(SIM_EP_READ_PIPE), 0u);
}

TEST_F(UsbLinkTest, ClosedLinkCompletesWritesAtOnceAndKeepsReadsForTheNextOpen) {
  Slot* w = write(makeFrame(3, 0));
  EXPECT_EQ(w->completions.load(), 1);  // inside submitWrite
  Slot* r = read();
  EXPECT_FALSE(r->completed());

  open();
  const Bytes frame = makeFrame(513, 0x00, 3);
  injectFrame(frame);
  ASSERT_TRUE(pumpUntil([&] { return r->completed(); }));
  EXPECT_EQ(r->frame(), frame);
  EXPECT_EQ(sim_.outTransferCount(path()), 0);
}

TEST_F(UsbLinkTest, CloseDropsQueuedWritesAndUndeliveredFrames) {
  open();
  injectFrame(makeFrame(513, 0x00));
  ASSERT_TRUE(pumpUntil([&] { return framesWaiting() == 1; }));
  sim_.setCompletion(path(), SIM_COMPLETE_LATER, 60000);  // the first write stays in flight
  Slot* first = write(makeFrame(5, 0));
  Slot* second = write(makeFrame(6, 0));
  EXPECT_EQ(first->completions.load(), 1);  // handed to the transfer
  EXPECT_EQ(second->completions.load(), 0);

  {
    Watchdog watchdog(5000, "close");
    link_->close();
  }
  EXPECT_EQ(second->completions.load(), 1);
  EXPECT_EQ(sim_.outTransferCount(path()), 1);
  EXPECT_EQ(counters().outstandingReads, 0u);

  sim_.setCompletion(path(), SIM_COMPLETE_LATER, 0);
  open();
  EXPECT_EQ(framesWaiting(), 0u);
}

// ---- decoding ----------------------------------------------------------------------------

TEST_F(UsbLinkTest, BytesBeforeTheFirstStartMarkerAreIgnored) {
  open();
  Slot* r = read();
  // [00 | 00 d d d d d d d d | 10 d d d d S a b c]: the frame starts at bit 4 of group 2
  injectPacket({0x00, 0x00, 9, 9, 9, 9, 9, 9, 9, 9, 0x10, 8, 8, 8, 8, 0x44, 0xA, 0xB, 0xC});
  injectFrame({0x55});  // ends it
  ASSERT_TRUE(pumpUntil([&] { return r->completed(); }));
  EXPECT_EQ(r->frame(), (Bytes{0x44, 0xA, 0xB, 0xC}));
}

TEST_F(UsbLinkTest, FramesBeginMidGroupAndSpanShortPackets) {
  open();
  Slot* r[] = {read(), read(), read()};
  // [00 | 21 A1 A2 A3 A4 A5 B1 B2 B3]  frame A ends where bit 5 marks B's start code
  injectPacket({0x00, 0x21, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xB1, 0xB2, 0xB3});
  // [00 | 00 B4]  a short packet continues B (a packet's groups start afresh)
  injectPacket({0x00, 0x00, 0xB4});
  // [00 | 02 B5 C1]  C starts at bit 1
  injectPacket({0x00, 0x02, 0xB5, 0xC1});
  injectPacket({0x00, 0x01, 0xD1});
  ASSERT_TRUE(pumpUntil([&] { return r[2]->completed(); }));
  EXPECT_EQ(r[0]->frame(), (Bytes{0xA1, 0xA2, 0xA3, 0xA4, 0xA5}));
  EXPECT_EQ(r[1]->frame(), (Bytes{0xB1, 0xB2, 0xB3, 0xB4, 0xB5}));
  EXPECT_EQ(r[2]->frame(), (Bytes{0xC1}));
}

TEST_F(UsbLinkTest, OnlyAFullFrameWithNullStartCodeEndsWithoutTheNextMarker) {
  open();
  const Bytes nullFull = makeFrame(513, 0x00, 1);
  const Bytes otherFull = makeFrame(513, 0xCC, 2);
  const Bytes shorter = makeFrame(100, 0x00, 3);

  Slot* r1 = read();
  injectFrame(nullFull);
  ASSERT_TRUE(pumpUntil([&] { return r1->completed(); }));
  EXPECT_EQ(r1->frame(), nullFull);

  Slot* r2 = read();
  injectFrame(otherFull);
  waitInputDecoded();
  EXPECT_FALSE(r2->completed());
  injectFrame(shorter);
  ASSERT_TRUE(pumpUntil([&] { return r2->completed(); }));
  EXPECT_EQ(r2->frame(), otherFull);

  Slot* r3 = read();
  waitInputDecoded();
  EXPECT_FALSE(r3->completed());
  injectFrame({0x00});
  ASSERT_TRUE(pumpUntil([&] { return r3->completed(); }));
  EXPECT_EQ(r3->frame(), shorter);
}

TEST_F(UsbLinkTest, OverlongFramesAreCutAt513Bytes) {
  open();
  Slot* r[] = {read(), read(), read()};
  Bytes longNull = makeFrame(600, 0x00, 4);
  Bytes longOther = makeFrame(600, 0x33, 5);
  injectFrame(longNull);   // ends at byte 513; the rest has no marker and is dropped
  injectFrame(longOther);  // ends at the next marker, keeping 513 bytes
  injectFrame({0x77, 1});
  injectFrame({0x00});
  ASSERT_TRUE(pumpUntil([&] { return r[2]->completed(); }));
  EXPECT_EQ(r[0]->frame(), Bytes(longNull.begin(), longNull.begin() + 513));
  EXPECT_EQ(r[1]->frame(), Bytes(longOther.begin(), longOther.begin() + 513));
  EXPECT_EQ(r[2]->frame(), (Bytes{0x77, 1}));
  // The decoder itself stopped at 513, not only the requests it filled.
  EXPECT_EQ(decodedLengths(), (std::vector<uint32_t>{513, 513, 2}));
}

// ---- delivery ---------------------------------------------------------------------------

TEST_F(UsbLinkTest, WithoutReadersOnlyTheNewestFrameWaits) {
  open();
  const Bytes f[] = {makeFrame(513, 0, 1), makeFrame(513, 0, 2), makeFrame(513, 0, 3)};
  for (const Bytes& frame : f) injectFrame(frame);
  waitInputDecoded();
  EXPECT_EQ(framesWaiting(), 1u);
  Slot* r = read();
  EXPECT_TRUE(r->completed());  // at once, inside submitRead
  EXPECT_EQ(r->frame(), f[2]);
  EXPECT_EQ(framesWaiting(), 0u);
}

TEST_F(UsbLinkTest, ReadersQueuedFirstGetFramesInOrder) {
  open();
  Slot* r1 = read();
  Slot* r2 = read();
  const Bytes f[] = {makeFrame(513, 0, 1), makeFrame(513, 0, 2), makeFrame(513, 0, 3)};
  for (const Bytes& frame : f) injectFrame(frame);
  waitInputDecoded();
  EXPECT_EQ(r1->frame(), f[0]);
  EXPECT_EQ(r2->frame(), f[1]);
  EXPECT_EQ(framesWaiting(), 1u);
}

// The 64-bit decoder keeps two frame buffers, the 32-bit one a single buffer that the frame
// being collected shares with the frame waiting for a reader.
TEST_F(UsbLinkTest, AWaitingFrameSurvivesTheNextFrameOnlyWithTwoBuffers) {
  open();
  const Bytes a = makeFrame(513, 0, 1);
  const Bytes b = makeFrame(513, 0, 2);
  const Bytes c = makeFrame(40, 0x11, 3);

  // A complete frame waits as long as nothing follows it, in both builds.
  injectFrame(a);
  waitInputDecoded();
  Slot* r1 = read();
  EXPECT_EQ(r1->frame(), a);

  // B complete; C's first bytes are stored, C not complete.
  injectFrame(b);
  injectFrame(c);
  waitInputDecoded();
  Slot* r2 = read();
  if constexpr (variant::kReceiveFrameSlots == 2) {
    EXPECT_TRUE(r2->completed());
    EXPECT_EQ(r2->frame(), b);
  } else {
    // B shared its buffer with C and went when C's start code was stored: the reader
    // waits for C.
    EXPECT_FALSE(r2->completed());
    injectFrame({0x00});
    ASSERT_TRUE(pumpUntil([&] { return r2->completed(); }));
    EXPECT_EQ(r2->frame(), c);
  }
}

// Random frames packed by the simulator (densely, with random packet ends) come out
// frame for frame while readers wait: with the read counters from 0, and from just below
// their wrap, which the stream crosses (as a show does every few minutes). The frame
// counters wrap after 256 frames in either run.
TEST_F(UsbLinkTest, RandomStreamsDecodeFrameForFrame) {
  for (const uint16_t start : {uint16_t(0), uint16_t(0xFFFF - 40)}) {
    SCOPED_TRACE(testing::Message() << "read counters from " << start);
    link_->setReadCounterStart(start);
    decodeRandomStream();
    link_->close();
  }
}

void UsbLinkTest::decodeRandomStream() {
  const unsigned seed = 20240611u;
  std::mt19937 random(seed);
  SCOPED_TRACE(testing::Message() << "seed " << seed);
  open();

  constexpr int kFrames = 400;
  std::vector<Bytes> sent;
  std::vector<Slot*> readers;
  for (int i = 0; i < kFrames; ++i) readers.push_back(read());
  for (int i = 0; i < kFrames; ++i) {
    const uint32_t pick = random() % 10;
    const size_t length = pick == 0 ? 513 : 1 + random() % 513;
    Bytes frame(length);
    for (uint8_t& byte : frame) byte = uint8_t(random());
    if (random() % 3 == 0) frame[0] = 0x00;
    sent.push_back(frame);
    injectFrame(frame, SIM_IN_HOLD);
    if (random() % 4 == 0) {
      ASSERT_EQ(sim_.flushIn(path()), 1);
    }
  }
  injectFrame({0x01});  // ends the last frame
  ASSERT_TRUE(pumpUntil([&] { return readers.back()->completed(); }, 30000));
  for (int i = 0; i < kFrames; ++i) {
    ASSERT_EQ(readers[i]->completions.load(), 1) << "frame " << i;
    ASSERT_EQ(readers[i]->frame(), sent[i]) << "frame " << i << " of length " << sent[i].size();
  }
}

TEST_F(UsbLinkTest, GarbagePacketsNeverYieldAnOverlongFrameAndTheStreamRecovers) {
  std::mt19937 random(77u);
  open();
  // Random flags start a frame at about every other byte: enough readers for all of them.
  constexpr int kReaders = 10000;
  std::vector<Slot*> readers;
  for (int i = 0; i < kReaders; ++i) readers.push_back(read());
  for (int i = 0; i < 150; ++i) {
    Bytes packet(random() % 65);
    for (uint8_t& byte : packet) byte = uint8_t(random());
    // Now and then a run of packets without a single start marker: the frame in collection
    // grows past the limit unless the decoder stops it.
    if (i % 50 == 49) {
      packet.assign(64, 0x5A);
      for (size_t flag = 1; flag < packet.size(); flag += 9) packet[flag] = 0x00;
      for (int run = 0; run < 10; ++run) injectPacket(packet);
    }
    injectPacket(packet);
  }
  const Bytes clean = makeFrame(200, 0x00, 6);
  injectFrame(clean);
  injectFrame({0x00});
  waitInputDecoded();

  int delivered = 0;
  while (delivered < kReaders && readers[delivered]->completed()) ++delivered;
  ASSERT_GE(delivered, 1);
  ASSERT_LT(delivered, kReaders);
  EXPECT_EQ(readers[delivered - 1]->frame(), clean);
  // Lengths as the decoder counted them (the requests would clamp them anyway).
  const std::vector<uint32_t> lengths = decodedLengths();
  ASSERT_EQ(lengths.size(), size_t(delivered));
  for (size_t i = 0; i < lengths.size(); ++i) {
    ASSERT_GE(lengths[i], 1u) << "frame " << i;
    ASSERT_LE(lengths[i], 513u) << "frame " << i;
  }
}

// ---- failures --------------------------------------------------------------------------

TEST_F(UsbLinkTest, FailedWriteClosesTheLinkOnce) {
  open();
  sim_.failNext(path(), SIM_OP_WRITE, SIM_FAIL_STATUS, SIM_STATUS_UNSUCCESSFUL);
  write(makeFrame(10, 0));
  ASSERT_TRUE(pumpUntil([&] { return !link_->isOpen(); }));
  EXPECT_EQ(owner_.closeNotes, 1);
  EXPECT_EQ(counters().outstandingReads, 0u);

  Slot* later = write(makeFrame(4, 0));
  EXPECT_EQ(later->completions.load(), 1);
  EXPECT_EQ(sim_.outTransferCount(path()), 1);
}

TEST_F(UsbLinkTest, SeveralFailedReadsCloseTheLinkOnce) {
  open();
  Slot* r = read();
  sim_.failNext(path(), SIM_OP_READ, SIM_FAIL_STATUS, SIM_STATUS_UNSUCCESSFUL);
  sim_.failNext(path(), SIM_OP_READ, SIM_FAIL_STATUS, SIM_STATUS_UNSUCCESSFUL);
  ASSERT_TRUE(pumpUntil([&] { return !link_->isOpen(); }));
  deliverEarlierNotes(env());
  EXPECT_EQ(owner_.closeNotes, 1);
  EXPECT_FALSE(r->completed());  // stays queued for a later open

  open();
  const Bytes frame = makeFrame(513, 0, 8);
  injectFrame(frame);
  ASSERT_TRUE(pumpUntil([&] { return r->completed(); }));
  EXPECT_EQ(r->frame(), frame);
}

// Once unplugged, every new read fails at once: the link must stop issuing them, or the
// environment thread would spin and the close could never take the lock.
TEST_F(UsbLinkTest, UnpluggedDeviceClosesTheLinkWithoutEndlessRetries) {
  open();
  const uint32_t readsBefore = sim_.calls(SIM_EP_READ_PIPE);
  ASSERT_EQ(sim_.unplug(path(), 0), 1);
  {
    Watchdog watchdog(10000, "close after unplug");
    ASSERT_TRUE(pumpUntil([&] { return !link_->isOpen(); }));
  }
  EXPECT_EQ(owner_.closeNotes, 1);
  EXPECT_EQ(sim_.calls(SIM_EP_READ_PIPE), readsBefore);

  sim_.replug(path());
  open();
  EXPECT_TRUE(link_->isOpen());
}

// A failure reported while open whose note has not arrived yet when the link is closed by
// other means: the close withdraws the note, and a note that still came would find the link
// closed and be dropped. Above all it must not close the next open.
TEST_F(UsbLinkTest, AFailureCutOffByACloseNeverReachesTheOwner) {
  open();
  failAReadKeepingItsNote();
  closeLink();
  deliverEarlierNotes(env());
  EXPECT_EQ(owner_.closeNotes, 0);

  // The same, with the link opened again before the note could come.
  open();
  failAReadKeepingItsNote();
  closeLink();
  open();
  deliverEarlierNotes(env());
  EXPECT_TRUE(link_->isOpen());
  EXPECT_EQ(owner_.closeNotes, 0);
}

// ---- transfers that end inside their start ----------------------------------------------

// A frame transfer that ends at once calls back inside sendFrame: the link must already be
// ready for the next frame, which it then sends from inside that callback.
TEST_F(UsbLinkTest, WritesThatEndInsideTheirStartSendTheQueueInOrder) {
  open();
  const Bytes f[] = {makeFrame(5, 0x00, 1), makeFrame(513, 0x11, 2), makeFrame(57, 0x00, 3),
                     makeFrame(1, 0xCC)};
  // The first transfer pends; the other two queue behind it. Its completion is handed back
  // only once the lock is left, and from then on every transfer ends inside its start.
  env()->lock();
  Slot* w[] = {write(f[0]), write(f[1]), write(f[2])};
  ASSERT_EQ(sim_.setCompletion(path(), SIM_COMPLETE_AT_ONCE, 0), 1);
  env()->unlockAndWake();
  ASSERT_TRUE(pumpUntil([&] { return w[2]->completed(); }));
  for (Slot* slot : w) EXPECT_EQ(slot->completions.load(), 1);
  EXPECT_EQ(outFrames(), (std::vector<Bytes>{f[0], f[1], f[2]}));

  Slot* last = write(f[3]);
  EXPECT_EQ(last->completions.load(), 1);  // sent and ended inside submitWrite
  EXPECT_EQ(outFrames(), (std::vector<Bytes>{f[0], f[1], f[2], f[3]}));
  EXPECT_EQ(counters().malformedWrites, 0u);
}

// With packets waiting, every read the link issues ends inside its start and is handed
// back there, in the middle of the decoder's pass: the pass must pick it up in turn rather
// than decode inside itself, or each packet would nest one level deeper than the last.
TEST_F(UsbLinkTest, ReadsThatEndInsideTheirStartAreDecodedInTurn) {
  open();
  ASSERT_EQ(sim_.setCompletion(path(), SIM_COMPLETE_AT_ONCE, 0), 1);
  std::vector<Bytes> frames;
  for (int i = 0; i < 300; ++i) {
    frames.push_back(i % 3 == 0 ? makeFrame(513, 0x00, uint8_t(i)) : makeFrame(1 + i, uint8_t(i), uint8_t(i)));
  }
  std::vector<Slot*> readers;
  for (size_t i = 0; i < frames.size(); ++i) readers.push_back(read());
  // The sixteen reads outstanding take the first packets; the link handles none of them
  // before the lock is left, so the thousands of packets after them wait for its reads.
  env()->lock();
  for (const Bytes& frame : frames) injectFrame(frame);
  injectFrame({0x00});
  ASSERT_GT(counters().inPacketsWaiting, 1000u);
  env()->unlockAndWake();

  ASSERT_TRUE(pumpUntil([&] { return readers.back()->completed(); }, 30000));
  for (size_t i = 0; i < frames.size(); ++i) {
    ASSERT_EQ(readers[i]->completions.load(), 1) << "frame " << i;
    ASSERT_EQ(readers[i]->frame(), frames[i]) << "frame " << i;
  }
  waitInputDecoded();
  env()->lock();
  const uint32_t deepest = link_->deepestReadIssue();
  env()->unlock();
  EXPECT_EQ(deepest, 1u) << "reads were issued from inside the decoding of reads issued before";
}

// ---- vendor parameter requests ------------------------------------------------------------

// A start refused because its slot is still busy calls back with a stand-in: the link must
// not take that for its read, write or vendor request ending (a read counted as returned
// would have the decoder read a buffer the driver still owns).
TEST_F(UsbLinkTest, RefusedStartsOfBusySlotsAreNotTakenForTheirEnds) {
  open();
  ASSERT_EQ(sim_.setCompletion(path(), SIM_COMPLETE_LATER, 300), 1);
  ParamLog log;
  CDmxParamRequest request;
  link_->setParameters(&request, &log, ParamLog::done, 1, 2, 3);
  write(makeFrame(40, 0));
  // Both are in flight for 300 ms; under the lock neither can be handed back.
  env()->lock();
  const int started = link_->restartBusySlots();
  const uint32_t outstanding = link_->readsOutstanding();
  env()->unlockAndWake();
  ASSERT_EQ(started, 3);
  EXPECT_EQ(outstanding, 16u);
  // The real ends: the vendor request succeeds once, the link stays open and decodes.
  ASSERT_TRUE(pumpUntil([&] { return log.entries.size() == 1; }));
  EXPECT_EQ(log.entries[0].result, CDmxParamRequest::kDone);
  ASSERT_EQ(sim_.setCompletion(path(), SIM_COMPLETE_LATER, 0), 1);
  Slot* r = read();
  const Bytes frame = makeFrame(100, 0, 3);
  injectFrame(frame);
  injectFrame({0x00});
  ASSERT_TRUE(pumpUntil([&] { return r->completed(); }));
  EXPECT_EQ(r->frame(), frame);
  deliverEarlierNotes(env());
  EXPECT_TRUE(link_->isOpen());
  EXPECT_EQ(owner_.closeNotes, 0);
  EXPECT_EQ(log.entries.size(), 1u);
  EXPECT_EQ(sim_.outTransferCount(path()), 1);
}

TEST_F(UsbLinkTest, SetParametersSendsTheirLowBytesToTheOutEndpoint) {
  open();
  ParamLog log;
  CDmxParamRequest a, b;
  link_->setParameters(&a, &log, ParamLog::done, 1, 2, 3);
  ASSERT_TRUE(pumpUntil([&] { return log.entries.size() == 1; }));
  link_->setParameters(&b, &log, ParamLog::done, 0x1FF, 0x80, 0x10002);
  ASSERT_TRUE(pumpUntil([&] { return log.entries.size() == 2; }));
  EXPECT_EQ(log.entries[0].request, &a);
  EXPECT_EQ(log.entries[0].result, CDmxParamRequest::kDone);

  SimSetup setup = {};
  uint8_t data[8] = {};
  ASSERT_EQ(sim_.control(path(), 0, &setup, data, 8), 4);
  EXPECT_EQ(setup.requestType, 0x42);
  EXPECT_EQ(setup.request, 3);
  EXPECT_EQ(setup.value, 0);
  EXPECT_EQ(setup.index, kDataOut);
  EXPECT_EQ(setup.length, 4);
  // [01 02 03 00]
  EXPECT_EQ(Bytes(data, data + 4), (Bytes{0x01, 0x02, 0x03, 0x00}));
  ASSERT_EQ(sim_.control(path(), 1, &setup, data, 8), 4);
  // [FF 80 02 00]
  EXPECT_EQ(Bytes(data, data + 4), (Bytes{0xFF, 0x80, 0x02, 0x00}));
}

TEST_F(UsbLinkTest, GetParametersReadsThreeLittleEndianValues) {
  open();
  sim_.setParameters(path(), 1, 2, 3);  // reply [01 00 02 00 03 00]
  ParamLog log;
  CDmxParamRequest request;
  link_->requestParameters(&request, &log, ParamLog::done);
  ASSERT_TRUE(pumpUntil([&] { return log.entries.size() == 1; }));
  EXPECT_EQ(log.entries[0].result, CDmxParamRequest::kDone);
  EXPECT_EQ(request.param1, 1u);
  EXPECT_EQ(request.param2, 2u);
  EXPECT_EQ(request.param3, 3u);

  SimSetup setup = {};
  ASSERT_GE(sim_.control(path(), 0, &setup, nullptr, 0), 0);
  EXPECT_EQ(setup.requestType, 0xC2);
  EXPECT_EQ(setup.request, 0);
  EXPECT_EQ(setup.value, 0);
  EXPECT_EQ(setup.index, kDataIn);
  EXPECT_EQ(setup.length, 6);

  sim_.setParameters(path(), 0x1234, 0xABCD, 0);
  link_->requestParameters(&request, &log, ParamLog::done);
  ASSERT_TRUE(pumpUntil([&] { return log.entries.size() == 2; }));
  EXPECT_EQ(request.param1, 0x1234u);
  EXPECT_EQ(request.param2, 0xABCDu);
  EXPECT_EQ(request.param3, 0u);
}

TEST_F(UsbLinkTest, WaitingSetRequestsGoBeforeWaitingGets) {
  open();
  sim_.setCompletion(path(), SIM_COMPLETE_LATER, 150);
  ParamLog log;
  CDmxParamRequest inFlight, laterGet, laterSet;
  link_->requestParameters(&inFlight, &log, ParamLog::done);
  link_->requestParameters(&laterGet, &log, ParamLog::done);
  link_->setParameters(&laterSet, &log, ParamLog::done, 7, 8, 9);
  ASSERT_TRUE(pumpUntil([&] { return log.entries.size() == 3; }));
  EXPECT_EQ(log.entries[0].request, &inFlight);
  EXPECT_EQ(log.entries[1].request, &laterSet);
  EXPECT_EQ(log.entries[2].request, &laterGet);

  SimSetup setup = {};
  const uint8_t expected[] = {0xC2, 0x42, 0xC2};
  for (int i = 0; i < 3; ++i) {
    ASSERT_GE(sim_.control(path(), i, &setup, nullptr, 0), 0);
    EXPECT_EQ(setup.requestType, expected[i]) << "request " << i;
  }
}

TEST_F(UsbLinkTest, CancelledRequestsAreNeverCalledBack) {
  open();
  sim_.setCompletion(path(), SIM_COMPLETE_LATER, 200);
  ParamLog log;
  CDmxParamRequest inFlight, queued, next;
  link_->requestParameters(&inFlight, &log, ParamLog::done);
  link_->setParameters(&queued, &log, ParamLog::done, 1, 1, 1);
  EXPECT_TRUE(link_->isControlBusy());
  link_->cancelParameterRequest(&inFlight);
  link_->cancelParameterSet(&queued);
  ASSERT_TRUE(pumpUntil([&] { return !link_->isControlBusy(); }));
  deliverEarlierNotes(env());
  EXPECT_TRUE(log.entries.empty());
  EXPECT_EQ(sim_.controlCount(path()), 1);  // the cancelled set never went out
  EXPECT_EQ(counters().controlsCompleted, 1u);

  link_->requestParameters(&next, &log, ParamLog::done);
  ASSERT_TRUE(pumpUntil([&] { return log.entries.size() == 1; }));
  EXPECT_EQ(log.entries[0].request, &next);
}

TEST_F(UsbLinkTest, FailedRequestIsReportedWithoutClosingTheLink) {
  open();
  sim_.failNext(path(), SIM_OP_CONTROL, SIM_FAIL_STATUS, SIM_STATUS_UNSUCCESSFUL);
  sim_.failNext(path(), SIM_OP_CONTROL, SIM_FAIL_AT_ONCE, ERROR_INVALID_PARAMETER);
  ParamLog log;
  CDmxParamRequest first, second;
  link_->requestParameters(&first, &log, ParamLog::done);
  link_->setParameters(&second, &log, ParamLog::done, 1, 2, 3);
  ASSERT_TRUE(pumpUntil([&] { return log.entries.size() == 2; }));
  EXPECT_EQ(log.entries[0].result, CDmxParamRequest::kDeviceGone);
  EXPECT_EQ(log.entries[1].result, CDmxParamRequest::kFailed);
  // A close the failures asked for would come before a note set now.
  deliverEarlierNotes(env());
  EXPECT_TRUE(link_->isOpen());
  EXPECT_EQ(owner_.closeNotes, 0);
}

// Destruction answers every request it still holds: the one in flight (cut off by the
// close) first, then the queued gets, then the queued sets.
TEST_F(UsbLinkTest, DestructionCallsBackEveryRequestItHolds) {
  open();
  sim_.setCompletion(path(), SIM_COMPLETE_LATER, 60000);
  ParamLog log;
  CDmxParamRequest inFlight, set, get;
  link_->requestParameters(&inFlight, &log, ParamLog::done);
  link_->setParameters(&set, &log, ParamLog::done, 1, 2, 3);
  link_->requestParameters(&get, &log, ParamLog::done);
  ASSERT_EQ(counters().outstandingControls, 1u);
  destroyLink();
  ASSERT_EQ(log.entries.size(), 3u);
  EXPECT_EQ(log.entries[0].request, &inFlight);
  EXPECT_EQ(log.entries[1].request, &get);
  EXPECT_EQ(log.entries[2].request, &set);
  for (const ParamLog::Entry& entry : log.entries) EXPECT_EQ(entry.result, CDmxParamRequest::kFailed);
  EXPECT_EQ(sim_.controlCount(path()), 1);
}

// After a failure, and until the close that it asks for, no vendor request goes out either:
// it waits, as while closed, and goes out after the next open.
TEST_F(UsbLinkTest, RequestsWaitAfterAFailureUntilTheNextOpen) {
  open();
  failAReadKeepingItsNote();
  ParamLog log;
  CDmxParamRequest request;
  link_->setParameters(&request, &log, ParamLog::done, 7, 8, 9);
  EXPECT_TRUE(link_->isOpen());
  EXPECT_FALSE(locked([&] { return link_->isControlBusy(); }));
  EXPECT_EQ(sim_.controlCount(path()), 0);
  ASSERT_TRUE(pumpUntil([&] { return owner_.closeNotes == 1; }));
  EXPECT_TRUE(log.entries.empty());
  open();
  // The next start attempt, for a get made now, sends the waiting set first.
  CDmxParamRequest get;
  link_->requestParameters(&get, &log, ParamLog::done);
  ASSERT_TRUE(pumpUntil([&] { return log.entries.size() == 2; }));
  EXPECT_EQ(log.entries[0].request, &request);
  EXPECT_EQ(log.entries[0].result, CDmxParamRequest::kDone);
  EXPECT_EQ(log.entries[1].request, &get);
  EXPECT_EQ(log.entries[1].result, CDmxParamRequest::kDone);
  EXPECT_EQ(sim_.controlCount(path()), 2);
}

TEST_F(UsbLinkTest, RequestsWaitWhileClosed) {
  ParamLog log;
  CDmxParamRequest request;
  link_->requestParameters(&request, &log, ParamLog::done);
  open();
  deliverEarlierNotes(env());
  EXPECT_EQ(sim_.controlCount(path()), 0);  // opening starts nothing by itself
  CDmxParamRequest other;
  link_->setParameters(&other, &log, ParamLog::done, 4, 5, 6);  // the next attempt starts both
  ASSERT_TRUE(pumpUntil([&] { return log.entries.size() == 2; }));
  EXPECT_EQ(log.entries[0].request, &other);
  EXPECT_EQ(log.entries[1].request, &request);
}

}  // namespace
