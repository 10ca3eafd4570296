// Replaces, for the life of the object, one entry of the test executable's import table:
// calls that code linked into the executable makes to `function` of `dll` go to
// `replacement` instead. For answers of the system that a test cannot bring about on
// demand (an error CreateFile gives only for devices we cannot make).
//
// Only calls through the executable's own import table are caught: not those of other
// modules, nor GetProcAddress. Construct and destroy on one thread while no other thread
// may call the function. ok() is false (and nothing changed) when the executable does not
// import the function by name from that DLL.
#pragma once

#include <cstring>

#include "support/Windows.h"

namespace testpatch {

class ImportPatch {
 public:
  ImportPatch(const char* dll, const char* function, void* replacement) {
    auto* base = reinterpret_cast<uint8_t*>(GetModuleHandleW(nullptr));
    auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
    auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& imports =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (imports.VirtualAddress == 0) return;
    for (auto* d = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
         d->Name != 0; ++d) {
      if (_stricmp(reinterpret_cast<const char*>(base + d->Name), dll) != 0) continue;
      if (d->OriginalFirstThunk == 0) continue;  // no names to match against
      auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + d->OriginalFirstThunk);
      auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + d->FirstThunk);
      for (; names->u1.AddressOfData != 0; ++names, ++slots) {
        if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
        auto* byName = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
        if (std::strcmp(reinterpret_cast<const char*>(byName->Name), function) != 0) continue;
        slot_ = reinterpret_cast<void**>(&slots->u1.Function);
        original_ = *slot_;
        write(replacement);
        return;
      }
    }
  }
  ~ImportPatch() {
    if (slot_ != nullptr) write(original_);
  }
  ImportPatch(const ImportPatch&) = delete;
  ImportPatch& operator=(const ImportPatch&) = delete;

  bool ok() const { return slot_ != nullptr; }

 private:
  void write(void* value) {
    DWORD protection = 0;
    VirtualProtect(slot_, sizeof(void*), PAGE_READWRITE, &protection);
    *slot_ = value;
    VirtualProtect(slot_, sizeof(void*), protection, &protection);
  }

  void** slot_ = nullptr;
  void* original_ = nullptr;
};

}  // namespace testpatch
