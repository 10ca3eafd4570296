// The shipped external loaded by our host, with no interface present.
#include <gtest/gtest.h>

#include "host/HostDriver.h"

namespace {

std::vector<std::string> postTexts() {
  std::vector<std::string> texts;
  for (const maxhost::Post& p : maxhost::takePosts()) texts.push_back(p.text);
  return texts;
}

TEST(ShippedExternal, RegistersAndReportsThatNoInterfaceOpens) {
  std::string error;
  ASSERT_TRUE(maxhost::loadExternal(PRISMLUX_SHIPPED_EXTERNAL, &error)) << error;
  EXPECT_EQ(postTexts(), std::vector<std::string>{"I am the prismlux object"});

  void* named = maxhost::newObject("prismlux 1 0000123");
  ASSERT_NE(named, nullptr);
  EXPECT_EQ(postTexts(), std::vector<std::string>{"cannot open 123"});
  void* unnamed = maxhost::newObject("prismlux");
  ASSERT_NE(unnamed, nullptr);
  EXPECT_EQ(postTexts(), std::vector<std::string>{"cannot open "});

  EXPECT_TRUE(maxhost::sendFloats(named, {0.5, 1}));
  EXPECT_EQ(maxhost::assist(named, 1, 0), "I am inlet 0");
  maxhost::pumpMessages(30);
  EXPECT_TRUE(maxhost::takeOutletCalls().empty());

  maxhost::freeObject(named);
  maxhost::freeObject(unnamed);
  EXPECT_TRUE(postTexts().empty());
  EXPECT_EQ(maxhost::outstandingTexts(), 0);
}

}  // namespace
