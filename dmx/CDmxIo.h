// CDmxIo: one DMX interface as the port interface (DmxPort.h) sees it. It owns the
// interface's link, takes at most one write and one read at a time, and turns the link's
// completions (made under the environment lock on whatever thread) into callbacks on the
// thread that owns the environment's window, through two async events.
//
// Threads and locks:
//  - write and read: any thread, also from inside the callbacks. Each takes `ioLock` (a
//    recursive lock) and then the environment lock, in that order, and hands the request
//    to the link under both.
//  - The callbacks run on the window's thread, from its message dispatch, after `ioLock`
//    has been released: a callback may take any lock that a caller of write holds while it
//    waits for `ioLock` (the host's critical region). The request has already ended (its
//    pending flag is clear), so a callback may make the next request of its direction at
//    once.
//  - Construction, the link's open, and destruction: the window's thread.
//
// The link asks to be closed (note "CDmxIo_Close", after a transfer failed); this object
// closes it. From then on writes and reads are refused; a write the link still held calls
// back as usual, a read it still holds never calls back.
//
// Destruction closes and destroys the link (every request it holds is completed) and
// withdraws pending notes: no callback runs afterwards.
#pragma once

#include <cstdint>

#include "dmx/CDmxRequest.h"
#include "dmx/DmxPort.h"
#include "framework/LAsyncEvent.h"
#include "framework/LHandler.h"
#include "support/Windows.h"

class CDmxUsbLink;
class LAsyncEnv;

class CDmxIo : public LHandler {
 public:
  // Creates the link (closed); `env` must outlive this object.
  explicit CDmxIo(LAsyncEnv* env);
  ~CDmxIo() override;
  CDmxIo(const CDmxIo&) = delete;
  CDmxIo& operator=(const CDmxIo&) = delete;

  // 1: accepted (the bytes are copied at once; count < 1 is taken as 1 byte, keeping the
  // request's previous byte 0; above 513 as 513; `done` follows once). 0: refused, nothing
  // changes (a write is pending, or the link is not open).
  int32_t write(const uint8_t* data, int32_t count, DmxWriteDone done, void* user);
  // Always 0. Accepted when no read is pending and the link is open: the next frame's first
  // min(capacity, length) bytes go to `target` (which must stay valid until then), then
  // `done` is called with that count. Refused silently otherwise. A negative capacity is 0.
  int32_t read(uint8_t* target, int32_t capacity, DmxReadDone done, void* user);

  CDmxUsbLink* link() const noexcept { return link_; }

  bool isWritePending();
  bool isReadPending();

  LNote handleNote(const LNote& note) override;

 private:
  static void readCompleted(void* user, CDmxRequest* request);
  static void writeCompleted(void* user, CDmxRequest* request);

  LAsyncEnv* const env;
  LAsyncEvent readEvent;
  LAsyncEvent writeEvent;
  CRITICAL_SECTION ioLock;
  uint8_t readPending = 0;
  uint8_t writePending = 0;
  uint8_t* readTarget = nullptr;
  uint32_t readCapacity = 0;
  CDmxRequest readRequest;
  CDmxRequest writeRequest;
  CDmxUsbLink* link_ = nullptr;
  void* readUser = nullptr;
  DmxReadDone readDone = nullptr;
  void* writeUser = nullptr;
  DmxWriteDone writeDone = nullptr;
};
