// The port's write and read: thin wrappers over CDmxIo.
#include "dmx/CDmxIo.h"
#include "dmx/DmxPort.h"

int32_t dmxWrite(CDmxIo* device, const uint8_t* data, int32_t count, DmxWriteDone done, void* user) {
  return device != nullptr ? device->write(data, count, done, user) : 0;
}

int32_t dmxRead(CDmxIo* device, uint8_t* target, int32_t capacity, DmxReadDone done, void* user) {
  return device != nullptr ? device->read(target, capacity, done, user) : 0;
}
