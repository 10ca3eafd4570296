#include "dmx/CWinUsbInterface.h"

CWinUsbInterface::CWinUsbInterface() : LLibrary(LString::fromUtf8("winusb.dll")) {
  resolveWinUsbApi(*this);
}

CWinUsbInterface::~CWinUsbInterface() { closeHandles(); }

void CWinUsbInterface::closeHandles() {
  if (usb == nullptr) return;
  winusb::WINUSB_INTERFACE_HANDLE oldUsb = usb;
  HANDLE oldFile = file;
  usb = nullptr;
  file = INVALID_HANDLE_VALUE;
  closeHandles(oldUsb, oldFile);
}

void CWinUsbInterface::closeHandles(winusb::WINUSB_INTERFACE_HANDLE usb, HANDLE file) {
  // Free was present when the handle was made: open refuses to run without it.
  if (gWinUsbApi.Free != nullptr) gWinUsbApi.Free(usb);
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
}
