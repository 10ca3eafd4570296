// Where the host's C code calls into the object, exceptions stop: see Prismlux.h.
#pragma once

// Runs `work`; false when it raised (std::bad_alloc, a string record that could not be
// allocated, is the only exception the code raises). The caller then fails the way it
// fails anyway; whatever `work` built has been destroyed on the way out.
template <typename Work>
bool runHostEntry(Work&& work) noexcept {
  try {
    work();
    return true;
  } catch (...) {
    return false;
  }
}
