// CEnv: the process-wide environment shared by every open device: a hidden message-only
// window "CEnv" on the creating thread (it carries the timers and the main-thread service
// of the async events) and the dispatcher (the environment thread and lock). At most one
// exists per process; current() finds it.
//
// Threads: create and destroy (delete) on the same thread, the one whose message loop
// serves the window (the host's main thread). Every LAsyncEvent note and LTimer expiry is
// delivered on that thread.
//
// Creation fails (null, nothing left behind) when the window, the lock's event or the
// worker thread cannot be made, when the worker dies before it starts to serve, or while
// another CEnv exists. The caller (the device open) then fails cleanly.
//
// Destruction, in this order: the worker is stopped and joined; the service poster is
// released and a service message still in flight is taken out of the queue, which frees
// it; the window is destroyed (its timers go with it) and its class unregistered when it
// was the last window of the class. Every event and signal using this environment must be
// gone before.
#pragma once

#include "framework/LDispatcher.h"
#include "framework/LMessageWindow.h"

class CEnv {
 public:
  static constexpr const char* kWindowName = "CEnv";

  static CEnv* create();
  ~CEnv();
  CEnv(const CEnv&) = delete;
  CEnv& operator=(const CEnv&) = delete;

  // The environment, or null when none exists.
  static CEnv* current() noexcept;

  // What async objects and devices hold as their environment.
  LDispatcher* dispatcher() noexcept { return &dispatcher_; }
  HWND window() const noexcept { return window_.handle(); }

 private:
  CEnv() noexcept = default;
  static bool windowCallback(void* user, UINT message, WPARAM wParam, LPARAM lParam,
                             LRESULT* result);
  // Lets every service message still queued for the window arrive.
  void drainServiceMessages();

  LMessageWindow window_;
  LDispatcher dispatcher_;
};
