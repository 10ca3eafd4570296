// Frame traffic of the prismlux object: the list method, the send and receive pumps and
// the output step. See Prismlux.h for the threads and the lock order.
#include <algorithm>
#include <cstring>

#include "max/HostEntry.h"
#include "max/ListByte.h"
#include "max/Prismlux.h"

void prismlux_list(t_prismlux* x, t_symbol* s, long argc, t_atom* argv) {
  runHostEntry([&] { prismlux_takeList(x, argc, argv); });
}

void prismlux_takeList(t_prismlux* x, long argc, t_atom* argv) {
  // The count is taken whole, as the host passes it (a long): narrowed to 16 bits, a list
  // of 40,000 elements would read as negative and one of 65,537 as 1.
  if (x->device == nullptr || argc <= 0) return;

  const float k = 255.0f / x->scale;
  critical_enter(nullptr);
  x->sendLength = static_cast<int32_t>(std::min<long>(argc, kPrismluxFrameBytes));
  for (int32_t i = 0; i < x->sendLength; ++i)
    x->sendBuffer[i] = dmxByteFromListValue(atom_getfloat(argv + i), k);
  critical_exit(nullptr);

  prismlux_send(x);
}

void prismlux_send(t_prismlux* x) {
  if (x->device == nullptr) return;

  // The frame is claimed and copied inside the region but written outside it: the write
  // takes the device's lock, which no one should wait for while holding the region.
  uint8_t frame[kPrismluxFrameBytes];
  int32_t length = 0;
  critical_enter(nullptr);
  if (x->sendBusy == 0 && x->sendLength != 0) {
    x->sendBusy = 1;
    length = x->sendLength;
    std::memcpy(frame, x->sendBuffer, static_cast<size_t>(length));
  }
  critical_exit(nullptr);
  if (length == 0) return;

  if (dmxWrite(x->device, frame, length, prismlux_writeDone, x) == 0) {
    critical_enter(nullptr);
    x->sendBusy = 0;
    critical_exit(nullptr);
  }
}

void prismlux_writeDone(void* user) {
  auto* x = static_cast<t_prismlux*>(user);
  critical_enter(nullptr);
  x->sendBusy = 0;
  critical_exit(nullptr);
  prismlux_send(x);
}

void prismlux_receive(t_prismlux* x) {
  int32_t last = 0;
  for (;;) {
    const int32_t n = dmxRead(x->device, x->receiveBuffer, kPrismluxFrameBytes, prismlux_readDone, x);
    if (n <= 0) break;
    last = n;
  }
  if (last != 0) prismlux_output(x, last);
}

void prismlux_readDone(void* user, int32_t count) {
  auto* x = static_cast<t_prismlux*>(user);
  if (count > 0) prismlux_output(x, count);
  if (x->device != nullptr) prismlux_receive(x);
}

void prismlux_output(t_prismlux* x, int32_t count) {
  if (count <= 0) return;
  count = std::min(count, kPrismluxFrameBytes);
  const float f = x->scale / 255.0f;
  for (int32_t i = 0; i < count; ++i) {
    const float value = static_cast<float>(x->receiveBuffer[i]) * f;
    atom_setfloat(&x->outAtoms[i], static_cast<double>(value));
  }
  outlet_list(x->outlet, nullptr, static_cast<short>(count), x->outAtoms);
}
