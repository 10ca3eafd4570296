#include "dmx/CDmxLink.h"

#include <cstring>

#include "framework/LAsyncEnv.h"
#include "framework/NoteNames.h"

namespace {

uint32_t countNodes(const LList& list) {
  uint32_t n = 0;
  for (LListNode* p = list.first(); !LList::isEnd(p); p = p->next) ++n;
  return n;
}

}  // namespace

CDmxLink::CDmxLink(LHandler* owner, LAsyncEnv* env) noexcept
    : LHandler(owner), env(env), failureEvent(this, env) {}

CDmxLink::~CDmxLink() {
  // The derived link has closed already; closing here would reach a transport that is gone.
  env->lock();
  while (LListNode* node = readQueue.popFront()) static_cast<CDmxRequest*>(node)->complete();
  env->unlockAndWake();
}

uint32_t CDmxLink::open(const char* path) {
  if (isOpen()) return kOpened;
  // Nothing decodes while closed, but a completion of the last close may still hold the
  // lock on the environment thread.
  env->lock();
  rxDelivered = rxCompleted;
  env->unlock();

  const uint32_t result = openDevice(path);
  if (result != kOpened) return result;

  env->lock();
  deliverFrames();
  pumpWrites();
  env->unlockAndWake();
  return kOpened;
}

void CDmxLink::close() {
  if (!isOpen()) return;
  env->lock();
  isOpen_.store(0, std::memory_order_release);
  while (LListNode* node = writeQueue.popFront()) static_cast<CDmxRequest*>(node)->complete();
  env->unlockAndWake();

  // Outside the lock: the environment thread needs it to hand the transfers back.
  closeDevice();
  // Failures of the transfers cut off by the close must not close a later open again.
  failureEvent.cancel();
}

void CDmxLink::submitWrite(CDmxRequest* request) {
  if (!isOpen()) {
    request->complete();
    return;
  }
  request->holder = this;
  writeQueue.pushBack(request);
  pumpWrites();
}

void CDmxLink::submitRead(CDmxRequest* request) {
  request->holder = this;
  readQueue.pushBack(request);
  deliverFrames();
}

uint32_t CDmxLink::writesQueued() const noexcept { return countNodes(writeQueue); }
uint32_t CDmxLink::readsQueued() const noexcept { return countNodes(readQueue); }

LNote CDmxLink::handleNote(const LNote& note) {
  if (note.sender == &failureEvent && noteNameEqual(note.name, LAsyncEvent_Note)) {
    if (isOpen()) return LNote(CDmxIo_Close, this, owner());
    return LNote();
  }
  return LHandler::handleNote(note);
}

void CDmxLink::markOpen() noexcept {
  writeBusy = 0;
  failed = 0;
  isOpen_.store(1, std::memory_order_release);
}

void CDmxLink::pumpWrites() {
  // After a failure the pipe is not written again: a write-done note that was already on
  // its way when the failure came must not start the next frame.
  if (!isOpen() || writeBusy || failed) return;
  auto* request = static_cast<CDmxRequest*>(writeQueue.popFront());
  if (request == nullptr) return;

  uint32_t n = request->length();
  if (n > CDmxRequest::kMaxLength) n = CDmxRequest::kMaxLength;
  std::memcpy(txFrame, request->data, n);
  writeBusy = 1;
  sendFrame(n);
  // The frame is in the transfer's buffer now; the request is free for the next one.
  request->complete();
}

void CDmxLink::writeDone(uint32_t error) {
  writeBusy = 0;
  if (error != 0) {
    reportFailure();
  } else {
    pumpWrites();
  }
}

void CDmxLink::deliverFrames() {
  while (rxDelivered != rxCompleted && !readQueue.isEmpty()) {
    auto* request = static_cast<CDmxRequest*>(readQueue.popFront());
    const int slot = rxDelivered % kFrameSlots;
    request->setLength(rxLength[slot]);
    std::memcpy(request->data, rxFrame[slot], request->length());
    ++rxDelivered;
    request->complete();
  }
  if (isOpen()) issueReads();
}

void CDmxLink::reportFailure() {
  if (!isOpen()) return;
  failed = 1;
  failureEvent.set();
}

void CDmxLink::dropUnreadFrames(bool startingFrame) noexcept {
  const uint8_t waiting = uint8_t(rxCompleted - rxDelivered);
  if constexpr (kFrameSlots == 2) {
    // The frame being collected goes to the slot of the older waiting frame: that one goes
    // right after the completion that filled the other slot.
    if (waiting == 2) ++rxDelivered;
  } else {
    // One slot: the waiting frame lives where the next frame is about to be written.
    if (startingFrame && waiting == 1) ++rxDelivered;
  }
}

void CDmxLink::completeFrame(uint32_t length) {
  rxLength[rxCompleted % kFrameSlots] = uint16_t(length);
  ++rxCompleted;
  deliverFrames();
}
