#include "support/LRegKey.h"

#include "support/Text.h"
#include "support/Win32Text.h"

LRegKey::LRegKey(HKEY parent, const char* subkey, uint32_t mode) {
  if (subkey == nullptr) {
    keyHandle_ = parent;
    return;
  }
  if (subkey[0] == 0) {
    keyHandle_ = parent;
    borrowed_ = 1;
    return;
  }
  HKEY opened = nullptr;
  LONG result = ERROR_INVALID_PARAMETER;
  if (mode == kOpenForReading) {
    result = w32::regOpenKey(parent, subkey, KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE, &opened);
  } else if (mode == kCreateForFullAccess) {
    result = w32::regCreateKey(parent, subkey, KEY_ALL_ACCESS, &opened);
  }
  if (result == ERROR_SUCCESS) keyHandle_ = opened;
}

LRegKey::~LRegKey() { close(); }

void LRegKey::close() noexcept {
  if (keyHandle_ != noKey() && !borrowed_) RegCloseKey(keyHandle_);
  keyHandle_ = noKey();
  borrowed_ = 0;
}

bool LRegKey::readValue(const char* name, LHeapBuffer& buffer, uint32_t& type) {
  if (!isOpen()) return false;
  // The type is passed on whenever the read learnt it, also when the data query then failed;
  // the caller's `type` is only written, never read (it may be uninitialised).
  constexpr DWORD kNotLearnt = 0xFFFFFFFF;
  DWORD valueType = kNotLearnt;
  const LONG result = w32::regQueryValue(keyHandle_, name, buffer, &valueType);
  if (valueType != kNotLearnt) type = valueType;
  return result == ERROR_SUCCESS;
}

bool LRegKey::readString(const char* name, LString& out) {
  if (!isOpen()) return false;
  return w32::regQueryString(keyHandle_, name, out) == ERROR_SUCCESS;
}
