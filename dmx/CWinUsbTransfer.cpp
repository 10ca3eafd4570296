#include "dmx/CWinUsbTransfer.h"

#include <cstring>

#include "dmx/CWinUsbDevice.h"
#include "framework/LAsyncEnv.h"

CWinUsbTransfer::CWinUsbTransfer(CWinUsbDevice* device, LAsyncEnv* env)
    : LAsyncSignal(device, env) {
  std::memset(&record_, 0, sizeof record_);
  record_.file = INVALID_HANDLE_VALUE;
  record_.overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
}

CWinUsbTransfer::~CWinUsbTransfer() {
  // Out of the wait set before the handle dies: a closed handle in the environment's wait
  // would fail the whole wait.
  if (env() != nullptr) env()->unregisterSignalLocked(this);
  if (record_.overlapped.hEvent != nullptr) CloseHandle(record_.overlapped.hEvent);
}

bool CWinUsbTransfer::isPending() const {
  // The driver writes the status word from another thread.
  const volatile ULONG_PTR* status = &record_.overlapped.Internal;
  return *status == STATUS_PENDING;
}

bool CWinUsbTransfer::canLaunch() const { return record_.overlapped.hEvent != nullptr; }

OVERLAPPED* CWinUsbTransfer::launch(HANDLE file) {
  HANDLE event = record_.overlapped.hEvent;
  std::memset(&record_.overlapped, 0, sizeof record_.overlapped);
  record_.overlapped.hEvent = event;
  // Pending until the driver says otherwise, so that poll never takes a record that the
  // driver has not written yet for a finished one.
  record_.overlapped.Internal = STATUS_PENDING;
  record_.inFlight = 1;
  record_.file = file;
  record_.storedBytes = 0;
  return &record_.overlapped;
}

void CWinUsbTransfer::landAtOnce(DWORD bytes) {
  record_.inFlight = 0;
  record_.storedBytes = bytes;
  SetEvent(record_.overlapped.hEvent);
}

bool CWinUsbTransfer::poll() {
  if (isFinished()) return true;
  if (isPending()) return false;

  // Out of the wait set before the result is read: the signal may have been armed and the
  // event may already be set.
  disarm();
  DWORD bytes = 0;
  BOOL ok = TRUE;
  if (record_.inFlight) {
    ok = GetOverlappedResult(record_.file, &record_.overlapped, &bytes, TRUE);
    record_.inFlight = 0;
  } else {
    bytes = record_.storedBytes;
  }
  if (ok) {
    setOutcome(bytes, kDone);
  } else {
    setOutcome(0, GetLastError() == ERROR_GEN_FAILURE ? kDeviceGone : kFailed);
  }
  return true;
}

void CWinUsbTransfer::watch() {
  // The event is the same object for as long as the operation runs: arming it again would
  // only make the environment wait on it afresh.
  if (isArmed()) return;
  // The event may still be set from the slot's previous operation (a driver resets it when
  // an operation starts, but not every one does): it is reset here, once per wait rather
  // than once per start, a call saved for each transfer that ends behind the head of its
  // queue. An operation that ended just before the reset (its status word is written
  // before its event is set) gets its event back, so that it is handed back by the
  // environment thread as any other.
  HANDLE event = record_.overlapped.hEvent;
  ResetEvent(event);
  if (!isPending()) SetEvent(event);
  arm(event);
}
