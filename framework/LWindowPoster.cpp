#include "framework/LWindowPoster.h"

#include "support/Win32Text.h"

namespace {

std::atomic<int32_t> gLiveCount{0};

}  // namespace

LWindowPoster::LWindowPoster(HWND window, UINT message, void* user, Callback callback) noexcept
    : user_(user), callback_(callback), window_(window), message_(message) {
  ++gLiveCount;
}

LWindowPoster::~LWindowPoster() { --gLiveCount; }

int32_t LWindowPoster::liveCount() noexcept { return gLiveCount.load(); }

bool LWindowPoster::post() {
  if (posted_.exchange(true)) return true;
  if (w32::postMessage(window_, message_, reinterpret_cast<WPARAM>(this), 0)) return true;
  // Nothing is in flight, so nothing would ever clear the flag: let a later post retry.
  posted_ = false;
  return false;
}

void LWindowPoster::release() {
  released_ = true;
  if (!posted_.load()) delete this;
}

void LWindowPoster::arrive(WPARAM wParam) {
  LWindowPoster* poster = reinterpret_cast<LWindowPoster*>(wParam);
  if (poster == nullptr) return;
  // Cleared before the callback, so that the callback (or another thread meanwhile) may
  // post the next message.
  poster->posted_ = false;
  if (poster->released_) {
    delete poster;
    return;
  }
  poster->callback_(poster->user_);
}
