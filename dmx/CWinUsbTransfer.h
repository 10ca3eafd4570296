// CWinUsbTransfer: a transfer slot of CWinUsbDevice. It owns one OVERLAPPED record and its
// event (manual reset, made once), and is the LAsyncSignal through which the environment's
// thread tells the device (the signal's owner) that the event was set.
//
// Every rule of overlapped I/O lives here and in CWinUsbDevice's start: a start marks the
// record in flight on the device's file handle; poll reads the record only once its status
// word has left STATUS_PENDING, disarms the signal before it collects the result, and maps
// the outcome; watch arms the signal on the record's event, which it resets first only when
// the event was found set by an earlier operation.
//
// A start made on the environment's thread (a transfer restarted from a completion) calls
// the driver after the thread's pass, outside the environment lock (LUnlockedCall): the
// record is launched and queued under the lock, and counts as pending until the driver's
// answer has been applied under the lock again.
//
// Threads: everything but construction, destruction and that deferred driver call runs
// with the environment lock held (the starting thread, or the environment's thread). Made
// and destroyed by the device's createTransfer and releaseTransfer on the thread that opens
// and closes devices; destroyed only while no operation is outstanding (after the device
// was closed).
#pragma once

#include <cstdint>

#include "dmx/CUsbDevice.h"
#include "dmx/CUsbTransfer.h"
#include "dmx/WinUsbApi.h"
#include "framework/LAsyncSignal.h"
#include "framework/LUnlockedCall.h"
#include "support/Windows.h"

class CWinUsbDevice;
class LAsyncEnv;

// The driver call a start makes.
struct WinUsbOperation {
  enum Kind : uint8_t { kRead, kWrite, kControl };
  Kind kind;
  uint8_t endpoint;     // reads and writes
  UsbSetupPacket setup; // control transfers

  // The library resolved the entry point this call needs.
  bool isAvailable() const;
};

class CWinUsbTransfer : public CUsbTransfer, public LAsyncSignal, private LUnlockedCall {
 public:
  CWinUsbTransfer(CWinUsbDevice* device, LAsyncEnv* env);
  // Withdraws the signal from the wait set, then closes the event. Does not cancel.
  ~CWinUsbTransfer() override;

  bool poll() override;
  bool watch() override;
  // The environment thread told the device that this transfer's event is set.
  void noteSignalled();

  // ---- used by CWinUsbDevice, lock held ----
  using CUsbTransfer::callBack;
  void begin(CUsbDevice* device, void* buffer, uint32_t length, void* user,
             UsbTransferDone done) {
    prepare(device, buffer, length, user, done);
  }
  // False when no operation can be started on the record: it has no event. (An earlier
  // operation is always collected before its transfer leaves the queue, and a queued
  // transfer is never started again.)
  bool canLaunch() const;
  // Readies the record for `operation` on the device's handles and marks it in flight.
  void launch(HANDLE file, winusb::WINUSB_INTERFACE_HANDLE usb, const WinUsbOperation& operation);
  // Then the driver is called: after the pass when the environment's thread can defer the
  // call (true), or now. A driver that ends the operation at once finishes the transfer.
  bool deferDriverCall();
  void callDriverNow();
  // The start was refused before the driver saw it.
  void fail() { setOutcome(0, kFailed); }

  HANDLE event() const { return record_.overlapped.hEvent; }

 private:
  struct Record {
    OVERLAPPED overlapped;
    uint8_t inFlight;     // an operation was started on the record and not yet collected
    HANDLE file;          // the file handle it was started on
    DWORD storedBytes;    // bytes of an operation that ended at once
  };

  struct DriverAnswer {
    BOOL ok;
    DWORD error;
    ULONG bytes;
  };
  bool isPending() const;
  DriverAnswer issue();
  // The driver's answer to a start: nothing while the operation runs; otherwise the record
  // is no longer in flight and the transfer is finished.
  void apply(const DriverAnswer& answer);
  void runUnlocked() override;
  void finishLocked() override;

  Record record_;
  winusb::WINUSB_INTERFACE_HANDLE usb_ = nullptr;
  WinUsbOperation operation_ = {};
  // The driver has not been called yet, or its answer not applied (lock held).
  bool awaitingDriver_ = false;
  // The event was found set while the operation ran: reset it before waiting again.
  bool eventLeftSet_ = false;
  // Written outside the lock by the environment's thread, read by it under the lock.
  DriverAnswer deferredAnswer_ = {};
};
