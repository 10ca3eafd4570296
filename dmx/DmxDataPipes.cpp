#include "dmx/DmxDataPipes.h"

#include "dmx/CUsbDevice.h"

bool findDataPipe(CUsbDevice& device, uint8_t direction, uint8_t* address, uint8_t* addressCopy) {
  for (uint8_t type : kDataPipeTypes) {
    if (device.findPipe(type, direction, 0, address, addressCopy)) return true;
  }
  return false;
}

int dataPipeIndex(const UsbPipeKind* pipes, size_t count, uint8_t direction) {
  const bool wantIn = direction != CUsbDevice::kOut;
  for (uint8_t type : kDataPipeTypes) {
    for (size_t i = 0; i < count; ++i) {
      const bool isIn = (pipes[i].endpoint & 0x80) != 0;
      if (pipes[i].pipeType == type && isIn == wantIn) return static_cast<int>(i);
    }
  }
  return -1;
}
