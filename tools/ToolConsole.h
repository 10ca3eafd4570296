// Where the tool's commands write: normal output and error messages, each to a stdio file
// (flushed after every write, so a monitor piped into another program shows lists as they
// come) or, when a capture string is set, appended to that string instead (tests run the
// commands in-process this way). Single thread.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

struct ToolConsole {
  std::FILE* out = stdout;
  std::FILE* err = stderr;
  std::string* capturedOut = nullptr;
  std::string* capturedErr = nullptr;

  void print(const char* format, ...) __attribute__((format(printf, 2, 3)));
  void error(const char* format, ...) __attribute__((format(printf, 2, 3)));
};

// List values as the Max window shows them: "%g" each, separated by single spaces.
std::string toolValuesText(const std::vector<double>& values);
// Bytes in decimal, separated by single spaces.
std::string toolBytesText(const unsigned char* bytes, int count);
