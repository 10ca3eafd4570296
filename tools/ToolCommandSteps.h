// Steps that several commands begin with. Each says why it failed on the console, so the
// caller only returns kToolExitFailed.
#pragma once

#include "tools/ToolConsole.h"
#include "tools/ToolObjectBox.h"
#include "tools/ToolOptions.h"
#include "tools/ToolSimulator.h"

// Starts `simulator` (a loopback interface) when --simulate was given. kToolExitOk, or the
// status to exit with: kToolExitBadUsage without the simulator, kToolExitFailed when it failed.
int startSimulationIfAsked(const ToolOptions& options, ToolSimulator& simulator, ToolConsole& console);

// True when the box exists and opened an interface.
bool boxOpenedInterface(const ToolObjectBox& box, ToolConsole& console);
