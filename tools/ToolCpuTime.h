// The CPU time the whole process has used so far (every thread, user and kernel), as the
// system counts it (GetProcessTimes): in 100 ns units, but in steps of a clock tick (about
// 15.6 ms on Windows, 10 ms under Wine), so a figure taken from it needs a run of seconds.
// Any thread.
#pragma once

// Seconds; 0 when the system does not say.
double toolProcessCpuSeconds();
// The same for the calling thread alone (GetThreadTimes).
double toolThreadCpuSeconds();
// The same for the thread with this id (0 when it is gone or cannot be read).
double toolThreadCpuSeconds(unsigned long threadId);
