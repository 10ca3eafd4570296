// Windows error codes as a user can look them up: "error 5 (ERROR_ACCESS_DENIED)". Only the
// codes that opening a USB interface is known to meet have a name; others show the number.
// Pure function; any thread.
#pragma once

#include <string>

#include "support/Windows.h"

std::string windowsErrorText(DWORD error);
