// The WinUSB entry points as the simulated winusb.dll exports them: the published types
// and signatures (WINAPI; undecorated export names in both architectures), declared here
// so that neither the simulator nor its tests need the system's WinUSB headers.
//
// What each entry point does in the simulator is described in SimControl.h. Call them
// through GetProcAddress, as the product does: on x86 the import library of winusb_sim
// knows the plain export names only, not the decorated stdcall names a call would need.
#pragma once

#include "support/Windows.h"

typedef PVOID WINUSB_INTERFACE_HANDLE, *PWINUSB_INTERFACE_HANDLE;

// USBD_PIPE_TYPE: 0 control, 1 isochronous, 2 bulk, 3 interrupt.
typedef enum _USBD_PIPE_TYPE {
  UsbdPipeTypeControl,
  UsbdPipeTypeIsochronous,
  UsbdPipeTypeBulk,
  UsbdPipeTypeInterrupt
} USBD_PIPE_TYPE;

typedef struct _WINUSB_PIPE_INFORMATION {
  USBD_PIPE_TYPE PipeType;
  UCHAR PipeId;
  USHORT MaximumPacketSize;
  UCHAR Interval;
} WINUSB_PIPE_INFORMATION, *PWINUSB_PIPE_INFORMATION;

#pragma pack(push, 1)
typedef struct _WINUSB_SETUP_PACKET {
  UCHAR RequestType;
  UCHAR Request;
  USHORT Value;
  USHORT Index;
  USHORT Length;
} WINUSB_SETUP_PACKET, *PWINUSB_SETUP_PACKET;
#pragma pack(pop)

static_assert(sizeof(WINUSB_SETUP_PACKET) == 8, "setup packet is 8 bytes, packed");
static_assert(sizeof(WINUSB_PIPE_INFORMATION) == 12, "pipe information keeps natural alignment");

// Pipe policies the product sets.
#define SIM_POLICY_AUTO_CLEAR_STALL 0x02u
#define SIM_POLICY_AUTO_FLUSH 0x06u

#ifdef __cplusplus
extern "C" {
#endif

BOOL WINAPI WinUsb_Initialize(HANDLE DeviceHandle, PWINUSB_INTERFACE_HANDLE InterfaceHandle);
BOOL WINAPI WinUsb_Free(WINUSB_INTERFACE_HANDLE InterfaceHandle);
BOOL WINAPI WinUsb_GetDescriptor(WINUSB_INTERFACE_HANDLE InterfaceHandle, UCHAR DescriptorType,
                                 UCHAR Index, USHORT LanguageID, PUCHAR Buffer,
                                 ULONG BufferLength, PULONG LengthTransferred);
BOOL WINAPI WinUsb_QueryPipe(WINUSB_INTERFACE_HANDLE InterfaceHandle, UCHAR AlternateInterfaceNumber,
                             UCHAR PipeIndex, PWINUSB_PIPE_INFORMATION PipeInformation);
BOOL WINAPI WinUsb_SetPipePolicy(WINUSB_INTERFACE_HANDLE InterfaceHandle, UCHAR PipeID,
                                 ULONG PolicyType, ULONG ValueLength, PVOID Value);
BOOL WINAPI WinUsb_ReadPipe(WINUSB_INTERFACE_HANDLE InterfaceHandle, UCHAR PipeID, PUCHAR Buffer,
                            ULONG BufferLength, PULONG LengthTransferred, LPOVERLAPPED Overlapped);
BOOL WINAPI WinUsb_WritePipe(WINUSB_INTERFACE_HANDLE InterfaceHandle, UCHAR PipeID, PUCHAR Buffer,
                             ULONG BufferLength, PULONG LengthTransferred, LPOVERLAPPED Overlapped);
BOOL WINAPI WinUsb_ControlTransfer(WINUSB_INTERFACE_HANDLE InterfaceHandle,
                                   WINUSB_SETUP_PACKET SetupPacket, PUCHAR Buffer,
                                   ULONG BufferLength, PULONG LengthTransferred,
                                   LPOVERLAPPED Overlapped);
BOOL WINAPI WinUsb_AbortPipe(WINUSB_INTERFACE_HANDLE InterfaceHandle, UCHAR PipeID);

#ifdef __cplusplus
}  // extern "C"
#endif
