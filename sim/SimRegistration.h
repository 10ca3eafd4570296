// Registration of simulated interfaces, exported by the simulated winusb.dll for programs
// that bind the simulator at run time (the tool's --simulate): the device is written into
// the Wine prefix's SetupAPI database by the simulator (SimDeviceRegistry.h), so a program
// that ships holds no code that writes a device registry.
//
// Bind with GetProcAddress on the module (sim_register_device, sim_remove_device); a
// winusb.dll without them is not the simulated one. Main thread of the caller (the
// registration is not thread-safe).
#pragma once

#include "sim/SimControl.h"

#ifdef __cplusplus
extern "C" {
#endif

// Registers a present interface of the primary class with a file placeholder under
// `instanceId` (e.g. "USB\\VID_1234&PID_5678\\7001"), replacing a stale one of that id, and
// copies its device path (NUL-terminated) into `path`. Returns the path's length, 0 when the
// registration failed or the path does not fit in `capacity` (then nothing stays registered).
SIM_API int sim_register_device(const char* instanceId, char* path, int capacity);
// Removes what sim_register_device registered under `instanceId`; 1 when it was there.
SIM_API int sim_remove_device(const char* instanceId);

#ifdef __cplusplus
}  // extern "C"
#endif
