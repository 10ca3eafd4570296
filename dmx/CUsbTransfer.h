// One USB transfer slot: made once by a device's createTransfer, restarted for every
// transfer, and handed back through its callback when the transfer has ended.
//
// A transfer sits in its device's queue (through its list node) from its start until its
// callback is called; the device takes it off the queue first, so the callback may start it
// again at once. It must not be restarted before its callback has run (such a start is
// refused, see CUsbDevice::read), and must be released
// (CUsbDevice::releaseTransfer) only after the device was closed, when no transfer is
// outstanding.
//
// The results (length, error) are valid from the moment the callback is called until the
// transfer is started again. Callbacks run with the environment lock held: on the
// environment's thread, or on the starting thread when a transfer ends at once.
#pragma once

#include <cstdint>

#include "support/LList.h"

class CUsbDevice;
class CUsbTransfer;

// Called once per start, when the transfer has ended; `user` is what the starter passed.
using UsbTransferDone = void (*)(void* user, CUsbTransfer* transfer);

class CUsbTransfer : public LListNode {
 public:
  // Transfer outcomes (error()).
  static constexpr uint32_t kDone = 0;
  static constexpr uint32_t kFailed = 1;
  // The system reported ERROR_GEN_FAILURE: the device is gone or stopped responding.
  static constexpr uint32_t kDeviceGone = 2;

  CUsbTransfer(const CUsbTransfer&) = delete;
  CUsbTransfer& operator=(const CUsbTransfer&) = delete;
  ~CUsbTransfer() override;

  CUsbDevice* ownerDevice() const { return ownerDevice_; }
  void* buffer() const { return buffer_; }
  // Bytes asked for while outstanding; bytes transferred once finished (0 on failure).
  uint32_t length() const { return length_; }
  uint32_t error() const { return error_; }
  bool isFinished() const { return finished_ != 0; }

  // True once the outcome is known (then length() and error() hold it). Collects the
  // outcome of an operation that has ended. Called by the device with the environment lock
  // held.
  virtual bool poll() = 0;
  // Has the device told (by the note "LAsyncSignal_X") when the operation may have ended;
  // false when it has ended meanwhile, and poll collects it now. Called by the device, with
  // the environment lock held, only for the head of a queue.
  virtual bool watch() = 0;

 protected:
  CUsbTransfer() = default;

  // Fills the slot for a new start; clears the previous outcome.
  void prepare(CUsbDevice* device, void* buffer, uint32_t length, void* user,
               UsbTransferDone callback);
  // Records the outcome.
  void setOutcome(uint32_t bytes, uint32_t error);
  // Hands the transfer back to its starter; a null callback is skipped.
  void callBack() {
    if (callback_ != nullptr) callback_(user_, this);
  }

 private:
  CUsbDevice* ownerDevice_ = nullptr;
  void* user_ = nullptr;
  UsbTransferDone callback_ = nullptr;
  void* buffer_ = nullptr;
  uint32_t length_ = 0;
  uint32_t error_ = kDone;
  uint8_t finished_ = 0;
};
