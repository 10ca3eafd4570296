// LRegKey: the owner of one registry key handle, taking and giving UTF-8 text. Used to
// read string values such as a device interface's serial number.
//
// Construction (parent, subkey, mode):
//   - subkey null:  the object takes `parent` as its own and closes it.
//   - subkey "":    the object borrows `parent` and never closes it.
//   - otherwise:    opens (kOpenForReading) or creates/opens (kCreateForFullAccess) the
//                   subkey under `parent`; on failure the object holds no key.
// Every value operation on an object without a key returns false without a registry call.
// Errors are not kept: they become false. Single-thread, non-copyable.
#pragma once

#include "support/LHeapBuffer.h"
#include "support/LString.h"
#include "support/Windows.h"

#include <cstdint>

class LRegKey {
 public:
  enum Mode : uint32_t {
    kOpenForReading = 0,       // KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE
    kCreateForFullAccess = 1,  // KEY_ALL_ACCESS; created when missing
  };

  LRegKey(HKEY parent, const char* subkey, uint32_t mode);
  ~LRegKey();
  LRegKey(const LRegKey&) = delete;
  LRegKey& operator=(const LRegKey&) = delete;

  // Closes the key unless it is borrowed; afterwards the object holds no key.
  void close() noexcept;

  bool isOpen() const noexcept { return keyHandle_ != noKey(); }
  bool isBorrowed() const noexcept { return borrowed_ != 0; }
  HKEY handle() const noexcept { return keyHandle_; }

  // Reads a value of any size into `buffer` (count = the value's byte size) and its type.
  // The type is stored as soon as the size is known, so also when the data read then fails
  // (the value grew in between); `type` is unchanged when not even the size could be read.
  bool readValue(const char* name, LHeapBuffer& buffer, uint32_t& type);
  // Reads a value as text (UTF-16 in the wide build, the ANSI code page in the x86 build;
  // the type is not checked) and stores it as UTF-8 in `out`. A stored terminator ends
  // the text. On false `out` is unchanged.
  bool readString(const char* name, LString& out);

  static HKEY noKey() noexcept { return reinterpret_cast<HKEY>(~static_cast<uintptr_t>(0)); }

 private:
  HKEY keyHandle_ = noKey();
  uint8_t borrowed_ = 0;
};
