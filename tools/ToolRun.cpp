#include "tools/ToolCommands.h"

int runTool(const std::vector<std::string>& args, ToolConsole& console) {
  const ToolParse parse = parseToolArguments(args);
  if (!parse.ok) {
    console.error("prismlux-tool: %s\n", parse.error.c_str());
    return kToolExitBadUsage;
  }
  switch (parse.options.command) {
    case ToolCommand::Help:
      console.print("%s", toolUsage());
      return kToolExitOk;
    case ToolCommand::List:
      return runListCommand(parse.options, console);
    case ToolCommand::Send:
      return runSendCommand(parse.options, console);
    case ToolCommand::Monitor:
      return runMonitorCommand(parse.options, console);
    case ToolCommand::Params:
      return runParamsCommand(parse.options, console);
    case ToolCommand::Check:
      return runCheckCommand(parse.options, console);
    case ToolCommand::Bench:
      return runBenchCommand(parse.options, console);
  }
  return kToolExitBadUsage;
}
