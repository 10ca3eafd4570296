// The WinUSB functions the transport calls, bound at run time.
//
// winusb.dll is never linked: CWinUsbInterface loads it by name and resolves the entry
// points into the one process-wide table below. Every caller checks its entry for null
// before calling it, because a library that loaded may still lack an export (and the x86
// build never resolves WinUsb_AbortPipe).
//
// The types are declared here from WinUSB's published interface, in their own namespace so
// that they cannot collide with another declaration of the same names.
#pragma once

#include <cstdint>

#include "support/Windows.h"

namespace winusb {

using WINUSB_INTERFACE_HANDLE = void*;

// USBD_PIPE_TYPE.
enum USBD_PIPE_TYPE : int {
  UsbdPipeTypeControl = 0,
  UsbdPipeTypeIsochronous = 1,
  UsbdPipeTypeBulk = 2,
  UsbdPipeTypeInterrupt = 3,
};

struct WINUSB_PIPE_INFORMATION {
  USBD_PIPE_TYPE PipeType;
  UCHAR PipeId;  // endpoint address; bit 7 set for IN
  USHORT MaximumPacketSize;
  UCHAR Interval;
};

#pragma pack(push, 1)
struct WINUSB_SETUP_PACKET {
  UCHAR RequestType;
  UCHAR Request;
  USHORT Value;
  USHORT Index;
  USHORT Length;
};
#pragma pack(pop)
static_assert(sizeof(WINUSB_SETUP_PACKET) == 8, "the setup packet travels by value, 8 bytes");

// Pipe policies (WinUsb_SetPipePolicy).
inline constexpr ULONG AUTO_CLEAR_STALL = 0x02;
inline constexpr ULONG AUTO_FLUSH = 0x06;

inline constexpr UCHAR USB_DEVICE_DESCRIPTOR_TYPE = 0x01;

using Initialize_t = BOOL(WINAPI*)(HANDLE deviceHandle, WINUSB_INTERFACE_HANDLE* interfaceHandle);
using Free_t = BOOL(WINAPI*)(WINUSB_INTERFACE_HANDLE interfaceHandle);
using GetDescriptor_t = BOOL(WINAPI*)(WINUSB_INTERFACE_HANDLE interfaceHandle, UCHAR descriptorType,
                                      UCHAR index, USHORT languageId, PUCHAR buffer,
                                      ULONG bufferLength, PULONG lengthTransferred);
using QueryPipe_t = BOOL(WINAPI*)(WINUSB_INTERFACE_HANDLE interfaceHandle,
                                  UCHAR alternateInterfaceNumber, UCHAR pipeIndex,
                                  WINUSB_PIPE_INFORMATION* pipeInformation);
using SetPipePolicy_t = BOOL(WINAPI*)(WINUSB_INTERFACE_HANDLE interfaceHandle, UCHAR pipeId,
                                      ULONG policyType, ULONG valueLength, PVOID value);
using ReadPipe_t = BOOL(WINAPI*)(WINUSB_INTERFACE_HANDLE interfaceHandle, UCHAR pipeId,
                                 PUCHAR buffer, ULONG bufferLength, PULONG lengthTransferred,
                                 LPOVERLAPPED overlapped);
using WritePipe_t = BOOL(WINAPI*)(WINUSB_INTERFACE_HANDLE interfaceHandle, UCHAR pipeId,
                                  PUCHAR buffer, ULONG bufferLength, PULONG lengthTransferred,
                                  LPOVERLAPPED overlapped);
using ControlTransfer_t = BOOL(WINAPI*)(WINUSB_INTERFACE_HANDLE interfaceHandle,
                                        WINUSB_SETUP_PACKET setupPacket, PUCHAR buffer,
                                        ULONG bufferLength, PULONG lengthTransferred,
                                        LPOVERLAPPED overlapped);
using AbortPipe_t = BOOL(WINAPI*)(WINUSB_INTERFACE_HANDLE interfaceHandle, UCHAR pipeId);

}  // namespace winusb

// The process-wide entry-point table, in resolution order. An entry is null until resolved
// and stays null when the library lacks it.
//
// Written by every CWinUsbInterface construction (on the thread that opens devices); read by
// the device operations under the environment lock or on the environment's thread. A rewrite
// stores the same addresses as long as any device holds the library, so readers never see a
// different function.
struct WinUsbApi {
  winusb::Initialize_t Initialize;
  winusb::Free_t Free;
  winusb::GetDescriptor_t GetDescriptor;
  winusb::QueryPipe_t QueryPipe;
  winusb::SetPipePolicy_t SetPipePolicy;
  winusb::ReadPipe_t ReadPipe;
  winusb::WritePipe_t WritePipe;
  winusb::ControlTransfer_t ControlTransfer;
  winusb::AbortPipe_t AbortPipe;
};

extern WinUsbApi gWinUsbApi;

// Names of the entry points in resolution order; the first variant::kWinUsbEntryPoints are
// looked up.
inline constexpr int kWinUsbEntryPointCount = 9;
extern const char* const kWinUsbEntryPointNames[kWinUsbEntryPointCount];

class LModule;
// Looks up the entry points in `library`, in table order, and overwrites the table with
// what was found (null included). The x86 build leaves WinUsb_AbortPipe unresolved.
void resolveWinUsbApi(const LModule& library);
