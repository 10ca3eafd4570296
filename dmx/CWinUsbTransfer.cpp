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

bool WinUsbOperation::isAvailable() const {
  switch (kind) {
    case kRead:
      return gWinUsbApi.ReadPipe != nullptr;
    case kWrite:
      return gWinUsbApi.WritePipe != nullptr;
    case kControl:
      return gWinUsbApi.ControlTransfer != nullptr;
  }
  return false;
}

void CWinUsbTransfer::launch(HANDLE file, winusb::WINUSB_INTERFACE_HANDLE usb,
                             const WinUsbOperation& operation) {
  HANDLE event = record_.overlapped.hEvent;
  std::memset(&record_.overlapped, 0, sizeof record_.overlapped);
  record_.overlapped.hEvent = event;
  // Pending until the driver says otherwise, so that poll never takes a record that the
  // driver has not written yet for a finished one.
  record_.overlapped.Internal = STATUS_PENDING;
  record_.inFlight = 1;
  record_.file = file;
  record_.storedBytes = 0;
  usb_ = usb;
  operation_ = operation;
}

bool CWinUsbTransfer::deferDriverCall() {
  awaitingDriver_ = env() != nullptr && env()->deferUnlocked(this);
  return awaitingDriver_;
}

void CWinUsbTransfer::callDriverNow() { apply(issue()); }

CWinUsbTransfer::DriverAnswer CWinUsbTransfer::issue() {
  auto* data = static_cast<PUCHAR>(buffer());
  DriverAnswer answer = {};
  switch (operation_.kind) {
    case WinUsbOperation::kRead:
      answer.ok = gWinUsbApi.ReadPipe(usb_, operation_.endpoint, data, length(), &answer.bytes,
                                      &record_.overlapped);
      break;
    case WinUsbOperation::kWrite:
      answer.ok = gWinUsbApi.WritePipe(usb_, operation_.endpoint, data, length(), &answer.bytes,
                                       &record_.overlapped);
      break;
    case WinUsbOperation::kControl: {
      winusb::WINUSB_SETUP_PACKET packet;
      packet.RequestType = operation_.setup.requestType;
      packet.Request = operation_.setup.request;
      packet.Value = operation_.setup.value;
      packet.Index = operation_.setup.index;
      packet.Length = operation_.setup.length;
      answer.ok = gWinUsbApi.ControlTransfer(usb_, packet, data, length(), &answer.bytes,
                                             &record_.overlapped);
      break;
    }
  }
  answer.error = answer.ok ? ERROR_SUCCESS : GetLastError();
  return answer;
}

void CWinUsbTransfer::apply(const DriverAnswer& answer) {
  if (!answer.ok && answer.error == ERROR_IO_PENDING) return;
  const DWORD bytes = answer.ok ? answer.bytes : 0;
  record_.inFlight = 0;
  record_.storedBytes = bytes;
  SetEvent(record_.overlapped.hEvent);
  setOutcome(bytes, answer.ok ? kDone : kFailed);
}

void CWinUsbTransfer::runUnlocked() { deferredAnswer_ = issue(); }

void CWinUsbTransfer::finishLocked() {
  awaitingDriver_ = false;
  apply(deferredAnswer_);
  static_cast<CWinUsbDevice*>(ownerDevice())->deferredCallMade();
}

bool CWinUsbTransfer::poll() {
  if (isFinished()) return true;
  if (awaitingDriver_ || isPending()) return false;

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
  eventLeftSet_ = false;
  if (ok) {
    setOutcome(bytes, kDone);
  } else {
    setOutcome(0, GetLastError() == ERROR_GEN_FAILURE ? kDeviceGone : kFailed);
  }
  return true;
}

bool CWinUsbTransfer::watch() {
  // The event is the same object for as long as the operation runs: arming it again would
  // only make the environment wait on it afresh. An operation the driver has not seen yet is
  // watched once the deferred call has been made (the device looks at its queues then).
  if (isArmed() || awaitingDriver_) return true;
  HANDLE event = record_.overlapped.hEvent;
  // Told of an end while the operation still runs: the event was left set by the slot's
  // last operation (a driver resets it when an operation starts, but not every one does).
  // It is reset only then, a request saved on every start for the drivers that do.
  if (eventLeftSet_) {
    eventLeftSet_ = false;
    ResetEvent(event);
    // Ended meanwhile (its status word is written before its event is set): collected now.
    if (!isPending()) return false;
  }
  arm(event);
  return true;
}

void CWinUsbTransfer::noteSignalled() { eventLeftSet_ = !isFinished(); }
