// The slots of a loaded module's import table, found by the names of the DLL and function
// they import, and a way to point one elsewhere. For measuring and testing only: the import
// hook (ImportHook.h) and the tests' import patches change calls a module makes this way.
//
// Only imports by name are seen (not by ordinal, and not modules without a name table).
#pragma once

#include <cstdint>
#include <cstring>

#include "support/Windows.h"

namespace importslots {

// Calls visit(dll, function, slot) for each import of `module` by name, in table order,
// until visit returns true. `slot` is the address the module calls through.
template <typename Visit>
void forEach(HMODULE module, Visit visit) {
  if (module == nullptr) return;
  auto* base = reinterpret_cast<uint8_t*>(module);
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  if (imports.VirtualAddress == 0) return;
  for (auto* library = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
       library->Name != 0; ++library) {
    if (library->OriginalFirstThunk == 0) continue;  // no names to go by
    const char* dll = reinterpret_cast<const char*>(base + library->Name);
    const auto* names = reinterpret_cast<const IMAGE_THUNK_DATA*>(base + library->OriginalFirstThunk);
    auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + library->FirstThunk);
    for (; names->u1.AddressOfData != 0; ++names, ++slots) {
      if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
      const auto* byName = reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
      if (visit(dll, reinterpret_cast<const char*>(byName->Name), reinterpret_cast<void**>(&slots->u1.Function)))
        return;
    }
  }
}

// Writes `value` into an import slot (the table is read-only once loaded); false when the
// page could not be made writable.
inline bool replace(void** slot, void* value) {
  DWORD protection = 0;
  if (!VirtualProtect(slot, sizeof *slot, PAGE_READWRITE, &protection)) return false;
  *slot = value;
  VirtualProtect(slot, sizeof *slot, protection, &protection);
  return true;
}

}  // namespace importslots
