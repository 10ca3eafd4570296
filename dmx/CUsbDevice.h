// The USB transport under the DMX link, as the link sees it: open a device path, find the
// pipes, read the release number, and run bulk and control transfers whose outcomes come
// back through a callback per transfer, in start order per kind (reads, writes, controls).
//
// Threads and locks. open, close, createTransfer, releaseTransfer, findPipe and getRelease
// run on the thread that opens and closes devices (the host's main thread). read, write and
// control are called with the environment lock held, from any thread (also from inside a
// transfer callback). Outcomes are collected on the environment's thread, under the lock; a
// transfer that ends at once calls back before its start returns.
//
// close must not be called on the environment's thread or with the environment lock held:
// it waits until the environment's thread has handed back every outstanding transfer.
//
// The owner (a link) owns the device and every transfer it created; transfers are released
// before the device is destroyed, and only while the device is closed.
#pragma once

#include <cstdint>

#include "dmx/CUsbTransfer.h"
#include "framework/LHandler.h"

// A control transfer's 8-byte setup packet, as it goes on the wire.
struct UsbSetupPacket {
  uint8_t requestType;
  uint8_t request;
  uint16_t value;
  uint16_t index;
  uint16_t length;
};

class CUsbDevice : public LHandler {
 public:
  // Results of open.
  static constexpr uint32_t kOpened = 0;
  static constexpr uint32_t kOpenFailed = 1;
  static constexpr uint32_t kNotFound = 2;  // no such device, or WinUSB is not available
  static constexpr uint32_t kAccessDenied = 3;  // held by another process

  // Directions of findPipe.
  static constexpr uint8_t kOut = 0;
  static constexpr uint8_t kIn = 1;

  explicit CUsbDevice(LHandler* owner) : LHandler(owner) {}
  CUsbDevice(const CUsbDevice&) = delete;
  CUsbDevice& operator=(const CUsbDevice&) = delete;
  ~CUsbDevice() override = default;

  virtual bool isOpen() const = 0;
  // Opens the device interface at `path` (UTF-8) for this process alone. Returns kOpened
  // also when already open (the path is then not looked at).
  virtual uint32_t open(const char* path) = 0;
  // Closes the device and returns once every outstanding transfer has called back (they
  // end as failed). Does nothing more when already closed.
  virtual void close() = 0;

  // A new transfer slot; null when it (or its event) cannot be made.
  virtual CUsbTransfer* createTransfer() = 0;
  // Destroys a transfer made by createTransfer; null is ignored.
  virtual void releaseTransfer(CUsbTransfer* transfer);

  // Finds pipe number `skip` (0: the first) whose type equals `pipeType` (compared with
  // the PipeType the system reports: 0 control, 1 isochronous, 2 bulk, 3 interrupt) and
  // whose direction is `direction` (kIn or kOut), sets its pipe policies, and stores its
  // endpoint address in both `address` and `addressCopy`. False when closed or not found.
  virtual bool findPipe(uint8_t pipeType, uint8_t direction, uint32_t skip, uint8_t* address,
                        uint8_t* addressCopy) = 0;

  // Start a transfer; the outcome arrives through `done` (error kFailed and length 0 when
  // the device is closed or the start fails). `buffer` must stay valid until then.
  // Starting a transfer that is still queued is refused: `done` is called at once with
  // `user` and a stand-in transfer (valid only during that call) holding error kFailed and
  // length 0; the queued operation and its own callback are left as they were.
  virtual void read(CUsbTransfer* transfer, uint8_t endpoint, void* buffer, uint32_t length,
                    void* user, UsbTransferDone done) = 0;
  virtual void write(CUsbTransfer* transfer, uint8_t endpoint, void* buffer, uint32_t length,
                     void* user, UsbTransferDone done) = 0;
  // A control transfer on the default pipe.
  virtual void control(CUsbTransfer* transfer, const UsbSetupPacket& setup, void* buffer,
                       uint32_t length, void* user, UsbTransferDone done) = 0;

  // Aborts the transfers of one pipe; does nothing when closed or not supported.
  virtual void abortPipe(uint8_t endpoint) = 0;

  // 0 and the device descriptor's bcdDevice in `release`; 1 when closed or on failure
  // (`release` unchanged).
  virtual uint32_t getRelease(uint32_t* release) = 0;
};
