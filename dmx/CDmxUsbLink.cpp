#include "dmx/CDmxUsbLink.h"

#include <cstring>
#include <new>

#include "dmx/CWinUsbDevice.h"
#include "dmx/DmxDataPipes.h"
#include "framework/LAsyncEnv.h"
#include "framework/NoteNames.h"

namespace {

constexpr uint32_t kGroupBytes = 8;
constexpr uint32_t kGroupsPerPacket = 7;

// Vendor requests on the data endpoints.
constexpr uint8_t kSetRequestType = 0x42;  // host to device, vendor, endpoint
constexpr uint8_t kSetRequest = 0x03;
constexpr uint16_t kSetLength = 4;
constexpr uint8_t kGetRequestType = 0xC2;  // device to host, vendor, endpoint
constexpr uint8_t kGetRequest = 0x00;

}  // namespace

CDmxUsbLink::CDmxUsbLink(LHandler* owner, LAsyncEnv* env)
    : CDmxLink(owner, env),
      device(new (std::nothrow) CWinUsbDevice(this, env)),
      controlDoneEvent(this, env) {
  // Whatever cannot be made (memory, an event) stays null and fails every open.
  if (device == nullptr) return;
  controlTransfer = device->createTransfer();
  writeTransfer = device->createTransfer();
  for (CUsbTransfer*& transfer : readTransfers) transfer = device->createTransfer();
}

bool CDmxUsbLink::hasEverything() const noexcept {
  if (device == nullptr || controlTransfer == nullptr || writeTransfer == nullptr) return false;
  for (const CUsbTransfer* transfer : readTransfers) {
    if (transfer == nullptr) return false;
  }
  return true;
}

CDmxUsbLink::~CDmxUsbLink() {
  close();

  // The close has drained the device, so a request still in flight has its outcome; its
  // note will never come (the event dies with the link), so it is answered here.
  if (CDmxParamRequest* request = currentParamRequest) {
    const uint32_t result = controlResult(request);
    currentParamRequest = nullptr;
    if (request->done != nullptr) request->done(request->user, request, result);
  }
  controlBusy = 0;

  if (device != nullptr) {
    for (int i = kReadCount - 1; i >= 0; --i) device->releaseTransfer(readTransfers[i]);
    device->releaseTransfer(writeTransfer);
    device->releaseTransfer(controlTransfer);
    delete device;
  }

  failAll(getQueue);
  failAll(setQueue);
}

// ---- open and close --------------------------------------------------------------------

uint32_t CDmxUsbLink::openDevice(const char* path) {
  // Found now rather than at the first transfer, which would close the link just opened.
  if (!hasEverything()) return kOpenFailed;
  const uint32_t opened = device->open(path);
  if (opened == CUsbDevice::kAccessDenied) return kInUse;
  if (opened != CUsbDevice::kOpened) return kOpenFailed;

  const bool foundIn = findDataPipe(*device, CUsbDevice::kIn, &inPipe, &inIndex);
  const bool foundOut = findDataPipe(*device, CUsbDevice::kOut, &outPipe, &outIndex);
  if (!foundIn || !foundOut) {
    device->close();
    return kOpenFailed;
  }

  uint32_t release = 0;
  if (device->getRelease(&release) == 0) deviceRelease_ = release;

  env->lock();
  markOpen();
  rxCount = 0;
  rxGroupOffset = 0;
  rxBit = 0;
  // The counters run on across their wrap: only their differences and their low bits (the
  // ring slot) are used.
  rxConsumed = rxStart_;
  rxIssued = rxStart_;
  rxReturned = rxStart_;
  env->unlock();
  return kOpened;
}

void CDmxUsbLink::closeDevice() { device->close(); }

// ---- sending ---------------------------------------------------------------------------

uint32_t CDmxUsbLink::encodeFrame(const uint8_t* frame, uint32_t n, uint8_t* out) noexcept {
  uint32_t length = 0;
  for (uint32_t i = 0; i < n; i += kGroupBytes) {
    // Full packets are exactly 64 bytes, so every packet starts at a multiple of 64.
    if (length % kPacketSize == 0) out[length++] = 0x00;
    out[length++] = i == 0 ? 0x01 : 0x00;
    const uint32_t count = n - i < kGroupBytes ? n - i : kGroupBytes;
    std::memcpy(out + length, frame + i, count);
    length += count;
  }
  return length;
}

void CDmxUsbLink::sendFrame(uint32_t n) {
  const uint32_t length = encodeFrame(txFrame, n, txPackets);
  device->write(writeTransfer, outPipe, txPackets, length, this, writeTransferDone);
}

// Each completion first checks that it is its own slot's: a start refused because the slot
// is still busy calls back with a stand-in, and that must not be taken for the slot's end.

void CDmxUsbLink::writeTransferDone(void* user, CUsbTransfer* transfer) {
  auto* link = static_cast<CDmxUsbLink*>(user);
  if (transfer != link->writeTransfer) return;
  link->writeDone(transfer->error());
}

// ---- receiving -------------------------------------------------------------------------

void CDmxUsbLink::issueReads() {
  // After a failure no read is issued until the next open: reads failing at once could
  // otherwise keep the environment thread busy forever.
  while (!hasFailed() && uint16_t(rxIssued - rxConsumed) != kReadCount) {
    const uint16_t i = rxIssued & ringMask;
    ++rxIssued;
    device->read(readTransfers[i], inPipe, readBuffers[i], kPacketSize, this, readTransferDone);
  }
}

void CDmxUsbLink::readTransferDone(void* user, CUsbTransfer* transfer) {
  auto* link = static_cast<CDmxUsbLink*>(user);
  // Reads come back in issue order: only the next one to return is this link's.
  if (transfer != link->readTransfers[link->rxReturned & link->ringMask]) return;
  ++link->rxReturned;
  if (transfer->error() != CUsbTransfer::kDone) link->reportFailure();
  // A failed read is decoded as an empty packet, in its turn.
  link->decodePackets();
}

void CDmxUsbLink::decodePackets() {
  // Reads issued while delivering may be handed back at once, inside this pass; they only
  // count themselves returned and are picked up by the loop below.
  if (decoding) return;
  decoding = 1;
  do {
    while (rxConsumed != rxReturned) {
      const uint16_t entry = rxConsumed & ringMask;
      const CUsbTransfer* transfer = readTransfers[entry];
      const uint8_t* packet = readBuffers[entry];
      uint32_t available = transfer->error() == CUsbTransfer::kDone ? transfer->length() : 0;
      if (available > kPacketSize) available = kPacketSize;

      for (;;) {
        dropUnreadFrames(false);
        const uint32_t position = rxGroupOffset + rxBit + 2u;
        if (position >= available) {
          if (transfer->error() == CUsbTransfer::kDone) ++packetsDecoded_;
          ++rxConsumed;
          rxGroupOffset = 0;
          rxBit = 0;
          break;
        }
        const bool startMarker = (packet[rxGroupOffset + 1] >> rxBit) & 1;
        if (startMarker && rxCount > 0) {
          // The frame in collection ended before this byte; look at the byte again.
          const uint32_t length = rxCount;
          rxCount = 0;
          completeFrame(length);
          continue;
        }
        if (startMarker || (rxCount >= 1 && rxCount < CDmxRequest::kMaxLength)) {
          if (startMarker) dropUnreadFrames(true);
          collectionFrame()[rxCount++] = packet[position];
        }
        if (++rxBit == kGroupBytes) {
          rxBit = 0;
          rxGroupOffset += kGroupBytes + 1;
        }
        // A full frame with the null start code cannot grow: deliver it without waiting
        // for the next marker.
        if (rxCount == CDmxRequest::kMaxLength && collectionFrame()[0] == 0x00) {
          rxCount = 0;
          completeFrame(CDmxRequest::kMaxLength);
        }
      }
    }
    deliverFrames();
  } while (rxConsumed != rxReturned);
  decoding = 0;
}

// ---- vendor requests -------------------------------------------------------------------

void CDmxUsbLink::requestParameters(CDmxParamRequest* request, void* user, DmxParamDone done) {
  request->user = user;
  request->done = done;
  queueParamRequest(getQueue, request);
}

void CDmxUsbLink::setParameters(CDmxParamRequest* request, void* user, DmxParamDone done,
                                uint32_t p1, uint32_t p2, uint32_t p3) {
  request->param1 = p1;
  request->param2 = p2;
  request->param3 = p3;
  request->user = user;
  request->done = done;
  queueParamRequest(setQueue, request);
}

void CDmxUsbLink::cancelParameterRequest(CDmxParamRequest* request) {
  cancelParamRequest(getQueue, request);
}

void CDmxUsbLink::cancelParameterSet(CDmxParamRequest* request) {
  cancelParamRequest(setQueue, request);
}

void CDmxUsbLink::queueParamRequest(LList& queue, CDmxParamRequest* request) {
  env->lock();
  queue.pushBack(request);
  env->unlock();
  startSetRequest();
  startGetRequest();
}

void CDmxUsbLink::cancelParamRequest(LList& queue, CDmxParamRequest* request) {
  env->lock();
  queue.remove(request);
  // In flight: the transfer runs to its end, but nobody hears of it.
  if (currentParamRequest == request) currentParamRequest = nullptr;
  env->unlock();
}

UsbSetupPacket CDmxUsbLink::getParametersSetup(uint8_t inEndpoint) noexcept {
  return {kGetRequestType, kGetRequest, 0, inEndpoint, kParameterReplyLength};
}

void CDmxUsbLink::startSetRequest() { startControl(setQueue, false); }
void CDmxUsbLink::startGetRequest() { startControl(getQueue, true); }

void CDmxUsbLink::startControl(LList& queue, bool isGet) {
  env->lock();
  auto* request = controlBusy || !isOpen() || hasFailed() ? nullptr
                                           : static_cast<CDmxParamRequest*>(queue.popFront());
  if (request == nullptr) {
    env->unlock();
    return;
  }
  currentParamRequest = request;
  controlBusy = 1;
  controlIsGet = isGet ? 1 : 0;
  UsbSetupPacket setup{};
  void* buffer;
  if (isGet) {
    setup = getParametersSetup(inIndex);
    std::memset(getReply, 0, sizeof getReply);
    buffer = getReply;
  } else {
    setPayload[0] = uint8_t(request->param1);
    setPayload[1] = uint8_t(request->param2);
    setPayload[2] = uint8_t(request->param3);
    setPayload[3] = 0x00;
    setup = {kSetRequestType, kSetRequest, 0, outIndex, kSetLength};
    buffer = setPayload;
  }
  device->control(controlTransfer, setup, buffer, setup.length, this, controlTransferDone);
  env->unlockAndWake();
}

void CDmxUsbLink::controlTransferDone(void* user, CUsbTransfer* transfer) {
  auto* link = static_cast<CDmxUsbLink*>(user);
  if (transfer == link->controlTransfer) link->controlDoneEvent.set();
}

uint32_t CDmxUsbLink::controlResult(CDmxParamRequest* request) const noexcept {
  if (!controlTransfer->isFinished()) return CDmxParamRequest::kFailed;
  switch (controlTransfer->error()) {
    case CUsbTransfer::kDone:
      break;
    case CUsbTransfer::kDeviceGone:
      return CDmxParamRequest::kDeviceGone;
    default:
      return CDmxParamRequest::kFailed;
  }
  if (controlIsGet) {
    request->param1 = uint32_t(getReply[0] | getReply[1] << 8);
    request->param2 = uint32_t(getReply[2] | getReply[3] << 8);
    request->param3 = uint32_t(getReply[4] | getReply[5] << 8);
  }
  return CDmxParamRequest::kDone;
}

void CDmxUsbLink::controlDone() {
  // No control transfer runs now, so its result and these fields need no lock.
  if (CDmxParamRequest* request = currentParamRequest) {
    const uint32_t result = controlResult(request);
    currentParamRequest = nullptr;
    // controlBusy stays set during the callback: a request it makes waits its turn behind
    // the set requests already queued.
    if (request->done != nullptr) request->done(request->user, request, result);
  }
  controlBusy = 0;
  startSetRequest();
  startGetRequest();
}

void CDmxUsbLink::failAll(LList& queue) {
  while (LListNode* node = queue.popFront()) {
    auto* request = static_cast<CDmxParamRequest*>(node);
    if (request->done != nullptr) request->done(request->user, request, CDmxParamRequest::kFailed);
  }
}

LNote CDmxUsbLink::handleNote(const LNote& note) {
  if (note.sender == &controlDoneEvent && noteNameEqual(note.name, LAsyncEvent_Note)) {
    controlDone();
    return LNote();
  }
  return CDmxLink::handleNote(note);
}
