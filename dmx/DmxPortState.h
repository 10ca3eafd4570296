// What the port's open and close keep for the whole process, readable by tests and checks.
// Open and close run on one thread at a time (the host's main thread); read these from that
// thread too.
#pragma once

#include <cstdint>

// Opens under way plus devices alive.
int32_t dmxOpenCount();
// Whether the environment (hidden window, lock and worker thread) exists; true exactly
// while dmxOpenCount() is above 0.
bool dmxHasEnvironment();
// The environment's worker thread id; 0 when there is no environment.
uint32_t dmxWorkerThreadId();
