// The tool's side of the host: the external file beside the program, loaded through our
// stand-in host (host/HostDriver.h), and one prismlux object box made from the options.
// Main thread only (the thread that loads the external is the host's main thread).
#pragma once

#include <string>
#include <vector>

#include "host/HostDriver.h"
#include "tools/ToolConsole.h"
#include "tools/ToolOptions.h"

// The external of this architecture in the program's own folder (prismlux.mxe64 for
// x86-64, prismlux.mxe for x86), as UTF-8.
std::string toolExternalPath();

// Loads the external once per process; false, with the reason printed, when it does not load.
bool loadToolExternal(ToolConsole& console);

// The box arguments for the options: nothing without scale and serial, the scale alone, or
// the scale (1 when not given) and the serial as a symbol, so that its text arrives as typed.
// `serial`, when not empty, stands in for an options serial that was not given.
std::vector<maxhost::Value> toolBoxArguments(const ToolOptions& options, const std::string& serial = "");

// Takes what the external posted since the last look and prints it, one "max window:" line
// each; returns how many lines it printed.
size_t printToolPosts(ToolConsole& console);

// One object box, freed on destruction (the posts of the free are printed). Non-copyable.
class ToolObjectBox {
 public:
  // Makes the box and prints its posts; opened() tells whether it posted "open <serial>".
  ToolObjectBox(ToolConsole& console, const std::vector<maxhost::Value>& args);
  ~ToolObjectBox();
  ToolObjectBox(const ToolObjectBox&) = delete;
  ToolObjectBox& operator=(const ToolObjectBox&) = delete;

  void* object() const { return object_; }
  bool opened() const { return opened_; }

 private:
  ToolConsole& console_;
  void* object_ = nullptr;
  bool opened_ = false;
};
