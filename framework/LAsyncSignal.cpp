#include "framework/LAsyncSignal.h"

#include "framework/LAsyncEnv.h"

LAsyncSignal::LAsyncSignal(LHandler* owner, LAsyncEnv* env) noexcept
    : LHandler(owner), env_(env) {}

LAsyncSignal::~LAsyncSignal() {
  // Out of the wait set before the handler part announces anything: the environment
  // thread must not deliver to a signal that is going away.
  if (env_ != nullptr) env_->unregisterSignalLocked(this);
}

void LAsyncSignal::arm(HANDLE handle) {
  if (env_ == nullptr) return;
  handle_ = handle;
  env_->registerSignal(this);
}

void LAsyncSignal::disarm() {
  if (env_ != nullptr) env_->unregisterSignal(this);
}
