// The bench's figure of the environment thread's helper waits: with as many signals armed as
// `interfaces` open interfaces arm (three each), one signalled handle at a time is served and
// re-armed at once, as a device re-arms its transfer queue's head. Printed: how often the
// helper wait threads come out of their waits per pass of the environment thread. Main
// thread; makes an environment of its own.
#pragma once

#include "tools/ToolConsole.h"

void printHelperWakeupFigure(ToolConsole& console, int interfaces, double seconds);
