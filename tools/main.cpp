// prismlux-tool: see ToolOptions.h for the command line.
#include <string>
#include <vector>

#include "tools/ToolCommands.h"
#include "tools/ToolInterrupt.h"

int main(int argc, char** argv) {
  installToolInterruptHandler();
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) args.emplace_back(argv[i] != nullptr ? argv[i] : "");
  ToolConsole console;
  return runTool(args, console);
}
