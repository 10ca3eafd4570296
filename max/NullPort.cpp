// A port that finds no interface: every open fails. The external is linked with it until
// the device layer is linked in its place.
#include "dmx/DmxPort.h"

CDmxIo* dmxOpen(const char* name) { return nullptr; }

void dmxClose(CDmxIo* device) {}

int32_t dmxWrite(CDmxIo* device, const uint8_t* data, int32_t count, DmxWriteDone done, void* user) {
  return 0;
}

int32_t dmxRead(CDmxIo* device, uint8_t* target, int32_t capacity, DmxReadDone done, void* user) {
  return 0;
}
