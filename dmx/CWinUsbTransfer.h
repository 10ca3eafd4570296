// CWinUsbTransfer: a transfer slot of CWinUsbDevice. It owns one OVERLAPPED record and its
// event (manual reset, made once), and is the LAsyncSignal through which the environment's
// thread tells the device (the signal's owner) that the event was set.
//
// Every rule of overlapped I/O lives here and in CWinUsbDevice's start: a start marks the
// record in flight on the device's file handle; poll reads the record only once its status
// word has left STATUS_PENDING, disarms the signal before it collects the result, and maps
// the outcome; watch resets the record's event and arms the signal on it.
//
// Threads: everything but construction and destruction runs with the environment lock held
// (the starting thread, or the environment's thread). Made and destroyed by the device's
// createTransfer and releaseTransfer on the thread that opens and closes devices; destroyed
// only while no operation is outstanding (after the device was closed).
#pragma once

#include <cstdint>

#include "dmx/CUsbTransfer.h"
#include "framework/LAsyncSignal.h"
#include "support/Windows.h"

class CWinUsbDevice;
class LAsyncEnv;

class CWinUsbTransfer : public CUsbTransfer, public LAsyncSignal {
 public:
  CWinUsbTransfer(CWinUsbDevice* device, LAsyncEnv* env);
  // Withdraws the signal from the wait set, then closes the event. Does not cancel.
  ~CWinUsbTransfer() override;

  bool poll() override;
  void watch() override;

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
  // Readies the record for an operation on `file` and marks it in flight.
  OVERLAPPED* launch(HANDLE file);
  // The start ended at once (with `bytes` on success): the record is no longer in flight.
  void landAtOnce(DWORD bytes);
  void finish(uint32_t bytes, uint32_t error) { setOutcome(bytes, error); }

  HANDLE event() const { return record_.overlapped.hEvent; }

 private:
  struct Record {
    OVERLAPPED overlapped;
    uint8_t inFlight;     // an operation was started on the record and not yet collected
    HANDLE file;          // the file handle it was started on
    DWORD storedBytes;    // bytes of an operation that ended at once
  };

  bool isPending() const;

  Record record_;
};
