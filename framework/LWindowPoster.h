// LWindowPoster: posts one message to a window and runs a callback on the window's thread
// when it arrives, with at most one message in flight: posting again before the message
// has arrived does nothing, so any number of posts in a row give one callback.
//
// The message carries the poster as wParam. The window's callback hands it to arrive(),
// which clears the in-flight flag and then runs the callback (so the callback may post
// again at once).
//
// Ownership and lifetime: made with new; never deleted directly. The owner calls release()
// when done: the poster deletes itself at once when nothing is in flight, otherwise on the
// arrival of its message, without running the callback. Whoever destroys the window must
// first let any message in flight arrive (see CEnv), or the poster would never be freed.
//
// Threads: post from any thread, under whatever lock serialises the owner's posts;
// release and arrive on the window's thread. liveCount is for tests.
#pragma once

#include "support/Windows.h"

#include <atomic>
#include <cstdint>

class LWindowPoster {
 public:
  using Callback = void (*)(void* user);

  LWindowPoster(HWND window, UINT message, void* user, Callback callback) noexcept;
  LWindowPoster(const LWindowPoster&) = delete;
  LWindowPoster& operator=(const LWindowPoster&) = delete;

  // Posts the message unless one is in flight. True when a message is in flight
  // afterwards; false when the post failed (nothing in flight: a later post tries again).
  virtual bool post();
  // The owner lets go; see the class comment. The pointer is invalid afterwards.
  virtual void release();

  // On the window's thread, with the wParam of an arrived message.
  static void arrive(WPARAM wParam);

  bool isPosted() const noexcept { return posted_.load(); }
  static int32_t liveCount() noexcept;

 protected:
  virtual ~LWindowPoster();

 private:
  void* const user_;
  const Callback callback_;
  const HWND window_;
  const UINT message_;
  std::atomic<bool> posted_{false};
  bool released_ = false;
};
