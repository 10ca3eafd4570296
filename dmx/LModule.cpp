#include "dmx/LModule.h"

#include "support/Win32Text.h"

LModule::LModule(const LString& name) : handle_(w32::getModuleHandle(name.text())) {}

FARPROC LModule::lookup(const char* name) const {
  if (handle_ == nullptr || name == nullptr) return nullptr;
  return GetProcAddress(handle_, name);
}
