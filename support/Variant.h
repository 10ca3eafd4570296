// The points in which the 32-bit external behaves differently from the 64-bit one.
// Each difference is one constant here; code that differs tests it with `if constexpr`,
// so both behaviours stay compiled and visible side by side.
#pragma once

namespace variant {

#if defined(_WIN64)
inline constexpr bool kIsX86 = false;
#else
inline constexpr bool kIsX86 = true;
#endif

// Win32 text functions: the ANSI (...A) forms instead of the wide (...W) forms.
inline constexpr bool kAnsiWin32Text = kIsX86;

// Assist texts are formatted with the host's own sprintf instead of the C runtime's.
inline constexpr bool kAssistWithHostSprintf = kIsX86;

// Number of WinUSB entry points resolved (the last one, WinUsb_AbortPipe, is left out).
inline constexpr int kWinUsbEntryPoints = kIsX86 ? 8 : 9;

// Receive frame buffers kept by the packet decoder.
inline constexpr int kReceiveFrameSlots = kIsX86 ? 1 : 2;

// The instance-id serial number of the first interface class must read as 1000 to 9999.
inline constexpr bool kInstanceSerialMustBe1000To9999 = kIsX86;

// The list method rounds by adding +-0.5 and truncating, and maps NaN to 255.
inline constexpr bool kListRoundsByTruncation = kIsX86;

}  // namespace variant
