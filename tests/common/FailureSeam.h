// Makes one call of a loaded module fail on purpose: the nth allocation (malloc, calloc,
// realloc: operator new allocates through malloc), the nth PostMessage, SetTimer or
// CreateEventW that the module makes through its own import table, counted from arm().
// A failed allocation returns null, a failed PostMessage FALSE with ERROR_NOT_ENOUGH_QUOTA
// (a full message queue), SetTimer 0 and CreateEventW null with ERROR_NO_SYSTEM_RESOURCES.
// Every other call goes through to the system. The calls are caught by the import hook
// (tools/ImportHook.h), which stays on the module after the seam is gone.
//
// One seam at a time per process (the rule is process-wide). Construct while the module
// runs nothing on other threads; arm and read from any thread.
#pragma once

#include <atomic>
#include <cstddef>

#include "support/Windows.h"
#include "tools/ImportHook.h"

namespace testfail {

enum class Kind { Allocation, Post, Timer, Event };
constexpr int kKinds = 4;

inline const char* kindName(Kind kind) {
  switch (kind) {
    case Kind::Allocation: return "allocation";
    case Kind::Post: return "PostMessage";
    case Kind::Timer: return "SetTimer";
    case Kind::Event: return "CreateEventW";
  }
  return "?";
}

namespace detail {

struct State {
  std::atomic<long> calls[kKinds];
  std::atomic<int> armedKind{-1};
  std::atomic<long> armedCall{0};
  std::atomic<bool> fired{false};
  std::atomic<int> stage{0};
  std::atomic<int> firedStage{-1};
};

inline State& state() {
  static State s;
  return s;
}

// True when this call (of `kind`) is the one to fail.
inline bool failsNow(int kind) {
  State& s = state();
  const long n = ++s.calls[kind];
  if (s.armedKind.load() != kind || n != s.armedCall.load()) return false;
  s.fired = true;
  s.firedStage = s.stage.load();
  return true;
}

// What the failed calls answer; none calls the function it stands in for.
inline void* __cdecl refusedMalloc(size_t) { return nullptr; }
inline void* __cdecl refusedCalloc(size_t, size_t) { return nullptr; }
inline void* __cdecl refusedRealloc(void*, size_t) { return nullptr; }
inline BOOL WINAPI refusedPost(HWND, UINT, WPARAM, LPARAM) {
  SetLastError(ERROR_NOT_ENOUGH_QUOTA);
  return FALSE;
}
inline UINT_PTR WINAPI refusedSetTimer(HWND, UINT_PTR, UINT, TIMERPROC) { return 0; }
inline HANDLE WINAPI refusedCreateEventW(SECURITY_ATTRIBUTES*, BOOL, BOOL, const wchar_t*) {
  SetLastError(ERROR_NO_SYSTEM_RESOURCES);
  return nullptr;
}

}  // namespace detail

class FailureSeam {
 public:
  // Hooks `module`'s imports. ok() is false when it imports none of the allocation, post,
  // timer or event functions (then nothing can be failed).
  explicit FailureSeam(HMODULE module) {
    using namespace detail;
    struct StandIn {
      const char* function;
      void* standIn;
      Kind kind;
    };
    const StandIn standIns[] = {
        {"malloc", reinterpret_cast<void*>(&refusedMalloc), Kind::Allocation},
        {"calloc", reinterpret_cast<void*>(&refusedCalloc), Kind::Allocation},
        {"realloc", reinterpret_cast<void*>(&refusedRealloc), Kind::Allocation},
        {"PostMessageW", reinterpret_cast<void*>(&refusedPost), Kind::Post},
        {"PostMessageA", reinterpret_cast<void*>(&refusedPost), Kind::Post},
        {"SetTimer", reinterpret_cast<void*>(&refusedSetTimer), Kind::Timer},
        {"CreateEventW", reinterpret_cast<void*>(&refusedCreateEventW), Kind::Event},
    };
    disarm();
    for (const StandIn& s : standIns) importhook::setStandIn(s.function, s.standIn, int(s.kind));
    importhook::setFailRule(&failsNow);
    if (importhook::attach(module) == 0) return;
    int found = 0;
    for (const StandIn& s : standIns) found += importhook::hooked(s.function) ? 1 : 0;
    ok_ = found >= 4;
  }
  ~FailureSeam() { importhook::setFailRule(nullptr); }
  FailureSeam(const FailureSeam&) = delete;
  FailureSeam& operator=(const FailureSeam&) = delete;

  bool ok() const { return ok_; }

  // From now, call `nth` (from 1) of `kind` fails; 0 fails nothing. Counts start again.
  void arm(Kind kind, long nth) {
    detail::State& s = detail::state();
    s.armedCall = 0;
    for (auto& count : s.calls) count = 0;
    s.fired = false;
    s.firedStage = -1;
    s.armedKind = int(kind);
    s.armedCall = nth;
  }
  void disarm() { detail::state().armedCall = 0; }

  // Calls of `kind` since arm().
  long calls(Kind kind) const { return detail::state().calls[int(kind)].load(); }
  // Whether the armed call has come (and failed), and the stage it came in.
  bool fired() const { return detail::state().fired.load(); }
  int firedStage() const { return detail::state().firedStage.load(); }
  // A number the test sets to tell when a failure came (for example: new, traffic, free).
  void setStage(int stage) { detail::state().stage = stage; }

 private:
  bool ok_ = false;
};

}  // namespace testfail
