// In-place output on a console: show() draws a block of lines where the previous show() drew
// its block, so that a picture (the monitor's grid) is refreshed instead of scrolled. The first
// block is printed as text; later blocks of as many lines rewrite only the lines that changed,
// straight into the console's buffer, leaving the cursor below the block. Main thread.
#pragma once

#include <string>
#include <vector>

#include "tools/ToolConsole.h"

class ToolScreen {
 public:
  explicit ToolScreen(ToolConsole& console);

  // True when the console's output is a console window or terminal, not a file or pipe (and
  // not captured): only then can a block be drawn over.
  bool available() const { return available_; }

  // Draws `block` (whole lines, each ending in "\n") over the block shown last, if any.
  void show(const std::string& block);
  // Forgets the block shown last: the next show() prints its block below whatever was printed
  // since.
  void forget() { shown_.clear(); }

 private:
  ToolConsole& console_;
  void* handle_ = nullptr;
  bool available_ = false;
  std::vector<std::string> shown_;  // the lines on the console, top_ the row of the first
  int top_ = 0;
};
