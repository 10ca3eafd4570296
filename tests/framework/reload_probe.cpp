// A small DLL that carries its own copy of the framework, for the unload/reload test.
#include "framework/CEnv.h"
#include "framework/LAsyncEvent.h"
#include "framework/LMessageWindow.h"

#include "FrameworkTesting.h"

namespace {

CEnv* gEnv = nullptr;

}  // namespace

extern "C" {

__declspec(dllexport) int probeCreateEnv() {
  gEnv = CEnv::create();
  return gEnv != nullptr;
}

__declspec(dllexport) void probeDestroyEnv() {
  delete gEnv;
  gEnv = nullptr;
}

// Sets an event and returns how many notes reached its owner within two seconds.
__declspec(dllexport) int probeEventRoundTrip() {
  if (gEnv == nullptr) return -1;
  testing_support::Recorder owner;
  LAsyncEvent event(&owner, gEnv->dispatcher());
  gEnv->dispatcher()->lock();
  event.set();
  gEnv->dispatcher()->unlockAndWake();
  testing_support::pumpUntil([&] { return owner.count(LAsyncEvent_Note) == 1; }, 2000);
  testing_support::pumpFor(50);
  return static_cast<int>(owner.count(LAsyncEvent_Note));
}

__declspec(dllexport) HWND probeWindow() { return gEnv != nullptr ? gEnv->window() : nullptr; }

}  // extern "C"
