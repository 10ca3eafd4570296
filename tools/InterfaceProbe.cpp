#include "tools/InterfaceProbe.h"

#include "dmx/CDmxUsbLink.h"
#include "dmx/CUsbDevice.h"
#include "dmx/CWinUsbInterface.h"
#include "dmx/DmxDataPipes.h"
#include "support/Win32Text.h"

namespace {

// The entry points without which an object cannot open and carry frames.
struct NeededEntry {
  const char* name;
  bool present;
};

void listPipes(winusb::WINUSB_INTERFACE_HANDLE usb, InterfaceProbe& probe) {
  std::vector<UsbPipeKind> kinds;
  for (unsigned index = 0; index <= 0xFF; ++index) {
    winusb::WINUSB_PIPE_INFORMATION info = {};
    if (!gWinUsbApi.QueryPipe(usb, 0, static_cast<UCHAR>(index), &info)) break;
    const auto type = static_cast<uint8_t>(info.PipeType);
    probe.pipes.push_back({static_cast<uint8_t>(index), type, info.PipeId, info.MaximumPacketSize});
    kinds.push_back({type, info.PipeId});
  }
  probe.dataIn = dataPipeIndex(kinds.data(), kinds.size(), CUsbDevice::kIn);
  probe.dataOut = dataPipeIndex(kinds.data(), kinds.size(), CUsbDevice::kOut);
}

void readDescriptor(winusb::WINUSB_INTERFACE_HANDLE usb, InterfaceProbe& probe) {
  if (gWinUsbApi.GetDescriptor == nullptr) return;
  UCHAR descriptor[18] = {};
  ULONG length = 0;
  if (!gWinUsbApi.GetDescriptor(usb, winusb::USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, descriptor,
                                sizeof descriptor, &length) ||
      length < sizeof descriptor)
    return;
  probe.hasDescriptor = true;
  probe.vendorId = static_cast<uint16_t>(descriptor[8] | descriptor[9] << 8);
  probe.productId = static_cast<uint16_t>(descriptor[10] | descriptor[11] << 8);
  probe.bcdDevice = static_cast<uint16_t>(descriptor[12] | descriptor[13] << 8);
}

void readParameters(winusb::WINUSB_INTERFACE_HANDLE usb, uint8_t inEndpoint, InterfaceProbe& probe) {
  if (gWinUsbApi.ControlTransfer == nullptr) {
    probe.parametersError = ERROR_PROC_NOT_FOUND;
    return;
  }
  const UsbSetupPacket setup = CDmxUsbLink::getParametersSetup(inEndpoint);
  winusb::WINUSB_SETUP_PACKET packet = {setup.requestType, setup.request, setup.value, setup.index, setup.length};
  UCHAR reply[CDmxUsbLink::kParameterReplyLength] = {};
  ULONG length = 0;
  // No OVERLAPPED: WinUSB then completes the request before it returns.
  if (!gWinUsbApi.ControlTransfer(usb, packet, reply, sizeof reply, &length, nullptr)) {
    probe.parametersError = GetLastError();
    return;
  }
  probe.hasParameters = true;
  for (int i = 0; i < 3; ++i) probe.parameters[i] = static_cast<uint16_t>(reply[2 * i] | reply[2 * i + 1] << 8);
}

InterfaceProbe failed(InterfaceProbe probe, ProbeStep step, DWORD error) {
  probe.step = step;
  probe.error = error;
  return probe;
}

}  // namespace

InterfaceProbe probeInterface(const char* devicePath) {
  InterfaceProbe probe;
  SetLastError(ERROR_SUCCESS);
  CWinUsbInterface usb;
  if (!usb.isLoaded()) return failed(probe, ProbeStep::LibraryMissing, GetLastError());
  const NeededEntry needed[] = {
      {"WinUsb_Initialize", gWinUsbApi.Initialize != nullptr},
      {"WinUsb_Free", gWinUsbApi.Free != nullptr},
      {"WinUsb_QueryPipe", gWinUsbApi.QueryPipe != nullptr},
      {"WinUsb_SetPipePolicy", gWinUsbApi.SetPipePolicy != nullptr},
      {"WinUsb_ReadPipe", gWinUsbApi.ReadPipe != nullptr},
      {"WinUsb_WritePipe", gWinUsbApi.WritePipe != nullptr},
  };
  for (const NeededEntry& entry : needed) {
    if (entry.present) continue;
    probe.missingEntry = entry.name;
    return failed(probe, ProbeStep::EntryMissing, ERROR_PROC_NOT_FOUND);
  }

  // As CWinUsbDevice::open makes it: exclusive and overlapped.
  const HANDLE file = w32::createFile(devicePath, GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING,
                                      FILE_FLAG_OVERLAPPED);
  if (file == INVALID_HANDLE_VALUE) return failed(probe, ProbeStep::PathRefused, GetLastError());
  winusb::WINUSB_INTERFACE_HANDLE handle = nullptr;
  if (!gWinUsbApi.Initialize(file, &handle)) {
    const DWORD error = GetLastError();
    CloseHandle(file);
    return failed(probe, ProbeStep::BindingRefused, error);
  }
  // From here `usb` owns both handles and closes them when the probe ends.
  usb.file = file;
  usb.usb = handle;

  listPipes(handle, probe);
  if (probe.dataIn < 0 || probe.dataOut < 0) return failed(probe, ProbeStep::PipesMissing, 0);
  readDescriptor(handle, probe);
  readParameters(handle, probe.pipes[static_cast<size_t>(probe.dataIn)].endpoint, probe);
  return probe;
}
