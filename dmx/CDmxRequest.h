// CDmxRequest: one DMX frame (1 to 513 bytes, start code first) travelling between a
// CDmxIo and its link, in either direction.
//
// The owner (a CDmxIo) embeds the request and reuses it for every frame; the link only
// queues it (through the list node) between submit and completion. While queued, the link
// holds it and `holder` says which link; completion clears `holder` before the completion
// function runs, so that function may hand the request straight back.
//
// Threads and locks: a submitted request belongs to the link and is touched only under the
// environment lock, and the link completes it with that lock held (the completion function
// therefore runs under the lock, on any thread, and must not block). Outside a submission
// the owner may change it freely.
#pragma once

#include <cstdint>

#include "support/LList.h"

class CDmxRequest;
class CDmxLink;

// Called when the link is done with the request: a written frame has been taken, a received
// frame has been copied in, or the request was dropped (link closed or destroyed).
using DmxRequestDone = void (*)(void* user, CDmxRequest* request);

class CDmxRequest : public LListNode {
 public:
  static constexpr uint32_t kMaxLength = 513;

  // A new request holds a one-byte frame with byte 0 = 0.
  CDmxRequest(DmxRequestDone done, void* user) noexcept : done(done), user(user) {}
  ~CDmxRequest() override = default;

  uint32_t length() const noexcept { return length_; }
  // 0 is taken as 1 and anything above 513 as 513. Bytes that growing the frame uncovers
  // read 0; shrinking leaves the bytes beyond the new length as they were.
  void setLength(uint32_t n) noexcept;

  // Clears `holder`, then calls the completion function (if any).
  void complete();

  // The link that holds the request, null while the owner has it.
  CDmxLink* holder = nullptr;
  DmxRequestDone done;
  void* user;

  uint8_t data[kMaxLength] = {};

 private:
  uint32_t length_ = 1;
};
