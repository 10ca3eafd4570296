#include "dmx/CUsbDevice.h"

void CUsbDevice::releaseTransfer(CUsbTransfer* transfer) { delete transfer; }
