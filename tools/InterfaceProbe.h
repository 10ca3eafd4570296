// One interface opened the way an object opens it, one step at a time, for the check
// command: winusb.dll is bound (CWinUsbInterface, the external's own binding), the device
// path is opened (exclusive, overlapped), WinUSB is bound to it, and the data pipes are
// chosen by the external's rule (DmxDataPipes.h). The first step that fails ends the probe
// with its Windows error. Past the open it lists the pipes, reads the device descriptor and
// asks for the three device parameters with the link's vendor get request.
//
// The interface is open only inside probeInterface and closed before it returns. Nothing is
// written to the device but that one request: no pipe policy, no frame. Main thread.
#pragma once

#include <cstdint>
#include <vector>

#include "support/Windows.h"

enum class ProbeStep {
  Opened,          // every step passed
  LibraryMissing,  // winusb.dll cannot be loaded
  EntryMissing,    // winusb.dll lacks an entry point the object needs
  PathRefused,     // CreateFileW on the device path failed
  BindingRefused,  // WinUsb_Initialize failed
  PipesMissing,    // no data IN or no data OUT pipe
};

struct ProbedPipe {
  uint8_t index;
  uint8_t pipeType;
  uint8_t endpoint;  // bit 7 set for IN
  uint16_t maximumPacketSize;
};

struct InterfaceProbe {
  ProbeStep step = ProbeStep::Opened;
  DWORD error = 0;                      // the failing step's Windows error (0: none known)
  const char* missingEntry = nullptr;   // EntryMissing: its name
  // Once WinUSB is bound: every pipe, and which of them carry the data (-1: none).
  std::vector<ProbedPipe> pipes;
  int dataIn = -1;
  int dataOut = -1;
  // Once opened: the device descriptor and the parameters, each when it could be read.
  bool hasDescriptor = false;
  uint16_t vendorId = 0, productId = 0, bcdDevice = 0;
  bool hasParameters = false;
  DWORD parametersError = 0;
  uint16_t parameters[3] = {};
};

InterfaceProbe probeInterface(const char* devicePath);
