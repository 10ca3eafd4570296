// LModule: a module of this process found by name, without loading it. It does not hold a
// reference, so it releases nothing; the module must stay loaded by someone else while the
// handle is used. LLibrary is the owning form.
//
// Non-copyable. Any thread.
#pragma once

#include "support/LString.h"
#include "support/Windows.h"

class LModule {
 public:
  // GetModuleHandle; the handle is null when no such module is loaded.
  explicit LModule(const LString& name);
  virtual ~LModule() = default;
  LModule(const LModule&) = delete;
  LModule& operator=(const LModule&) = delete;

  HMODULE handle() const { return handle_; }

  // The exported function `name`; null when the handle is null or nothing of that name is
  // exported.
  FARPROC lookup(const char* name) const;

 protected:
  explicit LModule(HMODULE handle) : handle_(handle) {}

 private:
  HMODULE handle_;
};
