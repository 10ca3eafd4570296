// Makes one call of a loaded module fail on purpose: the nth allocation (malloc, calloc,
// realloc: operator new allocates through malloc), the nth PostMessage, SetTimer or
// CreateEventW that the module makes through its own import table, counted from arm().
// A failed allocation returns null, a failed PostMessage FALSE with ERROR_NOT_ENOUGH_QUOTA
// (a full message queue), SetTimer 0 and CreateEventW null with ERROR_NO_SYSTEM_RESOURCES.
// Every other call goes through to the system.
//
// One seam at a time per process (the replacements share static state). Install and
// remove while the module runs nothing on other threads; arm and read from any thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <vector>

#include "support/Windows.h"
#include "tests/common/ImportPatch.h"

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
  void* originals[8] = {};
};

inline State& state() {
  static State s;
  return s;
}

// True when this call (of `kind`) is the one to fail.
inline bool failsNow(Kind kind) {
  State& s = state();
  const long n = ++s.calls[int(kind)];
  if (s.armedKind.load() != int(kind) || n != s.armedCall.load()) return false;
  s.fired = true;
  s.firedStage = s.stage.load();
  return true;
}

template <typename F>
F original(int slot) {
  return reinterpret_cast<F>(state().originals[slot]);
}

enum Slot { kMalloc, kCalloc, kRealloc, kPostW, kPostA, kSetTimer, kCreateEventW };

inline void* __cdecl failingMalloc(size_t bytes) {
  return failsNow(Kind::Allocation) ? nullptr : original<void* (__cdecl*)(size_t)>(kMalloc)(bytes);
}
inline void* __cdecl failingCalloc(size_t count, size_t bytes) {
  return failsNow(Kind::Allocation) ? nullptr
                                     : original<void* (__cdecl*)(size_t, size_t)>(kCalloc)(count, bytes);
}
inline void* __cdecl failingRealloc(void* block, size_t bytes) {
  return failsNow(Kind::Allocation) ? nullptr
                                     : original<void* (__cdecl*)(void*, size_t)>(kRealloc)(block, bytes);
}
using PostFn = BOOL(WINAPI*)(HWND, UINT, WPARAM, LPARAM);
inline BOOL WINAPI failingPostW(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (failsNow(Kind::Post)) {
    SetLastError(ERROR_NOT_ENOUGH_QUOTA);
    return FALSE;
  }
  return original<PostFn>(kPostW)(window, message, wParam, lParam);
}
inline BOOL WINAPI failingPostA(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (failsNow(Kind::Post)) {
    SetLastError(ERROR_NOT_ENOUGH_QUOTA);
    return FALSE;
  }
  return original<PostFn>(kPostA)(window, message, wParam, lParam);
}
inline UINT_PTR WINAPI failingSetTimer(HWND window, UINT_PTR id, UINT interval, TIMERPROC proc) {
  if (failsNow(Kind::Timer)) return 0;
  return original<UINT_PTR(WINAPI*)(HWND, UINT_PTR, UINT, TIMERPROC)>(kSetTimer)(window, id, interval, proc);
}
inline HANDLE WINAPI failingCreateEventW(SECURITY_ATTRIBUTES* security, BOOL manual, BOOL initial,
                                         const wchar_t* name) {
  if (failsNow(Kind::Event)) {
    SetLastError(ERROR_NO_SYSTEM_RESOURCES);
    return nullptr;
  }
  return original<HANDLE(WINAPI*)(SECURITY_ATTRIBUTES*, BOOL, BOOL, const wchar_t*)>(kCreateEventW)(
      security, manual, initial, name);
}

}  // namespace detail

class FailureSeam {
 public:
  // Patches `module`'s imports. ok() is false when it imports none of the allocation, post,
  // timer or event functions (then nothing can be failed).
  explicit FailureSeam(HMODULE module) {
    using namespace detail;
    struct Entry {
      const char* dll;
      const char* function;
      void* replacement;
      Slot slot;
    };
    const Entry entries[] = {
        {"msvcrt.dll", "malloc", reinterpret_cast<void*>(&failingMalloc), kMalloc},
        {"msvcrt.dll", "calloc", reinterpret_cast<void*>(&failingCalloc), kCalloc},
        {"msvcrt.dll", "realloc", reinterpret_cast<void*>(&failingRealloc), kRealloc},
        {"user32.dll", "PostMessageW", reinterpret_cast<void*>(&failingPostW), kPostW},
        {"user32.dll", "PostMessageA", reinterpret_cast<void*>(&failingPostA), kPostA},
        {"user32.dll", "SetTimer", reinterpret_cast<void*>(&failingSetTimer), kSetTimer},
        {"kernel32.dll", "CreateEventW", reinterpret_cast<void*>(&failingCreateEventW), kCreateEventW},
    };
    arm(Kind::Allocation, 0);
    for (const Entry& e : entries) {
      // The original is in place before the slot points to the replacement.
      state().originals[e.slot] = reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA(e.dll), e.function));
      auto patch = std::make_unique<testpatch::ImportPatch>(e.dll, e.function, e.replacement, module);
      if (!patch->ok()) continue;
      state().originals[e.slot] = patch->original();
      patches_.push_back(std::move(patch));
    }
  }
  FailureSeam(const FailureSeam&) = delete;
  FailureSeam& operator=(const FailureSeam&) = delete;

  bool ok() const { return patches_.size() >= 4; }

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
  std::vector<std::unique_ptr<testpatch::ImportPatch>> patches_;
};

}  // namespace testfail
