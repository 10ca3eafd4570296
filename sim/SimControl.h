// Control interface of the simulated winusb.dll (target winusb_sim, bin/winusb.dll).
//
// The simulated DLL exports the nine WinUSB entry points (SimWinUsb.h) and, besides them,
// the sim_* functions below. Tests, the demo and tools reach them either by linking the
// import library of winusb_sim (the program then loads bin/winusb.dll at start; run it with
// winusb=n in WINEDLLOVERRIDES, as wine-run.sh does) or with GetProcAddress on the module
// (SimControlApi.h binds them all at once). Once a process has loaded winusb.dll, the
// product's LoadLibraryW(L"winusb.dll") returns the same module, so both talk to one
// simulator.
//
// Variants. bin/winusb_noabort/, bin/winusb_noread/ and bin/winusb_nocontrol/ each hold a
// winusb.dll built from the same code without WinUsb_AbortPipe, WinUsb_ReadPipe or
// WinUsb_ControlTransfer (targets winusb_sim_noabort, ..._noread, ..._nocontrol; all three
// built by winusb_sim_variants). A test loads one by full path before the code under test
// runs; the product's LoadLibraryW(L"winusb.dll") then returns it. Such a test must not
// link the import library (that would load bin/winusb.dll first): bind with SimControlApi.h.
//
// Devices. A simulated device is named by its device path, as SetupAPI gives it
// ("\\?\usb#vid_1234&pid_5678#1234#{guid}") or without the "\\?\" prefix; case does not
// matter. A device comes into being with its first mention: a sim_* call naming it, or
// WinUsb_Initialize on a file handle opened from its path (the handle's file name is the
// path). A new device takes its settings from the defaults (sim_* calls with a null path
// change the defaults; sim_reset restores the built-in ones):
//   pipes  0x83 IN of PipeType 2 first, then the data pipes 0x81 IN and 0x02 OUT of
//          PipeType 3 (the type the product prefers to bulk), each 64 bytes; sim_set_pipes
//          declares another layout (bulk pipes only, say);
//   bcdDevice 0x0100; vendor and product id read from "vid_XXXX&pid_YYYY" in the path;
//   parameter reply 0, 0, 0; completion SIM_COMPLETE_LATER with no delay; loopback off.
//
// Transfers. A write is recorded (raw bytes) and decoded into frames at once. A read (any
// IN pipe; the simulator only feeds the first IN pipe of type 3, or without one the first
// IN pipe) takes the oldest waiting IN packet; with none waiting it stays outstanding until
// a packet is injected, a fault fails it, or it is cancelled. Completion is what a driver does: in SIM_COMPLETE_LATER
// mode every transfer returns FALSE with ERROR_IO_PENDING (OVERLAPPED.Internal = 0x103)
// and the simulator's own thread later writes Internal (NTSTATUS) and InternalHigh (bytes)
// and sets the event, `delayMs` after the transfer could complete. In SIM_COMPLETE_AT_ONCE
// mode a transfer that can complete when it is made returns TRUE (and the record is
// completed and its event set too); a read with no packet waiting still pends. A call
// with a null OVERLAPPED is served synchronously.
//
// WinUsb_Free, and WinUsb_AbortPipe for its pipe, complete every outstanding transfer of
// the handle as cancelled (STATUS_CANCELLED: GetOverlappedResult fails with 995).
//
// Threads. Every function may be called from any thread; one lock guards all simulator
// state. No callback into the caller exists: completions only write OVERLAPPED records
// and set events. The simulator thread is started on first need; from then on the module
// stays loaded until the process ends.
//
// Results: functions returning int give 1 for done and 0 for refused (bad arguments) unless
// said otherwise; counts are >= 0 and -1 means "no such record".
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(PRISMLUX_SIM_BUILDING)
#define SIM_API __declspec(dllexport)
#else
#define SIM_API __declspec(dllimport)
#endif

// ---- identifiers --------------------------------------------------------------------

// The nine WinUSB entry points, for sim_calls.
enum {
  SIM_EP_INITIALIZE = 0,
  SIM_EP_FREE,
  SIM_EP_GET_DESCRIPTOR,
  SIM_EP_QUERY_PIPE,
  SIM_EP_SET_PIPE_POLICY,
  SIM_EP_READ_PIPE,
  SIM_EP_WRITE_PIPE,
  SIM_EP_CONTROL_TRANSFER,
  SIM_EP_ABORT_PIPE,
  SIM_EP_COUNT
};

// Operations that faults can be armed for (sim_fail_next).
enum {
  SIM_OP_INITIALIZE = 0,  // WinUsb_Initialize (only SIM_FAIL_AT_ONCE)
  SIM_OP_DESCRIPTOR,      // WinUsb_GetDescriptor (only SIM_FAIL_AT_ONCE)
  SIM_OP_QUERY_PIPE,      // WinUsb_QueryPipe (only SIM_FAIL_AT_ONCE)
  SIM_OP_WRITE,           // WinUsb_WritePipe (bulk OUT)
  SIM_OP_READ,            // WinUsb_ReadPipe (bulk IN)
  SIM_OP_CONTROL,         // WinUsb_ControlTransfer
  SIM_OP_COUNT
};

// How an armed fault fails its transfer.
enum {
  // The call returns FALSE at once with GetLastError() = code (a Win32 error).
  SIM_FAIL_AT_ONCE = 0,
  // The transfer is accepted (pending) and completes with NTSTATUS code, e.g.
  // SIM_STATUS_UNSUCCESSFUL, after which GetOverlappedResult fails with the mapped error.
  SIM_FAIL_STATUS = 1
};

// Completion modes (sim_set_completion).
enum {
  SIM_COMPLETE_LATER = 0,    // every transfer pends; the simulator thread completes it
  SIM_COMPLETE_AT_ONCE = 1,  // transfers that can complete at once return TRUE
  SIM_COMPLETE_LATER_KEEPING_EVENT = 2  // as LATER, but a start leaves the event as it was,
                                        // as a driver may that does not reset it
};

// Flags of sim_inject_frame.
enum {
  // Keep the IN packet open after this frame: the next frame continues in the same packet,
  // beginning in the middle of a group when this frame did not fill its last group.
  // Without it the packet is ended after the frame (shorter than 64 bytes unless full).
  SIM_IN_HOLD = 1,
  // Drop the frame (return 2) while packets of earlier frames still wait for reads, as a
  // device whose buffer is full would.
  SIM_IN_DROP_IF_WAITING = 2
};

// NTSTATUS values worth naming, and the Win32 error GetOverlappedResult maps each to.
#define SIM_STATUS_SUCCESS 0x00000000u
#define SIM_STATUS_PENDING 0x00000103u
#define SIM_STATUS_UNSUCCESSFUL 0xC0000001u          // ERROR_GEN_FAILURE (31)
#define SIM_STATUS_CANCELLED 0xC0000120u             // ERROR_OPERATION_ABORTED (995)
#define SIM_STATUS_DEVICE_NOT_CONNECTED 0xC000009Du  // ERROR_DEVICE_NOT_CONNECTED (1167)

// One pipe as WinUsb_QueryPipe reports it (PipeType: 0 control, 1 isochronous, 2 bulk,
// 3 interrupt; bit 7 of PipeId set for IN).
typedef struct SimPipe {
  uint8_t pipeType;
  uint8_t pipeId;
  uint16_t maximumPacketSize;
  uint8_t interval;
} SimPipe;

// A control transfer's setup packet as the device received it.
typedef struct SimSetup {
  uint8_t requestType;
  uint8_t request;
  uint16_t value;
  uint16_t index;
  uint16_t length;
} SimSetup;

// What a device has seen so far (sim_get_counters). "Outstanding" counts transfers accepted
// and not yet completed (the OVERLAPPED record not yet written).
typedef struct SimCounters {
  uint32_t openHandles;          // interface handles made by WinUsb_Initialize, not yet freed
  uint32_t outstandingReads;
  uint32_t outstandingWrites;
  uint32_t outstandingControls;
  uint32_t readsCompleted;       // completed with success
  uint32_t writesCompleted;
  uint32_t controlsCompleted;
  uint32_t failed;               // transfers completed or refused with an error (not cancels)
  uint32_t cancelled;            // transfers completed as cancelled
  uint32_t inPacketsWaiting;     // injected IN packets no read has taken yet
  uint32_t lastReadLength;       // bytes asked for by the latest WinUsb_ReadPipe
  uint32_t malformedWrites;      // OUT transfers that broke the packet format
  uint32_t readsCompleting;      // outstanding reads whose outcome is known (a packet taken,
                                 // or a failure) and that the simulator's thread has yet to
                                 // complete; counted in outstandingReads too
} SimCounters;

// ---- whole simulator ------------------------------------------------------------------

// Forgets every device, record, fault and counter and restores the built-in defaults.
// Outstanding transfers complete as cancelled; interface handles made before become invalid
// (later calls with them fail with ERROR_INVALID_HANDLE).
SIM_API void sim_reset(void);

// Number of calls of one entry point (SIM_EP_*) since start or sim_reset, over all devices.
SIM_API uint32_t sim_calls(int entryPoint);

// ---- device settings (path null: the defaults for devices not yet known) -------------

// Replaces the pipe list (at most 16 pipes; 0 pipes is allowed).
SIM_API int sim_set_pipes(const char* path, const SimPipe* pipes, int count);
// bcdDevice of the device descriptor (bytes 12-13).
SIM_API int sim_set_release(const char* path, uint16_t bcdDevice);
// The three 16-bit values returned by the "get parameters" vendor request.
SIM_API int sim_set_parameters(const char* path, uint16_t value1, uint16_t value2, uint16_t value3);
// Completion mode (SIM_COMPLETE_*) and the delay of later completions in milliseconds.
SIM_API int sim_set_completion(const char* path, int mode, uint32_t delayMs);
// Loopback: every frame decoded from an OUT transfer is sent back as IN packets.
SIM_API int sim_set_loopback(const char* path, int on);
// A DMX line behind the OUT pipe (0, the default: none). Each frame the device takes in then
// occupies the line for `microseconds`, and an OUT transfer completes when the line is free
// for its frame: at once while the line is idle (as the completion mode says), else when the
// frame before it has gone out (then with no further delay). A host that keeps one transfer
// going so sees every transfer take `microseconds`, and frames leave at the line's rate.
SIM_API int sim_set_out_wire_time(const char* path, uint32_t microseconds);

// ---- faults -----------------------------------------------------------------------------

// Arms a fault for the next operation of kind `op` (SIM_OP_*) on the device; arming several
// fails that many operations in turn. SIM_FAIL_AT_ONCE: the call returns FALSE with
// GetLastError() = code. SIM_FAIL_STATUS: the transfer pends and completes with NTSTATUS
// code; for SIM_OP_READ the read that fails is the oldest outstanding one, at once (or, with
// none outstanding, the next read made).
SIM_API int sim_fail_next(const char* path, int op, int how, uint32_t code);
// Unplugs the device: every outstanding transfer completes with `status` (0 means
// SIM_STATUS_UNSUCCESSFUL, which the product sees as ERROR_GEN_FAILURE) and every later call
// but WinUsb_Free fails at once with ERROR_DEVICE_NOT_CONNECTED (1167) until sim_replug.
SIM_API int sim_unplug(const char* path, uint32_t status);
SIM_API int sim_replug(const char* path);

// ---- IN traffic ---------------------------------------------------------------------------

// Encodes a frame (1 to 4096 bytes; more than 513 only for overlong-frame tests) into IN
// packets on the device's data IN pipe. flags: SIM_IN_HOLD, SIM_IN_DROP_IF_WAITING.
SIM_API int sim_inject_frame(const char* path, const uint8_t* frame, int length, uint32_t flags);
// Queues one raw IN packet (0 to 64 bytes) as it is, after ending any packet held open.
SIM_API int sim_inject_packet(const char* path, const uint8_t* packet, int length);
// Ends a packet held open by SIM_IN_HOLD, so that a read can take it.
SIM_API int sim_flush_in(const char* path);
// Completes, at once and out of turn, the read waiting for data that is `index`-th in start
// order (0: the oldest): with status 0 it receives the packet (0 to 64 bytes), otherwise it
// fails with that NTSTATUS. 0 when there is no such read.
SIM_API int sim_complete_read(const char* path, int index, const uint8_t* packet, int length, uint32_t status);

// ---- records ----------------------------------------------------------------------------

// Frames decoded from OUT transfers, oldest first. sim_out_frame copies up to `capacity`
// bytes of frame `index` and returns its full length (-1: no such frame).
SIM_API int sim_out_frame_count(const char* path);
SIM_API int sim_out_frame(const char* path, int index, uint8_t* buffer, int capacity);
// Raw OUT transfers, oldest first, as handed to WinUsb_WritePipe (also the refused and
// failed ones). sim_out_transfer returns the transfer's full length (-1: none); `pipeId`
// may be null.
SIM_API int sim_out_transfer_count(const char* path);
SIM_API int sim_out_transfer(const char* path, int index, uint8_t* buffer, int capacity, uint8_t* pipeId);
// Control transfers, oldest first: the setup packet and, for host-to-device requests, the
// data sent (return value: its length; -1: no such record).
SIM_API int sim_control_count(const char* path);
SIM_API int sim_control(const char* path, int index, SimSetup* setup, uint8_t* data, int capacity);
// The value last set with WinUsb_SetPipePolicy for (pipe, policy): copies up to `capacity`
// bytes and returns its length, -1 when never set.
SIM_API int sim_pipe_policy(const char* path, uint8_t pipeId, uint32_t policyType, uint8_t* value, int capacity);
// Counters of the device (all zero for a device never used).
SIM_API int sim_get_counters(const char* path, SimCounters* counters);
// The QueryPerformanceCounter value at which the device's latest IN read completed with data
// (its record written, its event about to be set); 0 when none has.
SIM_API int64_t sim_read_completed_at(const char* path);
// With a line (sim_set_out_wire_time): the time the line stood idle between one frame's end
// and the next frame's start, in microseconds, for each frame after the first, oldest first.
// Copies up to `capacity` and returns how many were copied.
SIM_API int sim_line_gaps(const char* path, int64_t* gapsUs, int capacity);
// Forgets the recorded frames, transfers, control requests and line gaps (counters stay).
SIM_API int sim_clear_records(const char* path);

// ---- bounded waits (1: reached, 0: timed out) --------------------------------------------

// Waits until at least `count` frames have been decoded from OUT transfers.
SIM_API int sim_wait_out_frames(const char* path, int count, uint32_t timeoutMs);
// Waits until exactly `count` reads are outstanding on the device.
SIM_API int sim_wait_outstanding_reads(const char* path, int count, uint32_t timeoutMs);

#ifdef __cplusplus
}  // extern "C"
#endif
