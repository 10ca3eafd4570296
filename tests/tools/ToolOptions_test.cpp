// The tool's command line: commands, options in both forms, list values, and what is refused.
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "tools/ToolObjectBox.h"
#include "tools/ToolOptions.h"

namespace {

using Args = std::vector<std::string>;

ToolOptions accepted(const Args& args) {
  const ToolParse parse = parseToolArguments(args);
  EXPECT_TRUE(parse.ok) << parse.error;
  return parse.options;
}

std::string refused(const Args& args) {
  const ToolParse parse = parseToolArguments(args);
  EXPECT_FALSE(parse.ok);
  EXPECT_FALSE(parse.error.empty());
  return parse.error;
}

TEST(ToolOptions, CommandsAndHelp) {
  EXPECT_EQ(accepted({"list"}).command, ToolCommand::List);
  EXPECT_EQ(accepted({"send", "0"}).command, ToolCommand::Send);
  EXPECT_EQ(accepted({"monitor"}).command, ToolCommand::Monitor);
  EXPECT_EQ(accepted({"params"}).command, ToolCommand::Params);
  EXPECT_EQ(accepted({"check", "--serial", "4660", "--simulate"}).command, ToolCommand::Check);
  EXPECT_EQ(accepted({"bench"}).command, ToolCommand::Bench);
  // Help wins wherever it stands before "--", also next to words that would be refused.
  for (const Args& args : {Args{"--help"}, Args{"-h"}, Args{"help"}, Args{"send", "--help"},
                           Args{"bogus", "-h"}, Args{"send", "--scale", "-1", "--help"}}) {
    EXPECT_EQ(accepted(args).command, ToolCommand::Help) << args[0];
  }
  EXPECT_NE(refused({}).find("no command"), std::string::npos);
  EXPECT_NE(refused({"lsit"}).find("unknown command 'lsit'"), std::string::npos);
  EXPECT_NE(refused({"--scale", "1"}).find("unknown command"), std::string::npos);
  EXPECT_NE(std::string(toolUsage()).find("prismlux-tool bench"), std::string::npos);
}

// Naming figures runs only those; interface counts ask for the many-interface figure.
TEST(ToolOptions, BenchTakesTheFiguresToRun) {
  const ToolOptions every = accepted({"bench"});
  EXPECT_FALSE(every.benchCalls || every.benchMany);
  const ToolOptions calls = accepted({"bench", "calls", "--seconds", "2"});
  EXPECT_TRUE(calls.benchCalls);
  EXPECT_FALSE(calls.benchMany);
  const ToolOptions many = accepted({"bench", "many", "24", "1302"});
  EXPECT_TRUE(many.benchMany);
  EXPECT_EQ(many.benchInterfaces, (std::vector<int>{24, 1302}));
  EXPECT_TRUE(accepted({"bench", "32"}).benchMany);
  for (const char* word : {"0", "1303", "-1", "2.5", "manyy", "", "12345"})
    EXPECT_NE(refused({"bench", word}).find("bench takes"), std::string::npos) << word;
  EXPECT_NE(refused({"list", "calls"}).find("unexpected argument"), std::string::npos);
}

TEST(ToolOptions, OptionsTakeTheirValueAfterASpaceOrAnEqualsSign) {
  const ToolOptions spaced = accepted({"monitor", "--scale", "255", "--serial", "00004660", "--seconds", "2.5", "--simulate"});
  EXPECT_EQ(spaced.scale, 255.0);
  EXPECT_EQ(spaced.serial, std::string("00004660"));
  EXPECT_EQ(spaced.seconds, 2.5);
  EXPECT_TRUE(spaced.simulate);

  const ToolOptions joined = accepted({"send", "--scale=0", "--serial=A-1 b", "--seconds=1e-3", "1"});
  EXPECT_EQ(joined.scale, 0.0);  // the object reads 0 as 1
  EXPECT_EQ(joined.serial, std::string("A-1 b"));
  EXPECT_EQ(joined.seconds, 1e-3);

  const ToolOptions none = accepted({"send", "1"});
  EXPECT_FALSE(none.scale);
  EXPECT_FALSE(none.serial);
  EXPECT_FALSE(none.seconds);
  EXPECT_FALSE(none.simulate);
  // A serial may look like an option's value of any kind, also a negative number.
  EXPECT_EQ(accepted({"monitor", "--serial", "-12"}).serial, std::string("-12"));
}

TEST(ToolOptions, BadOptionsAreRefusedWithTheirName) {
  EXPECT_NE(refused({"send", "--colour", "1"}).find("unknown option --colour"), std::string::npos);
  EXPECT_NE(refused({"list", "--scale", "1"}).find("--scale does not apply to list"), std::string::npos);
  EXPECT_NE(refused({"bench", "--simulate"}).find("does not apply to bench"), std::string::npos);
  EXPECT_NE(refused({"bench", "--serial", "1"}).find("does not apply"), std::string::npos);
  EXPECT_NE(refused({"check", "--set", "1", "2", "3"}).find("--set does not apply to check"), std::string::npos);
  EXPECT_NE(refused({"monitor", "--scale"}).find("--scale needs a value"), std::string::npos);
  EXPECT_NE(refused({"monitor", "--serial="}).find("--serial"), std::string::npos);
  EXPECT_NE(refused({"monitor", "--scale", "x"}).find("'x'"), std::string::npos);
  EXPECT_NE(refused({"monitor", "--scale", "-1"}).find("negative"), std::string::npos);
  EXPECT_NE(refused({"monitor", "--scale", "1", "--scale", "2"}).find("twice"), std::string::npos);
  EXPECT_NE(refused({"list", "--simulate", "--simulate"}).find("twice"), std::string::npos);
  EXPECT_NE(refused({"list", "--simulate=yes"}).find("takes no value"), std::string::npos);
  for (const char* seconds : {"0", "-1", "1000001", "nan", "inf"}) refused({"bench", "--seconds", seconds});
  EXPECT_EQ(accepted({"bench", "--seconds", "1000000"}).seconds, 1e6);
  // Only send takes positional words.
  EXPECT_NE(refused({"list", "extra"}).find("unexpected argument 'extra'"), std::string::npos);
  EXPECT_NE(refused({"monitor", "-v"}).find("unexpected argument"), std::string::npos);
}

TEST(ToolOptions, SendValues) {
  EXPECT_EQ(accepted({"send", "0", "-0.5", "+2", "1e2", ".25", "255"}).values,
            (std::vector<double>{0, -0.5, 2, 100, 0.25, 255}));
  // Options may come between values; "--" makes every later word a value.
  EXPECT_EQ(accepted({"send", "1", "--scale", "255", "2"}).values, (std::vector<double>{1, 2}));
  const ToolOptions ended = accepted({"send", "--", "3", "-4"});
  EXPECT_EQ(ended.values, (std::vector<double>{3, -4}));
  EXPECT_NE(refused({"send", "--", "--scale"}).find("'--scale' is not a number"), std::string::npos);
  EXPECT_NE(refused({"send", "--", "--help"}).find("not a number"), std::string::npos);

  EXPECT_NE(refused({"send"}).find("at least one"), std::string::npos);
  EXPECT_NE(refused({"send", "--scale", "1"}).find("at least one"), std::string::npos);
  Args full{"send"};
  full.resize(1 + kToolMaxValues, "1");
  EXPECT_EQ(accepted(full).values.size(), kToolMaxValues);
  full.push_back("1");
  EXPECT_NE(refused(full).find("at most 513"), std::string::npos);
  EXPECT_NE(refused({"send", "1", "two"}).find("'two'"), std::string::npos);
}

TEST(ToolOptions, ParamsSetTakesThreeWholeBytes) {
  const ToolOptions set = accepted({"params", "--set", "0", "128", "255", "--serial", "7"});
  ASSERT_TRUE(set.setParameters);
  EXPECT_EQ(*set.setParameters, (std::array<uint8_t, 3>{0, 128, 255}));
  EXPECT_EQ(set.serial, std::string("7"));
  EXPECT_FALSE(accepted({"params", "--simulate"}).setParameters);
  // Anything but 0..255 in decimal digits would reach the device as some other byte.
  for (const char* bad : {"256", "-1", "1.5", "+1", "1e2", "0x1", "", "1000", "two"}) {
    EXPECT_NE(refused({"params", "--set", "1", bad, "3"}).find("0 to 255"), std::string::npos) << bad;
  }
  EXPECT_NE(refused({"params", "--set", "1", "2"}).find("three values"), std::string::npos);
  EXPECT_NE(refused({"params", "--set=1"}).find("three values"), std::string::npos);
  EXPECT_NE(refused({"params", "--set", "1", "2", "3", "--set", "1", "2", "3"}).find("twice"), std::string::npos);
  EXPECT_NE(refused({"send", "--set", "1", "2", "3", "1"}).find("does not apply to send"), std::string::npos);
  EXPECT_NE(refused({"params", "--scale", "1"}).find("does not apply to params"), std::string::npos);
  EXPECT_NE(refused({"params", "4"}).find("unexpected argument"), std::string::npos);
}

TEST(ToolOptions, NumbersAreWholeFiniteDecimalWords) {
  double v = -1;
  EXPECT_TRUE(parseToolNumber("0", &v));
  EXPECT_EQ(v, 0);
  EXPECT_TRUE(parseToolNumber("-2.5e1", &v));
  EXPECT_EQ(v, -25);
  EXPECT_TRUE(parseToolNumber("1e-400", &v));  // underflow is a number near 0
  EXPECT_LT(v, 1e-300);
  for (const char* bad : {"", " 1", "1 ", "1x", "x1", "nan", "inf", "-inf", "0x10", "1e999", "--", "-", "1,5"}) {
    v = 42;
    EXPECT_FALSE(parseToolNumber(bad, &v)) << bad;
    EXPECT_EQ(v, 42) << bad;
  }
}

std::string describe(const std::vector<maxhost::Value>& args) {
  std::string text;
  for (const maxhost::Value& a : args) {
    if (a.kind == maxhost::Value::Kind::Float) text += "f" + std::to_string(a.f) + " ";
    else if (a.kind == maxhost::Value::Kind::Symbol) text += "s" + a.s + " ";
    else text += "i" + std::to_string(a.i) + " ";
  }
  return text;
}

TEST(ToolOptions, BoxArguments) {
  ToolOptions options;
  EXPECT_EQ(describe(toolBoxArguments(options)), "");
  options.scale = 255;
  EXPECT_EQ(describe(toolBoxArguments(options)), "f255.000000 ");
  // A serial needs the scale before it; it goes as a symbol so that leading zeros stay.
  options.scale.reset();
  options.serial = "0042";
  EXPECT_EQ(describe(toolBoxArguments(options)), "f1.000000 s0042 ");
  // The stand-in serial (a simulated interface's) is used only when none was given.
  EXPECT_EQ(describe(toolBoxArguments(options, "7001")), "f1.000000 s0042 ");
  options.serial.reset();
  EXPECT_EQ(describe(toolBoxArguments(options, "7001")), "f1.000000 s7001 ");
}

}  // namespace
