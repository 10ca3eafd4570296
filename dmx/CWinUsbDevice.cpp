#include "dmx/CWinUsbDevice.h"

#include <new>

#include "dmx/CWinUsbTransfer.h"
#include "framework/LAsyncEnv.h"
#include "framework/NoteNames.h"
#include "support/Win32Text.h"

namespace {

CWinUsbTransfer* asWinUsb(CUsbTransfer* transfer) {
  return static_cast<CWinUsbTransfer*>(transfer);
}

CUsbTransfer* transferAt(LListNode* node) { return static_cast<CUsbTransfer*>(node); }

uint32_t openErrorResult(DWORD error) {
  switch (error) {
    case ERROR_ACCESS_DENIED:
      return CUsbDevice::kAccessDenied;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_NOT_FOUND:
      return CUsbDevice::kNotFound;
    default:
      return CUsbDevice::kOpenFailed;
  }
}

// What the callback of a refused start is handed: a transfer of its own that ended at once
// as failed, with no bytes. The refused slot is still queued and in flight; its record,
// outcome, callback and queue place belong to the operation it is running, so the refusal
// touches none of them. The stand-in lives only for that callback.
class RefusedStart final : public CUsbTransfer {
 public:
  RefusedStart(CUsbDevice* device, void* buffer, uint32_t length, void* user,
               UsbTransferDone done) {
    prepare(device, buffer, length, user, done);
    setOutcome(0, kFailed);
  }
  bool poll() override { return true; }
  bool watch() override { return true; }
  using CUsbTransfer::callBack;
};

uint32_t queueLength(const LList& queue) {
  uint32_t count = 0;
  for (LListNode* n = queue.first(); !LList::isEnd(n); n = n->next) ++count;
  return count;
}

}  // namespace

CWinUsbDevice::CWinUsbDevice(LHandler* owner, LAsyncEnv* env) : CUsbDevice(owner), env_(env) {}

CWinUsbDevice::~CWinUsbDevice() { close(); }

LNote CWinUsbDevice::handleNote(const LNote& note) {
  if (noteNameEqual(note.name, LAsyncSignal_X)) {
    // The device's signals are its transfers.
    if (note.sender != nullptr)
      static_cast<CWinUsbTransfer*>(static_cast<LAsyncSignal*>(note.sender))->noteSignalled();
    processQueues();
    return LNote();
  }
  return CUsbDevice::handleNote(note);
}

uint32_t CWinUsbDevice::open(const char* path) {
  if (isOpen()) return kOpened;
  if (!usb_.isLoaded()) return kNotFound;
  // Without these two the device could be neither bound nor given back.
  if (gWinUsbApi.Initialize == nullptr || gWinUsbApi.Free == nullptr) return kNotFound;

  // Room in the environment's wait for this device's transfers, asked for while the open
  // can still fail cleanly; later no transfer could be left unwatched.
  if (!env_->reserveSignals(kWatchedPerDevice)) return kOpenFailed;
  waitRoomReserved_ = true;

  HANDLE file = w32::createFile(path, GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING,
                                FILE_FLAG_OVERLAPPED);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    releaseWaitRoom();
    return openErrorResult(error);
  }

  winusb::WINUSB_INTERFACE_HANDLE handle = nullptr;
  if (!gWinUsbApi.Initialize(file, &handle)) {
    CloseHandle(file);
    releaseWaitRoom();
    return kOpenFailed;
  }
  usb_.file = file;
  usb_.usb = handle;
  return kOpened;
}

void CWinUsbDevice::close() {
  // Transfers may be restarted on the environment's thread meanwhile; they must see the
  // device either open or closed, never half of it.
  env_->lock();
  winusb::WINUSB_INTERFACE_HANDLE handle = usb_.usb;
  HANDLE file = usb_.file;
  usb_.usb = nullptr;
  usb_.file = INVALID_HANDLE_VALUE;
  env_->unlock();

  // A start queued on the environment's thread before the handles were taken may still be
  // calling the driver with them.
  env_->waitForUnlockedCalls();
  // Freeing the interface ends every outstanding operation; no pipe is aborted first.
  if (handle != nullptr) CWinUsbInterface::closeHandles(handle, file);
  while (!queuesEmpty()) Sleep(100);
  // Nothing of this device is watched any more.
  releaseWaitRoom();
}

void CWinUsbDevice::releaseWaitRoom() {
  if (!waitRoomReserved_) return;
  waitRoomReserved_ = false;
  env_->releaseSignals(kWatchedPerDevice);
}

bool CWinUsbDevice::queuesEmpty() {
  env_->lock();
  bool empty = pendingReads_.isEmpty() && pendingWrites_.isEmpty() && pendingControls_.isEmpty();
  env_->unlock();
  return empty;
}

uint32_t CWinUsbDevice::outstandingTransfers() const {
  return queueLength(pendingReads_) + queueLength(pendingWrites_) +
         queueLength(pendingControls_);
}

CUsbTransfer* CWinUsbDevice::createTransfer() {
  // Null when there is no memory or no event for it: the link then refuses to open.
  auto* transfer = new (std::nothrow) CWinUsbTransfer(this, env_);
  if (transfer != nullptr && !transfer->canLaunch()) {
    delete transfer;
    return nullptr;
  }
  return transfer;
}

bool CWinUsbDevice::findPipe(uint8_t pipeType, uint8_t direction, uint32_t skip,
                             uint8_t* address, uint8_t* addressCopy) {
  if (!isOpen()) return false;
  if (gWinUsbApi.QueryPipe == nullptr || gWinUsbApi.SetPipePolicy == nullptr) return false;

  const bool wantIn = direction != kOut;
  for (unsigned index = 0; index <= 0xFF; ++index) {
    winusb::WINUSB_PIPE_INFORMATION info = {};
    if (!gWinUsbApi.QueryPipe(usb_.usb, 0, static_cast<UCHAR>(index), &info)) return false;
    const bool isIn = (info.PipeId & 0x80) != 0;
    if (static_cast<int>(info.PipeType) != pipeType || isIn != wantIn) continue;
    if (skip != 0) {
      --skip;
      continue;
    }
    UCHAR on = 1;
    gWinUsbApi.SetPipePolicy(usb_.usb, info.PipeId, winusb::AUTO_CLEAR_STALL, 1, &on);
    gWinUsbApi.SetPipePolicy(usb_.usb, info.PipeId, winusb::AUTO_FLUSH, 1, &on);
    if (address != nullptr) *address = info.PipeId;
    if (addressCopy != nullptr) *addressCopy = info.PipeId;
    return true;
  }
  return false;
}

uint32_t CWinUsbDevice::getRelease(uint32_t* release) {
  if (!isOpen() || gWinUsbApi.GetDescriptor == nullptr) return 1;
  UCHAR descriptor[18] = {};
  ULONG transferred = 0;
  if (!gWinUsbApi.GetDescriptor(usb_.usb, winusb::USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, descriptor,
                                sizeof descriptor, &transferred))
    return 1;
  if (release != nullptr) *release = descriptor[12] | (descriptor[13] << 8);
  return 0;
}

void CWinUsbDevice::abortPipe(uint8_t endpoint) {
  // Unresolved in the x86 build.
  if (isOpen() && gWinUsbApi.AbortPipe != nullptr) gWinUsbApi.AbortPipe(usb_.usb, endpoint);
}

void CWinUsbDevice::start(CUsbTransfer* transfer, LList& queue, void* buffer, uint32_t length,
                          void* user, UsbTransferDone done, const WinUsbOperation& operation) {
  if (transfer == nullptr) return;
  // A transfer still queued has not called back yet and cannot be restarted. Dropping the
  // start would leave its starter waiting for a callback that never comes: it ends at once
  // as failed instead, through a stand-in, and the queued operation goes on undisturbed.
  if (transfer->isLinked()) {
    RefusedStart(this, buffer, length, user, done).callBack();
    return;
  }
  CWinUsbTransfer* t = asWinUsb(transfer);
  t->begin(this, buffer, length, user, done);
  queue.pushBack(transfer);

  if (!isOpen() || !operation.isAvailable() || !t->canLaunch()) {
    t->fail();
  } else {
    t->launch(usb_.file, usb_.usb, operation);
    if (t->deferDriverCall()) {
      ++deferredCalls_;
    } else {
      // The driver queues a pipe's operations in the order they reach it: a start that the
      // environment thread has queued and not yet made goes to it first.
      if (deferredCalls_ != 0) env_->waitForUnlockedCalls();
      t->callDriverNow();
    }
  }
  processQueues();
}

void CWinUsbDevice::deferredCallMade() {
  --deferredCalls_;
  // The transfer, finished at once or running, is handed back or watched as after a start
  // made on the spot.
  processQueues();
}

void CWinUsbDevice::read(CUsbTransfer* transfer, uint8_t endpoint, void* buffer,
                         uint32_t length, void* user, UsbTransferDone done) {
  start(transfer, pendingReads_, buffer, length, user, done,
        WinUsbOperation{WinUsbOperation::kRead, endpoint, {}});
}

void CWinUsbDevice::write(CUsbTransfer* transfer, uint8_t endpoint, void* buffer,
                          uint32_t length, void* user, UsbTransferDone done) {
  start(transfer, pendingWrites_, buffer, length, user, done,
        WinUsbOperation{WinUsbOperation::kWrite, endpoint, {}});
}

void CWinUsbDevice::control(CUsbTransfer* transfer, const UsbSetupPacket& setup, void* buffer,
                            uint32_t length, void* user, UsbTransferDone done) {
  start(transfer, pendingControls_, buffer, length, user, done,
        WinUsbOperation{WinUsbOperation::kControl, 0, setup});
}

void CWinUsbDevice::processQueues() {
  processQueue(pendingReads_);
  processQueue(pendingWrites_);
  processQueue(pendingControls_);
}

void CWinUsbDevice::processQueue(LList& queue) {
  while (!queue.isEmpty()) {
    CUsbTransfer* head = transferAt(queue.first());
    if (!head->poll()) {
      if (head->watch()) return;
      continue;
    }
    queue.popFront();
    // Off the queue before the callback: the callback may start it again.
    asWinUsb(head)->callBack();
  }
}
