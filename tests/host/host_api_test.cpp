// The effects of our MaxAPI.dll that externals rely on, called as an external calls them.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "host/HostDriver.h"
#include "max/MaxApi.h"
#include "support/Windows.h"
#include "tests/common/TestWaits.h"

namespace {

std::string gettext(std::vector<t_atom> atoms, long* size = nullptr) {
  char* text = nullptr;
  long textSize = 0;
  EXPECT_EQ(atom_gettext(static_cast<long>(atoms.size()), atoms.data(), &textSize, &text, 0), 0);
  EXPECT_NE(text, nullptr);
  std::string result = text != nullptr ? text : "";
  if (size != nullptr) *size = textSize;
  sysmem_freeptr(text);
  return result;
}

t_atom longAtom(t_atom_long v) {
  t_atom a;
  a.a_type = A_LONG;
  a.a_w.w_long = v;
  return a;
}

t_atom floatAtom(double v) {
  t_atom a;
  atom_setfloat(&a, v);
  return a;
}

t_atom symAtom(const char* s) {
  t_atom a;
  a.a_type = A_SYM;
  a.a_w.w_sym = gensym(s);
  return a;
}

TEST(HostApi, SymbolsAreUniquePerText) {
  t_symbol* a = gensym("prismlux");
  EXPECT_EQ(a, gensym("prismlux"));
  EXPECT_NE(a, gensym("prismlux2"));
  EXPECT_STREQ(a->s_name, "prismlux");
  EXPECT_EQ(gensym(nullptr), gensym(""));
}

TEST(HostApi, AtomTextIsAllocatedByTheHostAndFreedBack) {
  long size = 0;
  EXPECT_EQ(gettext({longAtom(1234)}, &size), "1234");
  EXPECT_EQ(size, 5);
  EXPECT_EQ(gettext({floatAtom(12.5)}), "12.5");
  EXPECT_EQ(gettext({longAtom(-7)}), "-7");
  EXPECT_EQ(gettext({symAtom("A17")}), "A17");
  EXPECT_EQ(gettext({symAtom("two words")}), "\"two words\"");
  EXPECT_EQ(gettext({longAtom(1), floatAtom(0.25), symAtom("x")}), "1 0.25 x");
  EXPECT_EQ(maxhost::outstandingTexts(), 0);

  char* kept = nullptr;
  long keptSize = 0;
  t_atom one = longAtom(1);
  atom_gettext(1, &one, &keptSize, &kept, 0);
  EXPECT_EQ(maxhost::outstandingTexts(), 1);
  sysmem_freeptr(kept);
  EXPECT_EQ(maxhost::outstandingTexts(), 0);
}

TEST(HostApi, AtomFloatsFollowTheBuildsFloatType) {
  t_atom a = floatAtom(0.1);
  EXPECT_EQ(a.a_type, A_FLOAT);
  EXPECT_EQ(atom_getfloat(&a), static_cast<t_atom_float>(0.1));
  t_atom l = longAtom(42);
  EXPECT_EQ(atom_getfloat(&l), 42);
  t_atom s = symAtom("7");
  EXPECT_EQ(atom_getfloat(&s), 0);
}

TEST(HostApi, PostsAreFormattedWithThirtyTwoBitLongs) {
  maxhost::takePosts();
  post("value %ld and %s", 2147483647L, "text");
  object_post(nullptr, "%ld %ld", -1L, 5L);
  const std::vector<maxhost::Post> posts = maxhost::takePosts();
  ASSERT_EQ(posts.size(), 2u);
  EXPECT_EQ(posts[0].text, "value 2147483647 and text");
  EXPECT_EQ(posts[1].text, "-1 5");
  EXPECT_EQ(posts[0].threadId, GetCurrentThreadId());
}

TEST(HostApi, GlobalRegionIsRecursiveAndExcludesOtherThreads) {
  std::atomic<bool> entered{false};
  critical_enter(nullptr);
  critical_enter(nullptr);
  std::thread other([&] {
    critical_enter(nullptr);
    entered = true;
    critical_exit(nullptr);
  });
  Sleep(50);
  EXPECT_FALSE(entered.load());
  critical_exit(nullptr);
  Sleep(20);
  EXPECT_FALSE(entered.load());  // still held once
  critical_exit(nullptr);
  EXPECT_TRUE(testwaits::waitUntil([&] { return entered.load(); }, 10000));
  other.join();
}

}  // namespace
