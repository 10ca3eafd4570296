// The prismlux object: one instance per object box. It opens one DMX interface when it
// is created, sends every list that reaches its inlet as a frame, and emits every frame
// the interface receives as a list of floats.
//
// Threads: main (the registration), new, free and assist run on the host's main thread;
// the list method may run on any host thread. The port's write-done and read-done
// callbacks run on the main thread (the thread that made the first open), after the
// device has released its lock, so the outlet is only ever driven from the main thread.
//
// Locks: the host's global critical region guards sendBuffer, sendLength and sendBusy.
// The send pump copies the frame out of the region and writes the copy afterwards, and
// the device calls back without holding its lock, so the region and the device's lock are
// never held together by us: a list from a thread that holds the region itself (as an
// object that sends from inside it does) cannot deadlock against a callback.
//
// Exceptions: none ever reaches the host. Every routine the host calls (main, new, free,
// list, assist) runs its work through runHostEntry (HostEntry.h), and the environment's
// window catches around the callbacks it runs; the one exception raised anywhere is
// std::bad_alloc when a string record cannot be had. A new routine that runs out posts
// "cannot open %s" and returns the object without a device; a list is ignored; a callback's
// work is dropped. Everything else that allocates does so without throwing and fails the
// open instead, so an object that said "open" allocates nothing more.
//
// Memory: the instance is raw host memory from object_alloc; no constructor runs and
// every field is set by hand in prismlux_new. The outlet and the memory are the host's.
#pragma once

#include <cstdint>

#include "dmx/DmxPort.h"
#include "max/MaxApi.h"

inline constexpr int32_t kPrismluxFrameBytes = 513;

struct t_prismlux {
  t_object header;        // the host's; must come first
  void* outlet;           // made by listout; the host's
  CDmxIo* device;         // null when the open failed
  float scale;            // list value that maps to byte 255; never 0
  int32_t sendLength;     // valid bytes in sendBuffer: 0 before the first list, then 1..513
  uint8_t sendBusy;       // a write is in flight (guarded by the host region)
  uint8_t receiveBuffer[kPrismluxFrameBytes];
  uint8_t sendBuffer[kPrismluxFrameBytes];
  t_atom outAtoms[kPrismluxFrameBytes];
};

// The class registered by main; written once, before any instance exists.
extern t_class* prismlux_class;

// Host routines (see the registration for how the host calls them).
void* prismlux_new(t_symbol* s, long argc, t_atom* argv);
void prismlux_free(t_prismlux* x);
void prismlux_assist(t_prismlux* x, void* box, long m, long a, char* s);
void prismlux_list(t_prismlux* x, t_symbol* s, long argc, t_atom* argv);

// The new routine's work: converts the name, opens, posts the outcome and starts the pumps.
// False, with nothing posted or opened, when the name cannot be converted for want of
// memory; raises std::bad_alloc when a string record cannot be had (nothing stays open).
bool prismlux_open(t_prismlux* x, const char* text);

// Frame traffic: the send pump writes the newest frame unless a write is in flight; the
// receive pump keeps one read outstanding; the output step emits n received bytes.
void prismlux_takeList(t_prismlux* x, long argc, t_atom* argv);
void prismlux_send(t_prismlux* x);
void prismlux_writeDone(void* user);
void prismlux_receive(t_prismlux* x);
void prismlux_readDone(void* user, int32_t count);
void prismlux_output(t_prismlux* x, int32_t count);
