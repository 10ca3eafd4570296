// LEnvJob: a piece of work that must run on the environment thread (see
// LAsyncEnv::runOnEnvThread), under the environment lock. It is a list node so that
// queueing it allocates nothing; its owner keeps it alive until it has run or been
// withdrawn (LAsyncEnv::withdrawJob).
#pragma once

#include "support/LList.h"

class LEnvJob : public LListNode {
 public:
  using Run = void (*)(void* user);
  LEnvJob(Run run, void* user) noexcept : run_(run), user_(user) {}

  void run() const { run_(user_); }

 private:
  Run run_;
  void* user_;
};
