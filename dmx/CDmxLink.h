// CDmxLink: the frame side of a DMX interface link, independent of how frames reach the
// interface. It queues frames to send (writeQueue) and readers waiting for received frames
// (readQueue), keeps the receive frame buffers that a decoder fills, and turns transfer
// failures into the note "CDmxIo_Close" to its owner. CDmxUsbLink adds the USB transport.
//
// Ownership: owned by a CDmxIo (its `owner` handler); owns its failure event. Requests are
// owned by their submitters; the link only queues them and completes each exactly once:
// a written frame as soon as it has been handed to the transport, a read when a frame has
// been copied into it, and every request it still holds when it drops them (writes at
// close, reads at destruction). A read request stays queued across close and open.
//
// Threads and locks: open, close and destruction run on the thread that owns the
// environment's window, without the environment lock (close waits for the transport to
// hand back its transfers, which the environment thread does under the lock). submitWrite
// and submitRead are called with the environment lock held. Transport completions run
// under the lock on the environment thread (or inside a start). The failure event's note
// arrives on the window's thread. All queue, counter and flag state is guarded by the
// environment lock.
//
// Received frames: the decoder completes frames into numbered slots (frame n in slot
// n % kFrameSlots). With two slots, an undelivered frame waits until a reader comes, and
// when a newer frame completes with no reader while an older one still waits, the older
// one is dropped at once: with no readers only the newest complete frame waits. With one
// slot (the 32-bit build) the frame being collected shares the slot with the waiting one,
// so the waiting frame is dropped when the next frame's first byte is stored (never handed
// out torn); a reader that comes later waits for the frame then being collected.
#pragma once

#include <atomic>
#include <cstdint>

#include "dmx/CDmxRequest.h"
#include "framework/LAsyncEvent.h"
#include "framework/LHandler.h"
#include "support/LList.h"
#include "support/Variant.h"

class LAsyncEnv;

class CDmxLink : public LHandler {
 public:
  // Results of open.
  static constexpr uint32_t kOpened = 0;
  static constexpr uint32_t kOpenFailed = 1;
  static constexpr uint32_t kInUse = 2;  // the device is held by someone else

  static constexpr int kFrameSlots = variant::kReceiveFrameSlots;
  static_assert(kFrameSlots == 1 || kFrameSlots == 2, "one or two receive frame slots");

  CDmxLink(LHandler* owner, LAsyncEnv* env) noexcept;
  // Completes every read request still queued (under the lock). The derived link must have
  // closed itself before.
  ~CDmxLink() override;

  // Opens the device interface at `path` (UTF-8). Frames completed and not delivered before
  // are dropped. Already open: kOpened at once, nothing else happens.
  uint32_t open(const char* path);
  // Drops (completes) every queued write, then closes the transport and waits for it to
  // hand back every transfer. Not open: nothing.
  void close();

  // Lock held. Queues a frame to send; when closed, the request is completed at once.
  void submitWrite(CDmxRequest* request);
  // Lock held. Queues a reader for the next received frame; also while closed.
  void submitRead(CDmxRequest* request);

  bool isOpen() const noexcept { return isOpen_.load(std::memory_order_acquire) != 0; }
  // bcdDevice of the device descriptor read at the last open; 0 until one was read.
  uint32_t deviceRelease() const noexcept { return deviceRelease_; }

  // Lock held: frames completed and not yet handed to a reader (0 to kFrameSlots).
  uint32_t framesWaiting() const noexcept { return uint8_t(rxCompleted - rxDelivered); }
  // Lock held: queue lengths.
  uint32_t writesQueued() const noexcept;
  uint32_t readsQueued() const noexcept;

  // Answers its failure event's note with "CDmxIo_Close" to the owner while open.
  LNote handleNote(const LNote& note) override;

 protected:
  // The transport. openDevice returns kOpened (after markOpen), kOpenFailed or kInUse; on
  // kOpened open() then delivers waiting frames (which issues the reads) and starts queued
  // writes. closeDevice returns once every transfer has been handed back.
  virtual uint32_t openDevice(const char* path) = 0;
  virtual void closeDevice() = 0;
  // Lock held. Sends txFrame[0..n) (1 <= n <= 513); the transport ends with writeDone.
  virtual void sendFrame(uint32_t n) = 0;
  // Lock held, link open. Keeps the reads of the IN stream outstanding.
  virtual void issueReads() = 0;

  // Lock held. Called by openDevice once the transport is ready: the link is open, no write
  // is in flight.
  void markOpen() noexcept;
  // Lock held. Starts the next queued write unless one is in flight.
  void pumpWrites();
  // Lock held. The frame transfer has ended with `error` (0: done).
  void writeDone(uint32_t error);
  // Lock held. Hands waiting frames to waiting readers, then (open) issueReads.
  void deliverFrames();
  // Lock held. A transfer has failed: from now until the next open no transfer is started
  // (queued writes wait for the close, which completes them unsent), and the owner is told
  // to close the link (once per failure event delivery).
  void reportFailure();
  // Lock held. A transfer failed since the last open.
  bool hasFailed() const noexcept { return failed != 0; }

  // Decoder side of the receive buffers, lock held.
  // Frees the collection slot when the frame waiting in it must go: called at every decoder
  // step with startingFrame false, and once more just before a frame's first byte is
  // stored, with startingFrame true.
  void dropUnreadFrames(bool startingFrame) noexcept;
  // The slot of the frame being collected.
  uint8_t* collectionFrame() noexcept { return rxFrame[rxCompleted % kFrameSlots]; }
  // The frame being collected is complete with `length` bytes; delivers it if someone waits.
  void completeFrame(uint32_t length);

  LAsyncEnv* const env;
  LAsyncEvent failureEvent;
  uint32_t deviceRelease_ = 0;
  std::atomic<uint8_t> isOpen_{0};
  uint8_t writeBusy = 0;
  // Set by reportFailure while open, cleared by markOpen.
  uint8_t failed = 0;
  LList writeQueue;
  LList readQueue;
  uint8_t rxDelivered = 0;
  uint8_t rxCompleted = 0;
  uint16_t rxLength[kFrameSlots] = {};
  uint8_t rxFrame[kFrameSlots][CDmxRequest::kMaxLength] = {};
  uint8_t txFrame[CDmxRequest::kMaxLength] = {};
};
