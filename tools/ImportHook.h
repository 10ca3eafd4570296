// Every call that a loaded module makes through its import table, seen on its way: counted
// by function and by the calling thread, and, for the functions a test chose, failed on
// demand. The tool's bench counts a frame's calls with it; the tests fail one call at a time.
//
// attach(module) points each import slot that names a function (not data, not by ordinal)
// at a small stub: the stub counts the call for the calling thread, asks the fail rule when
// the function has a failing stand-in, and jumps on to the original (or the stand-in) with
// the caller's arguments untouched and GetLastError unchanged. The module's own thread
// starts (_beginthreadex, CreateThread) are wrapped so that the threads it makes are known.
//
// Threads are told apart by what they are, not by when they came: the main thread (the
// one that attached first, or setMainThread), the module's thread that waits with
// MsgWaitForMultipleObjects (its environment thread), the other threads the module made
// itself (helper waits), and any other thread (host threads, the system's thread pool).
//
// For measuring and testing only. The stubs stay for the life of the process (attach is
// never undone; a module attached again is only re-pointed). Attach while no other thread
// calls into the module; read counts and change the rule from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "support/Windows.h"

namespace importhook {

enum class Role { Main, Environment, Helper, Other };
constexpr int kRoles = 4;
const char* roleName(Role role);

// Hooks every function import by name of `module`; returns how many are hooked (0: none,
// or the import table could not be changed).
int attach(HMODULE module);
// Whether a module attached so far imports `function` (from any DLL).
bool hooked(const char* function);

// The thread counted as the host's main thread (the first attaching thread by default).
void setMainThread(DWORD threadId);

// Calls of `function` (any DLL) so far, on all threads or on threads of one role.
uint64_t calls(const char* function);
uint64_t calls(const char* function, Role role);

// Every hooked function's calls so far, per role. Subtract two to count an interval.
struct Tally {
  std::string dll;
  std::string function;
  uint64_t calls[kRoles] = {};
};
std::vector<Tally> tallies();

// The threads seen calling through the hook so far, with their roles now.
struct SeenThread {
  DWORD id;
  Role role;
};
std::vector<SeenThread> threads();

// From now on, a call of `function` asks the fail rule; when it says so, `standIn` runs in
// place of the function (same signature and calling convention; it must not call the
// original). `kind` is handed to the rule. Before or after attach.
void setStandIn(const char* function, void* standIn, int kind);
// The rule, or null for none: true fails this call of a function of `kind`.
using FailRule = bool (*)(int kind);
void setFailRule(FailRule rule);

}  // namespace importhook
