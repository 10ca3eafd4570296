// Which pipes carry the DMX data. Per direction: the first pipe of type 3 (interrupt, in
// WinUSB's numbering); only when that direction has none, its first pipe of type 2 (bulk).
// Interfaces of this kind come with either; a bulk pipe beside a type-3 pipe of the same
// direction is something else and is passed over.
//
// The link opens with findDataPipe; the tool's check marks the same pipes in its listing
// with dataPipeIndex. Pure rule plus CUsbDevice::findPipe; the thread is the caller's.
#pragma once

#include <cstddef>
#include <cstdint>

class CUsbDevice;

// The pipe types searched, most preferred first.
inline constexpr uint8_t kDataPipeTypes[] = {3, 2};

// Finds `direction`'s (CUsbDevice::kIn / kOut) data pipe on an open device and stores its
// endpoint address in both outputs (findPipe also sets its policies). False when the
// direction has no pipe of either type, or the device is closed.
bool findDataPipe(CUsbDevice& device, uint8_t direction, uint8_t* address, uint8_t* addressCopy);

// One pipe as an interface reports it.
struct UsbPipeKind {
  uint8_t pipeType;
  uint8_t endpoint;  // bit 7 set for IN
};

// Index of `direction`'s data pipe among `pipes` (in the interface's order); -1 when none.
int dataPipeIndex(const UsbPipeKind* pipes, size_t count, uint8_t direction);
