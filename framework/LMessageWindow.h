// LMessageWindow: a hidden window whose messages go to a plain callback. The window
// belongs to the thread that creates it; that thread's message loop dispatches its
// messages, and the object must be destroyed on that thread.
//
// The callback gets (user pointer, message, wParam, lParam, result) and returns true when
// it handled the message (the window procedure then returns *result, 0 unless set);
// otherwise DefWindowProc runs. The callback may destroy the LMessageWindow.
//
// The window class (named like the window) is registered under the module that contains
// this code, not the process's executable, so its window procedure always lies in a loaded
// image. Destroying a window unregisters the class again; while other windows of the class
// exist the system refuses that harmlessly, so the last window takes the class with it and
// a library that is unloaded leaves no class behind pointing into it. A second window of
// the same name meanwhile finds the class already registered, which is fine.
#pragma once

#include "support/Windows.h"

class LMessageWindow {
 public:
  using Callback = bool (*)(void* user, UINT message, WPARAM wParam, LPARAM lParam,
                            LRESULT* result);

  LMessageWindow() = default;
  ~LMessageWindow();  // destroy()
  LMessageWindow(const LMessageWindow&) = delete;
  LMessageWindow& operator=(const LMessageWindow&) = delete;

  // Registers the class `name` (if needed) and creates the window titled `name`: a
  // message-only window (parent HWND_MESSAGE) or a hidden top-level one. `name` is a
  // constant UTF-8 text that outlives the window. False when no window was made.
  bool create(const char* name, void* user, Callback callback, bool messageOnly);
  // Destroys the window (its timers and queued messages go with it) and tries to
  // unregister the class. Safe to call twice.
  void destroy();

  HWND handle() const noexcept { return window_; }

  // The module the class is registered under: the image holding this code.
  static HINSTANCE ownModule();

 private:
  static LRESULT CALLBACK windowProcedure(HWND window, UINT message, WPARAM wParam,
                                          LPARAM lParam);

  HWND window_ = nullptr;
  void* user_ = nullptr;
  Callback callback_ = nullptr;
  const char* className_ = nullptr;  // not owned: a constant text
};
