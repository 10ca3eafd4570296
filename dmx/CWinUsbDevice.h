// CWinUsbDevice: the USB transport over WinUSB (see CUsbDevice for the contract).
//
// open makes the device path's file (exclusive, overlapped) and binds WinUSB to it; the
// transfers run as overlapped operations. Outstanding transfers wait in one queue per kind
// (pendingReads, pendingWrites, pendingControls), in start order. Only the head of each
// queue is watched (its transfer's signal armed in the environment), so a device adds at
// most three handles to the environment's wait set; open reserves that room (and fails as
// kOpenFailed when the environment cannot make it), close gives it back. When a watched
// event is set, the environment's thread sends "LAsyncSignal_X" here, and every queue hands
// back its finished transfers from the front until it meets one that is still running.
//
// A start made on the environment's thread reaches the driver after that thread's pass,
// outside the environment lock (CWinUsbTransfer). The driver queues each pipe's operations
// in the order they reach it, so a start made on another thread meanwhile first waits for
// the deferred calls to be made.
//
// A library that lacks an entry point fails the operations that need it cleanly: open
// gives kNotFound without WinUsb_Initialize or WinUsb_Free, findPipe false without
// WinUsb_QueryPipe or WinUsb_SetPipePolicy, getRelease 1 without WinUsb_GetDescriptor, and
// a transfer whose entry point is missing ends at once as failed.
//
// Owned by its link (the owner); the device owns its WinUSB interface (library reference
// and handles). The destructor closes (and so waits for the queues) before the library is
// given back.
#pragma once

#include <cstdint>

#include "dmx/CUsbDevice.h"
#include "dmx/CWinUsbInterface.h"
#include "support/LList.h"

class LAsyncEnv;
class CWinUsbTransfer;
struct WinUsbOperation;

class CWinUsbDevice : public CUsbDevice {
 public:
  // Loads WinUSB. `env` (the environment's dispatcher) must outlive the device.
  CWinUsbDevice(LHandler* owner, LAsyncEnv* env);
  ~CWinUsbDevice() override;

  LNote handleNote(const LNote& note) override;

  bool isOpen() const override { return usb_.usb != nullptr; }
  uint32_t open(const char* path) override;
  void close() override;
  CUsbTransfer* createTransfer() override;
  bool findPipe(uint8_t pipeType, uint8_t direction, uint32_t skip, uint8_t* address,
                uint8_t* addressCopy) override;
  void read(CUsbTransfer* transfer, uint8_t endpoint, void* buffer, uint32_t length, void* user,
            UsbTransferDone done) override;
  void write(CUsbTransfer* transfer, uint8_t endpoint, void* buffer, uint32_t length,
             void* user, UsbTransferDone done) override;
  void control(CUsbTransfer* transfer, const UsbSetupPacket& setup, void* buffer,
               uint32_t length, void* user, UsbTransferDone done) override;
  void abortPipe(uint8_t endpoint) override;
  uint32_t getRelease(uint32_t* release) override;

  // For tests: whether WinUSB was loaded, and the number of transfers outstanding in the
  // three queues (lock held, or nothing running).
  bool isLibraryLoaded() const { return usb_.isLoaded(); }
  uint32_t outstandingTransfers() const;

  // Lock held, environment thread: the driver call of a start deferred from that thread was
  // made and its answer applied.
  void deferredCallMade();

 private:
  // Hands back every finished transfer at the front of each queue; watches the first one
  // still running. Lock held.
  void processQueues();
  void start(CUsbTransfer* transfer, LList& queue, void* buffer, uint32_t length, void* user,
             UsbTransferDone done, const WinUsbOperation& operation);
  void processQueue(LList& queue);
  bool queuesEmpty();
  void releaseWaitRoom();

  // One watched transfer per queue.
  static constexpr uint32_t kWatchedPerDevice = 3;

  LAsyncEnv* const env_;
  bool waitRoomReserved_ = false;
  // Starts whose driver call the environment thread has deferred and not yet made.
  uint32_t deferredCalls_ = 0;
  LList pendingReads_;
  LList pendingWrites_;
  LList pendingControls_;
  CWinUsbInterface usb_;
};
