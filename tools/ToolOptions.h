// The tool's command line: which command runs and with what. Pure functions; any thread.
//
//   prismlux-tool list    [--simulate]
//   prismlux-tool send    [--scale S] [--serial N] [--seconds T] [--simulate] v0 v1 ...
//   prismlux-tool monitor [--scale S] [--serial N] [--seconds T] [--simulate]
//   prismlux-tool params  [--serial N] [--simulate] [--set A B C]
//   prismlux-tool check   [--serial N] [--simulate]
//   prismlux-tool bench   [--seconds T] [calls] [many] [N ...]
//   prismlux-tool --help
//
// Options take their value as the next word or after "=" ("--scale 255", "--scale=255").
// A word "--" ends the options; every later word is a list value. Words of one dash that
// read as numbers ("-0.5") are list values, not options. "--set" takes the three words after
// it, each a whole number from 0 to 255.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

enum class ToolCommand { Help, List, Send, Monitor, Params, Check, Bench };

struct ToolOptions {
  ToolCommand command = ToolCommand::Help;
  std::optional<double> scale;        // >= 0; the object reads 0 as 1
  std::optional<std::string> serial;  // never empty when set
  std::optional<double> seconds;      // > 0 when set
  bool simulate = false;
  std::vector<double> values;         // send only: 1 to 513 finite numbers
  std::optional<std::array<uint8_t, 3>> setParameters;  // params --set
  // bench only: the figures asked for; with none named, every figure.
  bool benchCalls = false;              // "calls": calls per frame
  bool benchMany = false;               // "many", or interface counts: many interfaces
  std::vector<int> benchInterfaces;     // the counts for "many", 1 to kToolMaxInterfaces
};

struct ToolParse {
  bool ok = false;
  ToolOptions options;
  std::string error;  // one line, for the user, when !ok
};

inline constexpr int kToolExitOk = 0;
inline constexpr int kToolExitFailed = 1;     // the command ran and could not do its job
inline constexpr int kToolExitBadUsage = 2;   // the command line was refused

inline constexpr double kToolMaxSeconds = 1e6;
inline constexpr size_t kToolMaxValues = 513;
inline constexpr int kToolMaxInterfaces = 1302;

// `args` are the words after the program name. "--help" or "-h" anywhere before "--", or
// "help" as the command, gives ToolCommand::Help.
ToolParse parseToolArguments(const std::vector<std::string>& args);

// A whole word as a finite decimal number ("1", "-2.5", "1e3"); false for anything else,
// also "nan", "inf", "", "1x" and " 1".
bool parseToolNumber(const std::string& text, double* value);

// The usage text printed by --help.
const char* toolUsage();
