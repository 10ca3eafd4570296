// Whether a handle can be waited on, found out without waiting on it.
//
// A zero-time wait would tell as well, but it takes what it finds: the signal of an
// auto-reset event or a semaphore, or the ownership of a mutex. This asks instead whether
// the handle is open in this process and was opened with SYNCHRONIZE access.
#pragma once

#include "support/Windows.h"

// False for a null, closed or foreign handle and for one without SYNCHRONIZE access. When
// the access cannot be read, an open handle counts as waitable.
bool canWaitOn(HANDLE handle) noexcept;

// For tests: with `unknown` set, the access of every handle counts as unreadable (as on a
// system without the query), so every open handle counts as waitable. Returns the setting
// before.
bool setAccessUnknown(bool unknown) noexcept;
