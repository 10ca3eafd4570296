// LLibrary: a module loaded by this object, holding one load reference from construction
// to destruction. The operating system counts the references, so several LLibrary objects
// of one name share the module and it stays loaded until the last one is destroyed.
//
// Non-copyable. Construction and destruction on any thread, but not under the loader lock
// (not from DllMain).
#pragma once

#include <cstdint>

#include "dmx/LModule.h"

class LLibrary : public LModule {
 public:
  // LoadLibrary; the handle is null when the module cannot be loaded.
  explicit LLibrary(const LString& name);
  // FreeLibrary when the load succeeded.
  ~LLibrary() override;

 private:
  uint8_t owned_;  // the load has been attempted: a non-null handle is ours to free
};
