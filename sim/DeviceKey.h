// How the simulator names devices: by the device path without its "\\?\" prefix, in lower
// case, which is also the name of the placeholder file that makes the path openable.
#pragma once

#include <cstdint>
#include <string>

#include "support/Windows.h"

namespace sim {

// "\\?\USB#VID_1234&..." and "usb#vid_1234&..." give the same key. Null gives "".
std::string deviceKeyFromPath(const char* path);

// The key of the device a file handle was opened on: the last component of the handle's
// file name, which must lie in a "dosdevices" folder. False for any other handle.
bool deviceKeyFromHandle(HANDLE file, std::string* key);

// True when the handle was opened for overlapped I/O (FILE_FLAG_OVERLAPPED). True as well
// when the system cannot tell.
bool isOverlappedHandle(HANDLE file);

// Vendor and product id from "vid_XXXX" and "pid_XXXX" in a key; 0 where absent.
void vendorAndProductFromKey(const std::string& key, uint16_t* vendor, uint16_t* product);

}  // namespace sim
