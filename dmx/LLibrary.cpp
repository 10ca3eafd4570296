#include "dmx/LLibrary.h"

#include "support/Win32Text.h"

LLibrary::LLibrary(const LString& name) : LModule(w32::loadLibrary(name.text())), owned_(1) {}

LLibrary::~LLibrary() {
  if (owned_ && handle() != nullptr) FreeLibrary(handle());
}
