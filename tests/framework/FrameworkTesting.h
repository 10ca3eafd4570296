// Helpers for the framework tests: bounded message pumping, a handler that records the
// notes it receives (from any thread), a watchdog that fails a test that would hang, and
// a clock the tests move by hand.
#pragma once

#include "framework/LHandler.h"
#include "framework/NoteNames.h"
#include "support/Windows.h"
#include "tests/common/TestWaits.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testing_support {

using testwaits::pumpFor;
using testwaits::pumpUntil;
using testwaits::waitUntil;
using testwaits::Watchdog;

// Records every note that reaches it and consumes it. The optional hook runs for each
// note, on the delivering thread, before the note is recorded.
class Recorder : public LHandler {
 public:
  struct Entry {
    std::string name;
    LHandler* sender;
    DWORD thread;
  };

  Recorder() : LHandler(nullptr) {}

  LNote handleNote(const LNote& note) override {
    if (hook) hook(note);
    std::lock_guard<std::mutex> guard(mutex_);
    entries_.push_back({note.name != nullptr ? note.name : "", note.sender, GetCurrentThreadId()});
    return LNote();
  }

  std::vector<Entry> entries() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return entries_;
  }
  // Notes named `name`, in arrival order, by sender.
  std::vector<LHandler*> senders(const char* name) const {
    std::vector<LHandler*> out;
    for (const Entry& e : entries())
      if (e.name == name) out.push_back(e.sender);
    return out;
  }
  size_t count(const char* name) const { return senders(name).size(); }
  void clear() {
    std::lock_guard<std::mutex> guard(mutex_);
    entries_.clear();
  }

  std::function<void(const LNote&)> hook;

 private:
  mutable std::mutex mutex_;
  std::vector<Entry> entries_;
};


// A clock moved by the test (see LTimer::setClock).
struct FakeClock {
  static inline std::atomic<uint32_t> now{0};
  static uint32_t read() { return now.load(); }
};

}  // namespace testing_support
