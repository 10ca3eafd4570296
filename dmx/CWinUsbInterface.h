// CWinUsbInterface: one device's hold on WinUSB. It loads "winusb.dll" (one library
// reference per device), resolves the process-wide entry-point table (WinUsbApi.h) and
// keeps the two handles of an open device: the device file and the WinUSB interface.
//
// The handles are opened and closed by CWinUsbDevice, which owns this object; the
// destructor closes whatever is still open (WinUsb_Free, then CloseHandle) before the
// library reference is given back. Non-copyable.
#pragma once

#include "dmx/LLibrary.h"
#include "dmx/WinUsbApi.h"

class CWinUsbInterface : public LLibrary {
 public:
  CWinUsbInterface();
  ~CWinUsbInterface() override;

  bool isLoaded() const { return handle() != nullptr; }

  HANDLE file = INVALID_HANDLE_VALUE;
  winusb::WINUSB_INTERFACE_HANDLE usb = nullptr;

  // Takes both handles (leaving the closed values) and closes them. Nothing happens when
  // no interface handle is held.
  void closeHandles();
  // WinUsb_Free on the interface handle, then CloseHandle on the file.
  static void closeHandles(winusb::WINUSB_INTERFACE_HANDLE usb, HANDLE file);
};
