// Cases about what only a fresh process shows (the very first use of something made once
// per process, a library's last reference going away) run in a process of their own: the
// CMake function prismlux_add_alone_test starts their executable a second time with a
// filter naming only their suite. In the executable's ordinary run they skip.
//
//   TEST(ListFirstUse, ...) {
//     PRISMLUX_SKIP_UNLESS_ALONE();
//     ...
#pragma once

#include <gtest/gtest.h>

#include <string>

namespace testalone {

// True when the filter names exactly the running case's suite ("<suite>.*").
inline bool runsAlone() {
  const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
  return info != nullptr && GTEST_FLAG_GET(filter) == std::string(info->test_suite_name()) + ".*";
}

}  // namespace testalone

#define PRISMLUX_SKIP_UNLESS_ALONE()                                                       \
  do {                                                                                     \
    if (!testalone::runsAlone()) GTEST_SKIP() << "runs in a process of its own";          \
  } while (0)
