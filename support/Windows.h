// The one place that includes <windows.h>. Every other file that needs the Win32 API
// includes this header, so the macros that shape the API are the same everywhere.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0601  // Windows 7: the oldest system the external supports
#endif

#include <windows.h>
