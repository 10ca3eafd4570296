#include "dmx/WinUsbApi.h"

#include "dmx/LModule.h"
#include "support/Variant.h"

WinUsbApi gWinUsbApi = {};

const char* const kWinUsbEntryPointNames[kWinUsbEntryPointCount] = {
    "WinUsb_Initialize",    "WinUsb_Free",      "WinUsb_GetDescriptor",
    "WinUsb_QueryPipe",     "WinUsb_SetPipePolicy", "WinUsb_ReadPipe",
    "WinUsb_WritePipe",     "WinUsb_ControlTransfer", "WinUsb_AbortPipe",
};

namespace {

template <typename Function>
Function entry(const FARPROC (&found)[kWinUsbEntryPointCount], int index) {
  return reinterpret_cast<Function>(reinterpret_cast<void*>(found[index]));
}

}  // namespace

void resolveWinUsbApi(const LModule& library) {
  static_assert(variant::kWinUsbEntryPoints <= kWinUsbEntryPointCount, "table too small");
  FARPROC found[kWinUsbEntryPointCount] = {};
  for (int i = 0; i < variant::kWinUsbEntryPoints; ++i)
    found[i] = library.lookup(kWinUsbEntryPointNames[i]);

  gWinUsbApi.Initialize = entry<winusb::Initialize_t>(found, 0);
  gWinUsbApi.Free = entry<winusb::Free_t>(found, 1);
  gWinUsbApi.GetDescriptor = entry<winusb::GetDescriptor_t>(found, 2);
  gWinUsbApi.QueryPipe = entry<winusb::QueryPipe_t>(found, 3);
  gWinUsbApi.SetPipePolicy = entry<winusb::SetPipePolicy_t>(found, 4);
  gWinUsbApi.ReadPipe = entry<winusb::ReadPipe_t>(found, 5);
  gWinUsbApi.WritePipe = entry<winusb::WritePipe_t>(found, 6);
  gWinUsbApi.ControlTransfer = entry<winusb::ControlTransfer_t>(found, 7);
  gWinUsbApi.AbortPipe = entry<winusb::AbortPipe_t>(found, 8);
}
