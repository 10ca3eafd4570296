// CDmxUsbLink: the DMX link over the interface's USB protocol.
//
// Frames go out on the data OUT pipe (DmxDataPipes.h), one transfer per frame: the frame is cut into
// groups of 8 bytes, each group a flag byte followed by its data bytes, and the groups into
// 64-byte packets, each a header byte 0x00 followed by up to 7 groups. The first group's
// flag is 0x01 (bit i marks data byte i as a frame's start code), every other flag 0x00;
// the stream ends right after the last data byte (513 bytes: 588 bytes on the wire).
//
// The data IN pipe carries the same format, except that frames follow each other densely: a
// frame may begin in any data position of a group, and a packet may be short. Sixteen
// 64-byte reads stay outstanding while open; finished ones are decoded strictly in issue
// order. A frame ends at the next start marker, or at once when it reaches 513 bytes with
// start code 0x00. Bytes before the first marker and beyond 513 are dropped.
//
// Vendor parameter requests (one control transfer at a time, sets before gets):
//   set: 0x42, bRequest 3, wValue 0, wIndex = data OUT endpoint, wLength 4: p1 p2 p3 00
//   get: 0xC2, bRequest 0, wValue 0, wIndex = data IN endpoint, wLength 6: three 16-bit
//        little-endian values
// Requests made while closed stay queued until the next start attempt while open. A request
// cancelled while in flight gets no callback. At destruction the request in flight is
// called back with its transfer's outcome (kFailed when the close cut it off), then every
// queued get request and every queued set request with kFailed, so no caller waits forever.
// The parameter operations and their callbacks run on the thread that owns the
// environment's window.
//
// Failures: a failed frame or packet transfer while open has the owner close the link
// ("CDmxIo_Close", at most once per close), and from that moment until the next open no
// transfer of any kind is started: queued frames wait for the close (which completes them
// unsent), vendor requests stay queued as while closed. A failed vendor request is only
// reported to its callback. Nothing is retried.
//
// Owns its device (a CWinUsbDevice), its 18 transfers, its events and all buffers; nothing
// is allocated per frame or packet. See CDmxLink for threads and locks.
#pragma once

#include <cstdint>

#include "dmx/CDmxLink.h"
#include "dmx/CDmxParamRequest.h"
#include "dmx/CUsbDevice.h"
#include "dmx/CUsbTransfer.h"
#include "framework/LAsyncEvent.h"
#include "support/LList.h"

class CDmxUsbLink : public CDmxLink {
 public:
  static constexpr uint32_t kReadCount = 16;
  static constexpr uint32_t kPacketSize = 64;
  // 513 bytes need 65 groups in 10 packets: 513 + 65 + 10.
  static constexpr uint32_t kMaxFrameStream = 588;

  // Creates the device and the transfers; the link starts closed.
  CDmxUsbLink(LHandler* owner, LAsyncEnv* env);
  // Closes; gives back the transfers and the device; calls back the parameter requests
  // still held (see above); completes the read requests still queued.
  ~CDmxUsbLink() override;

  // Window thread. Vendor requests (see above). `request` stays the caller's; it must stay
  // alive until called back or cancelled. A request already queued is not queued again.
  virtual void requestParameters(CDmxParamRequest* request, void* user, DmxParamDone done);
  virtual void cancelParameterRequest(CDmxParamRequest* request);
  virtual void setParameters(CDmxParamRequest* request, void* user, DmxParamDone done,
                             uint32_t p1, uint32_t p2, uint32_t p3);
  virtual void cancelParameterSet(CDmxParamRequest* request);

  LNote handleNote(const LNote& note) override;

  // For tests.
  CUsbDevice* usbDevice() const noexcept { return device; }
  uint8_t outEndpoint() const noexcept { return outPipe; }
  uint8_t inEndpoint() const noexcept { return inPipe; }
  // Lock held: reads issued and not yet decoded.
  uint32_t readsOutstanding() const noexcept { return uint16_t(rxIssued - rxConsumed); }
  // Lock held: IN packets decoded since construction (failed reads not counted).
  uint32_t packetsDecoded() const noexcept { return packetsDecoded_; }
  bool isControlBusy() const noexcept { return controlBusy != 0; }
  // The value the read counters start from at the next open (0 unless a test sets one
  // just below their wrap).
  void setReadCounterStart(uint16_t start) noexcept { rxStart_ = start; }

  // The "get parameters" vendor request addressed to the data IN endpoint `inEndpoint`; its
  // reply is kParameterReplyLength bytes, three 16-bit little-endian values.
  static constexpr uint16_t kParameterReplyLength = 6;
  static UsbSetupPacket getParametersSetup(uint8_t inEndpoint) noexcept;

  // Packetises a frame of n bytes (1 to 513) into `out` (kMaxFrameStream bytes at least);
  // returns the stream length.
  static uint32_t encodeFrame(const uint8_t* frame, uint32_t n, uint8_t* out) noexcept;

 protected:
  uint32_t openDevice(const char* path) override;
  void closeDevice() override;
  void sendFrame(uint32_t n) override;
  void issueReads() override;

  // The completions the link starts its transfers with. Each ignores a transfer that is not
  // its own slot's (a start refused because the slot is busy calls back with a stand-in).
  static void writeTransferDone(void* user, CUsbTransfer* transfer);
  static void readTransferDone(void* user, CUsbTransfer* transfer);
  static void controlTransferDone(void* user, CUsbTransfer* transfer);
  // The transfer slots (for tests that start a busy one again).
  CUsbTransfer* controlSlot() const noexcept { return controlTransfer; }
  CUsbTransfer* writeSlot() const noexcept { return writeTransfer; }
  CUsbTransfer* readSlot(uint32_t i) const noexcept { return readTransfers[i & ringMask]; }

 private:
  // The device and all 18 transfers (each with its event) were made; false fails the open.
  bool hasEverything() const noexcept;

  // Lock held. Decodes every read handed back, in issue order.
  void decodePackets();
  // Window thread: the control transfer's note.
  void controlDone();
  // Result of the finished control transfer (kDone/kFailed/kDeviceGone); on a done get,
  // stores the reply in `request`.
  uint32_t controlResult(CDmxParamRequest* request) const noexcept;
  // Start the first queued set / get request if none is in flight and the link is open.
  void startSetRequest();
  void startGetRequest();
  void startControl(LList& queue, bool isGet);
  void queueParamRequest(LList& queue, CDmxParamRequest* request);
  void cancelParamRequest(LList& queue, CDmxParamRequest* request);
  // Calls back every request of `queue` with kFailed.
  static void failAll(LList& queue);

  CUsbDevice* const device;
  CUsbTransfer* controlTransfer = nullptr;
  CUsbTransfer* writeTransfer = nullptr;
  const uint16_t ringMask = kReadCount - 1;
  uint16_t rxConsumed = 0;
  uint16_t rxIssued = 0;
  // Reads handed back by the device (in issue order): only those may be decoded and their
  // slots reused. A read can finish before an earlier one has been handed back.
  uint16_t rxReturned = 0;
  uint16_t rxStart_ = 0;
  uint32_t packetsDecoded_ = 0;
  LAsyncEvent controlDoneEvent;
  LList getQueue;
  LList setQueue;
  CDmxParamRequest* currentParamRequest = nullptr;
  uint32_t rxCount = 0;
  uint8_t rxGroupOffset = 0;
  uint8_t rxBit = 0;
  uint8_t outPipe = 0;
  uint8_t inPipe = 0;
  uint8_t outIndex = 0;
  uint8_t inIndex = 0;
  uint8_t controlBusy = 0;
  uint8_t controlIsGet = 0;
  uint8_t decoding = 0;
  uint8_t getReply[kParameterReplyLength] = {};
  uint8_t setPayload[4] = {};
  CUsbTransfer* readTransfers[kReadCount] = {};
  uint8_t readBuffers[kReadCount][kPacketSize] = {};
  uint8_t txPackets[640] = {};
};
