// The tool's commands. Each runs on the calling thread, which becomes the host's main
// thread (it loads the external and pumps its messages), and returns the process exit
// status (kToolExit*). Output goes to the console; nothing is left registered or open
// when a command returns.
#pragma once

#include <string>
#include <vector>

#include "tools/ToolConsole.h"
#include "tools/ToolOptions.h"

// Parses `args` (the words after the program name) and runs the command.
int runTool(const std::vector<std::string>& args, ToolConsole& console);

int runListCommand(const ToolOptions& options, ToolConsole& console);
int runSendCommand(const ToolOptions& options, ToolConsole& console);
int runMonitorCommand(const ToolOptions& options, ToolConsole& console);
int runParamsCommand(const ToolOptions& options, ToolConsole& console);
int runCheckCommand(const ToolOptions& options, ToolConsole& console);
int runBenchCommand(const ToolOptions& options, ToolConsole& console);
