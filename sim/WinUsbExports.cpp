// The nine exported WinUSB entry points; each hands its call to the simulator.
#include "sim/SimWinUsb.h"
#include "sim/Simulator.h"

using sim::Simulator;

extern "C" {

BOOL WINAPI WinUsb_Initialize(HANDLE DeviceHandle, PWINUSB_INTERFACE_HANDLE InterfaceHandle) {
  return Simulator::instance().initialize(DeviceHandle, InterfaceHandle);
}

BOOL WINAPI WinUsb_Free(WINUSB_INTERFACE_HANDLE InterfaceHandle) {
  return Simulator::instance().free(InterfaceHandle);
}

BOOL WINAPI WinUsb_GetDescriptor(WINUSB_INTERFACE_HANDLE InterfaceHandle, UCHAR DescriptorType, UCHAR Index,
                                 USHORT LanguageID, PUCHAR Buffer, ULONG BufferLength,
                                 PULONG LengthTransferred) {
  return Simulator::instance().getDescriptor(InterfaceHandle, DescriptorType, Index, LanguageID, Buffer,
                                             BufferLength, LengthTransferred);
}

BOOL WINAPI WinUsb_QueryPipe(WINUSB_INTERFACE_HANDLE InterfaceHandle, UCHAR AlternateInterfaceNumber,
                             UCHAR PipeIndex, PWINUSB_PIPE_INFORMATION PipeInformation) {
  return Simulator::instance().queryPipe(InterfaceHandle, AlternateInterfaceNumber, PipeIndex, PipeInformation);
}

BOOL WINAPI WinUsb_SetPipePolicy(WINUSB_INTERFACE_HANDLE InterfaceHandle, UCHAR PipeID, ULONG PolicyType,
                                 ULONG ValueLength, PVOID Value) {
  return Simulator::instance().setPipePolicy(InterfaceHandle, PipeID, PolicyType, ValueLength, Value);
}

BOOL WINAPI WinUsb_ReadPipe(WINUSB_INTERFACE_HANDLE InterfaceHandle, UCHAR PipeID, PUCHAR Buffer,
                            ULONG BufferLength, PULONG LengthTransferred, LPOVERLAPPED Overlapped) {
  return Simulator::instance().readPipe(InterfaceHandle, PipeID, Buffer, BufferLength, LengthTransferred,
                                        Overlapped);
}

BOOL WINAPI WinUsb_WritePipe(WINUSB_INTERFACE_HANDLE InterfaceHandle, UCHAR PipeID, PUCHAR Buffer,
                             ULONG BufferLength, PULONG LengthTransferred, LPOVERLAPPED Overlapped) {
  return Simulator::instance().writePipe(InterfaceHandle, PipeID, Buffer, BufferLength, LengthTransferred,
                                         Overlapped);
}

BOOL WINAPI WinUsb_ControlTransfer(WINUSB_INTERFACE_HANDLE InterfaceHandle, WINUSB_SETUP_PACKET SetupPacket,
                                   PUCHAR Buffer, ULONG BufferLength, PULONG LengthTransferred,
                                   LPOVERLAPPED Overlapped) {
  return Simulator::instance().controlTransfer(InterfaceHandle, SetupPacket, Buffer, BufferLength,
                                               LengthTransferred, Overlapped);
}

BOOL WINAPI WinUsb_AbortPipe(WINUSB_INTERFACE_HANDLE InterfaceHandle, UCHAR PipeID) {
  return Simulator::instance().abortPipe(InterfaceHandle, PipeID);
}

}  // extern "C"
