// Replaces, for the life of the object, one entry of the test executable's import table
// (or of another module's): calls that code linked into it makes to `function` of `dll` go
// to `replacement` instead. For answers of the system that a test cannot bring about on
// demand (an error CreateFile gives only for devices we cannot make).
//
// Only calls through the executable's own import table are caught: not those of other
// modules, nor GetProcAddress. Construct and destroy on one thread while no other thread
// may call the function. ok() is false (and nothing changed) when the executable does not
// import the function by name from that DLL.
#pragma once

#include <cstring>

#include "support/Windows.h"
#include "tools/ImportSlots.h"

namespace testpatch {

class ImportPatch {
 public:
  ImportPatch(const char* dll, const char* function, void* replacement,
              HMODULE module = GetModuleHandleW(nullptr)) {
    importslots::forEach(module, [&](const char* from, const char* name, void** slot) {
      if (_stricmp(from, dll) != 0 || std::strcmp(name, function) != 0) return false;
      slot_ = slot;
      original_ = *slot;
      importslots::replace(slot_, replacement);
      return true;
    });
  }
  ~ImportPatch() {
    if (slot_ != nullptr) importslots::replace(slot_, original_);
  }
  ImportPatch(const ImportPatch&) = delete;
  ImportPatch& operator=(const ImportPatch&) = delete;

  bool ok() const { return slot_ != nullptr; }

 private:
  void** slot_ = nullptr;
  void* original_ = nullptr;
};

}  // namespace testpatch
