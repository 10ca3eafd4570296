#include "tools/ToolOptions.h"

#include <cmath>
#include <cstdlib>

namespace {

enum Allowed : unsigned { kScale = 1, kSerial = 2, kSeconds = 4, kSimulate = 8, kSet = 16 };

struct CommandInfo {
  const char* name;
  ToolCommand command;
  unsigned allowed;
};

constexpr CommandInfo kCommands[] = {
    {"list", ToolCommand::List, kSimulate},
    {"send", ToolCommand::Send, kScale | kSerial | kSeconds | kSimulate},
    {"monitor", ToolCommand::Monitor, kScale | kSerial | kSeconds | kSimulate},
    {"params", ToolCommand::Params, kSerial | kSimulate | kSet},
    {"check", ToolCommand::Check, kSerial | kSimulate},
    {"bench", ToolCommand::Bench, kSeconds},
};

ToolParse refuse(std::string error) {
  ToolParse result;
  result.error = std::move(error);
  return result;
}

bool isHelpWord(const std::string& word) { return word == "--help" || word == "-h"; }

// A device parameter: a whole number from 0 to 255 in decimal digits.
bool parseParameter(const std::string& text, uint8_t* value) {
  if (text.empty() || text.size() > 3) return false;
  unsigned number = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    number = number * 10 + static_cast<unsigned>(c - '0');
  }
  if (number > 255) return false;
  *value = static_cast<uint8_t>(number);
  return true;
}

// "calls", "many" or an interface count for "many".
bool parseBenchWord(const std::string& word, ToolOptions* options) {
  if (word == "calls") {
    options->benchCalls = true;
    return true;
  }
  options->benchMany = true;
  if (word == "many") return true;
  if (word.empty() || word.size() > 4) return false;
  int count = 0;
  for (char c : word) {
    if (c < '0' || c > '9') return false;
    count = count * 10 + (c - '0');
  }
  if (count < 1 || count > kToolMaxInterfaces) return false;
  options->benchInterfaces.push_back(count);
  return true;
}

}  // namespace

bool parseToolNumber(const std::string& text, double* value) {
  if (text.empty() || text.size() > 64) return false;
  const char first = text[0];
  if (!(first == '-' || first == '+' || first == '.' || (first >= '0' && first <= '9'))) return false;
  // strtod also takes "nan", "inf" and hexadecimal forms; only decimal digits, signs, one
  // point and an exponent belong in a list value.
  for (char c : text) {
    if (!((c >= '0' && c <= '9') || c == '-' || c == '+' || c == '.' || c == 'e' || c == 'E')) return false;
  }
  // Overflow gives an infinity (refused); underflow gives a tiny number or 0 (taken).
  char* end = nullptr;
  const double parsed = std::strtod(text.c_str(), &end);
  if (end != text.c_str() + text.size() || !std::isfinite(parsed)) return false;
  *value = parsed;
  return true;
}

ToolParse parseToolArguments(const std::vector<std::string>& args) {
  for (const std::string& word : args) {
    if (word == "--") break;
    if (isHelpWord(word)) {
      ToolParse help;
      help.ok = true;
      return help;
    }
  }
  if (args.empty()) return refuse("no command given (try --help)");
  if (args[0] == "help") {
    ToolParse help;
    help.ok = true;
    return help;
  }

  const CommandInfo* info = nullptr;
  for (const CommandInfo& candidate : kCommands) {
    if (args[0] == candidate.name) info = &candidate;
  }
  if (info == nullptr) return refuse("unknown command '" + args[0] + "' (try --help)");

  ToolParse result;
  ToolOptions& options = result.options;
  options.command = info->command;
  bool optionsEnded = false;
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& word = args[i];
    if (!optionsEnded && word == "--") {
      optionsEnded = true;
      continue;
    }
    if (!optionsEnded && word.size() > 2 && word.compare(0, 2, "--") == 0) {
      const size_t equals = word.find('=');
      const std::string name = word.substr(2, equals == std::string::npos ? std::string::npos : equals - 2);
      const bool inlineValue = equals != std::string::npos;
      unsigned option = 0;
      if (name == "scale") option = kScale;
      else if (name == "serial") option = kSerial;
      else if (name == "seconds") option = kSeconds;
      else if (name == "simulate") option = kSimulate;
      else if (name == "set") option = kSet;
      else return refuse("unknown option --" + name);
      if ((info->allowed & option) == 0) return refuse("option --" + name + " does not apply to " + info->name);

      if (option == kSimulate) {
        if (inlineValue) return refuse("--simulate takes no value");
        if (options.simulate) return refuse("--simulate given twice");
        options.simulate = true;
        continue;
      }
      if (option == kSet) {
        if (inlineValue) return refuse("--set takes three values after a space: --set A B C");
        if (options.setParameters) return refuse("--set given twice");
        std::array<uint8_t, 3> parameters{};
        for (uint8_t& parameter : parameters) {
          if (i + 1 >= args.size()) return refuse("--set needs three values");
          const std::string& value = args[++i];
          if (!parseParameter(value, &parameter))
            return refuse("--set values are whole numbers from 0 to 255, not '" + value + "'");
        }
        options.setParameters = parameters;
        continue;
      }
      std::string value;
      if (inlineValue) {
        value = word.substr(equals + 1);
      } else {
        if (i + 1 >= args.size()) return refuse("--" + name + " needs a value");
        value = args[++i];
      }
      if (option == kSerial) {
        if (options.serial) return refuse("--serial given twice");
        if (value.empty()) return refuse("--serial needs a serial number");
        options.serial = value;
        continue;
      }
      double number = 0;
      if (!parseToolNumber(value, &number)) return refuse("--" + name + " needs a number, not '" + value + "'");
      if (option == kScale) {
        if (options.scale) return refuse("--scale given twice");
        if (number < 0) return refuse("--scale must not be negative (0 means 1)");
        options.scale = number;
      } else {
        if (options.seconds) return refuse("--seconds given twice");
        if (!(number > 0) || number > kToolMaxSeconds) return refuse("--seconds must be more than 0 and at most 1000000");
        options.seconds = number;
      }
      continue;
    }
    if (info->command == ToolCommand::Bench) {
      if (!parseBenchWord(word, &options)) return refuse("bench takes 'calls', 'many' or interface counts, not '" + word + "'");
      continue;
    }
    if (info->command != ToolCommand::Send) return refuse("unexpected argument '" + word + "'");
    double value = 0;
    if (!parseToolNumber(word, &value)) return refuse("list value '" + word + "' is not a number");
    if (options.values.size() >= kToolMaxValues) return refuse("a frame has at most 513 values");
    options.values.push_back(value);
  }
  if (info->command == ToolCommand::Send && options.values.empty()) return refuse("send needs at least one list value");
  result.ok = true;
  return result;
}

const char* toolUsage() {
  return "prismlux-tool: the prismlux external's DMX interfaces from the command line\n"
         "\n"
         "  prismlux-tool list [--simulate]\n"
         "      the present interfaces in the order the external tries them:\n"
         "      interface class (1 or 2), serial number, device path\n"
         "  prismlux-tool send [--scale S] [--serial N] [--seconds T] [--simulate] v0 v1 ...\n"
         "      opens an interface through the external and sends the list as a frame\n"
         "      (v0 is the start code); the frame is kept going for T seconds (default 1)\n"
         "  prismlux-tool monitor [--scale S] [--serial N] [--seconds T] [--simulate]\n"
         "      shows what the external emits for received frames, for T seconds (default:\n"
         "      until Ctrl+C): on a console the newest frame's 512 slots as bytes in a grid\n"
         "      with frames/s, start code and length; into a file or pipe one line per list\n"
         "  prismlux-tool params [--serial N] [--simulate] [--set A B C]\n"
         "      reads the interface's three device parameters and prints their raw values;\n"
         "      with --set, first writes A, B and C (each 0 to 255), then reads them back\n"
         "  prismlux-tool check [--serial N] [--simulate]\n"
         "      why each interface does or does not open: its class, device path and serial\n"
         "      number (and where that came from), each step of the open, its pipes and\n"
         "      descriptor, then one verdict line per interface; changes nothing. Exit status\n"
         "      0 when the interface an object would take (--serial's, or the first) opens\n"
         "  prismlux-tool bench [--seconds T] [calls] [many] [N ...]\n"
         "      measures the chain over simulated interfaces, T seconds per figure (default 1);\n"
         "      'calls' counts the calls one frame costs, 'many' (or counts N) runs N interfaces\n"
         "      at once (default 1 8 24 31 32 48 64); naming figures runs only those\n"
         "\n"
         "  --scale S     the list value that stands for byte 255 (default 1; 0 means 1)\n"
         "  --serial N    the interface's serial number (default: the first that opens)\n"
         "  --simulate    use a simulated loopback interface (needs the simulated winusb.dll\n"
         "                beside the tool, under Wine); monitor then injects a test pattern\n"
         "\n"
         "Exit status: 0 done, 1 the command failed, 2 bad arguments.\n";
}
