#include "dmx/CUsbTransfer.h"

CUsbTransfer::~CUsbTransfer() = default;

void CUsbTransfer::prepare(CUsbDevice* device, void* buffer, uint32_t length, void* user,
                           UsbTransferDone callback) {
  ownerDevice_ = device;
  user_ = user;
  callback_ = callback;
  buffer_ = buffer;
  length_ = length;
  error_ = kDone;
  finished_ = 0;
}

void CUsbTransfer::setOutcome(uint32_t bytes, uint32_t error) {
  length_ = bytes;
  error_ = error;
  finished_ = 1;
}
