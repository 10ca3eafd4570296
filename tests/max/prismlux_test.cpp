// Registration, box arguments, posts, assist texts and deletion of the prismlux object.
#include "tests/max/PrismluxFixture.h"

namespace {

using Lifecycle = PrismluxTest;

TEST_F(Lifecycle, MainRegistersTheClassAndPostsOnce) {
  const std::vector<maxhost::Post>& posts = loadPosts();
  ASSERT_EQ(posts.size(), 1u);
  EXPECT_EQ(posts[0].text, "I am the prismlux object");
  EXPECT_EQ(posts[0].object, nullptr);
}

TEST_F(Lifecycle, NoArgumentsOpenTheFirstInterfaceWithScaleOne) {
  t_prismlux* x = make("prismlux");
  ASSERT_NE(x, nullptr);
  EXPECT_EQ(x->scale, 1.0f);
  EXPECT_EQ(dmxdouble::serialOf(x->device), "1000");
  const std::vector<maxhost::Post> posts = maxhost::takePosts();
  ASSERT_EQ(posts.size(), 1u);
  EXPECT_EQ(posts[0].text, "open ");
  EXPECT_EQ(posts[0].object, x);
  // Fresh state: nothing to send yet, one read armed.
  EXPECT_EQ(x->sendLength, 0);
  EXPECT_EQ(x->sendBusy, 0);
  EXPECT_TRUE(dmxdouble::readPending(x->device));
  EXPECT_EQ(dmxdouble::readsAccepted(x->device), 1);
  EXPECT_TRUE(dmxdouble::takeFrames(x->device).empty());
}

TEST_F(Lifecycle, ASingleArgumentIsTheScaleEvenWhenItLooksLikeASerialNumber) {
  t_prismlux* x = make("prismlux 0000123");
  ASSERT_NE(x, nullptr);
  EXPECT_EQ(x->scale, 123.0f);
  EXPECT_EQ(dmxdouble::serialOf(x->device), "1000");
  EXPECT_EQ(postTexts(), std::vector<std::string>{"open "});
}

TEST_F(Lifecycle, ScaleThatIsZeroAfterNarrowingBecomesOne) {
  // 1e-50 is not 0 as a double but is as a float; a symbol reads as 0.
  for (const char* box : {"prismlux 0", "prismlux 0.", "prismlux 1e-50", "prismlux word"}) {
    t_prismlux* x = make(box);
    ASSERT_NE(x, nullptr) << box;
    EXPECT_EQ(x->scale, 1.0f) << box;
    destroy(x);
  }
}

TEST_F(Lifecycle, NegativeAndFractionalScalesAreKept) {
  t_prismlux* x = make("prismlux -2.5");
  ASSERT_NE(x, nullptr);
  EXPECT_EQ(x->scale, -2.5f);
  t_prismlux* y = make("prismlux 1e-30");
  ASSERT_NE(y, nullptr);
  EXPECT_EQ(y->scale, 1e-30f);
}

TEST_F(Lifecycle, SecondArgumentNamesTheInterfaceInItsPrintedForm) {
  dmxdouble::setPresent({"1000", "123", "A17", "12.5"});
  struct Case {
    const char* box;
    const char* serial;
  };
  // Digits arrive as an int atom (leading zeros gone), decimals as a float atom.
  for (const Case& c : {Case{"prismlux 1 0000123", "123"}, Case{"prismlux 1 A17", "A17"},
                        Case{"prismlux 1 12.5", "12.5"}}) {
    t_prismlux* x = make(c.box);
    ASSERT_NE(x, nullptr) << c.box;
    EXPECT_EQ(dmxdouble::serialOf(x->device), c.serial) << c.box;
    EXPECT_EQ(postTexts(), std::vector<std::string>{std::string("open ") + c.serial}) << c.box;
    destroy(x);
  }
}

TEST_F(Lifecycle, ArgumentsBeyondTheSecondAreIgnored) {
  t_prismlux* x = make("prismlux 2 2000 1000 more words");
  ASSERT_NE(x, nullptr);
  EXPECT_EQ(x->scale, 2.0f);
  EXPECT_EQ(dmxdouble::serialOf(x->device), "2000");
  EXPECT_EQ(postTexts(), std::vector<std::string>{"open 2000"});
}

TEST_F(Lifecycle, WithoutAMatchingInterfaceTheObjectLivesButDoesNothing) {
  t_prismlux* x = make("prismlux 1 9999");
  ASSERT_NE(x, nullptr);
  EXPECT_EQ(x->device, nullptr);
  const std::vector<maxhost::Post> posts = maxhost::takePosts();
  ASSERT_EQ(posts.size(), 1u);
  EXPECT_EQ(posts[0].text, "cannot open 9999");
  EXPECT_EQ(posts[0].object, x);

  EXPECT_TRUE(maxhost::sendFloats(x, {0.5, 1}));
  maxhost::pumpMessages(50);
  EXPECT_EQ(x->sendLength, 0);
  EXPECT_TRUE(maxhost::takeOutletCalls().empty());
  destroy(x);
  EXPECT_TRUE(maxhost::takePosts().empty());
}

TEST_F(Lifecycle, WithNoInterfaceAtAllTheNameIsEmpty) {
  dmxdouble::setPresent({});
  ASSERT_NE(make("prismlux"), nullptr);
  EXPECT_EQ(postTexts(), std::vector<std::string>{"cannot open "});
}

TEST_F(Lifecycle, AnOpenInterfaceIsNotOpenedTwice) {
  t_prismlux* first = make("prismlux");
  t_prismlux* second = make("prismlux");
  t_prismlux* third = make("prismlux");
  EXPECT_EQ(dmxdouble::serialOf(first->device), "1000");
  EXPECT_EQ(dmxdouble::serialOf(second->device), "2000");
  EXPECT_EQ(third->device, nullptr);
  EXPECT_EQ(postTexts(), (std::vector<std::string>{"open ", "open ", "cannot open "}));
}

TEST_F(Lifecycle, AssistNamesTheInletForKindOneAndTheOutletOtherwise) {
  t_prismlux* x = make("prismlux");
  EXPECT_EQ(maxhost::assist(x, ASSIST_INLET, 0), "I am inlet 0");
  EXPECT_EQ(maxhost::assist(x, ASSIST_INLET, 12), "I am inlet 12");
  EXPECT_EQ(maxhost::assist(x, ASSIST_OUTLET, 0), "I am outlet 0");
  EXPECT_EQ(maxhost::assist(x, 7, 3), "I am outlet 3");
  EXPECT_EQ(maxhost::assist(x, 0, -1), "I am outlet -1");
}

TEST_F(Lifecycle, FreeGivesTheInterfaceBack) {
  t_prismlux* x = make("prismlux 1 2000");
  ASSERT_NE(x->device, nullptr);
  EXPECT_EQ(dmxdouble::openCount(), 1);
  destroy(x);
  EXPECT_EQ(dmxdouble::openCount(), 0);
  // The same interface opens again for a new box.
  t_prismlux* y = make("prismlux 1 2000");
  EXPECT_EQ(dmxdouble::serialOf(y->device), "2000");
}

}  // namespace
