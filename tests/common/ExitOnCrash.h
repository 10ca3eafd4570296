// Makes a crash of a test program end it at once with exit code 3. Left to Wine, an
// unhandled exception starts its debugger, and the exit code the test runner then sees is
// not reliable: at times it is 0, which reads as a pass. Every test program links
// ExitOnCrash.cpp, which includes this header.
#pragma once

#include <cstdio>

#include "support/Windows.h"

namespace testcrash {

inline LONG WINAPI exitOnCrash(EXCEPTION_POINTERS* info) {
  std::fprintf(stderr, "FAILED: unhandled exception 0x%08lx at %p\n",
               static_cast<unsigned long>(info->ExceptionRecord->ExceptionCode),
               info->ExceptionRecord->ExceptionAddress);
  std::fflush(stderr);
  TerminateProcess(GetCurrentProcess(), 3);
  return EXCEPTION_EXECUTE_HANDLER;
}

// Installed before main runs, once per program.
struct ExitOnCrash {
  ExitOnCrash() { SetUnhandledExceptionFilter(&exitOnCrash); }
};
inline const ExitOnCrash installed;

}  // namespace testcrash
