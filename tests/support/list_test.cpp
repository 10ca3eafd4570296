// LList: linking rules and tail bookkeeping; the shared end node.
#include "support/LList.h"
#include "tests/common/RunsAlone.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

struct Item : LListNode {
  explicit Item(int v) : value(v) {}
  int value;
};

std::vector<int> valuesOf(const LList& list) {
  std::vector<int> values;
  for (LListNode* n = list.first(); !LList::isEnd(n); n = n->next) {
    values.push_back(static_cast<Item*>(n)->value);
  }
  return values;
}

using V = std::vector<int>;

TEST(LList, PushesIgnoreNullAndLinkedNodes) {
  Item a(1), b(2), c(3);  // declared first: they outlive the list
  LList list;
  list.pushBack(&a);
  list.pushBack(&a);
  list.pushBack(nullptr);
  list.pushFront(&b);
  list.insertAfter(&c, &a);  // after the tail: c becomes the tail
  // [b, a, c]
  EXPECT_EQ((V{2, 1, 3}), valuesOf(list));
  EXPECT_EQ(&c, list.tail());
  list.pushFront(&c);
  list.insertAfter(&a, nullptr);
  EXPECT_EQ((V{2, 1, 3}), valuesOf(list));
}

TEST(LList, PopFrontEmptiesBackToTheHead) {
  Item a(1), b(2);
  LList list;
  EXPECT_EQ(nullptr, list.popFront());
  EXPECT_TRUE(list.isEmpty());
  list.pushFront(&a);  // on an empty list the front node is also the tail
  EXPECT_EQ(&a, list.tail());
  list.insertAfter(&b, nullptr);
  // [b, a]
  EXPECT_EQ(&b, list.popFront());
  EXPECT_FALSE(b.isLinked());
  EXPECT_EQ(&a, list.popFront());
  EXPECT_EQ(nullptr, list.tail());
  EXPECT_EQ(nullptr, list.popFront());
  list.pushBack(&b);  // links after the head again
  EXPECT_EQ(&b, list.first());
  EXPECT_EQ(&b, list.tail());
}

TEST(LList, RemoveKeepsTheTailRight) {
  Item a(1), b(2), c(3);  // declared first: they outlive the list
  LList list;
  list.pushBack(&a);
  list.pushBack(&b);
  list.pushBack(&c);
  EXPECT_TRUE(list.remove(&c));  // [a, b]
  EXPECT_EQ(&b, list.tail());
  EXPECT_FALSE(c.isLinked());
  EXPECT_FALSE(list.remove(&c));
  EXPECT_FALSE(list.remove(nullptr));

  EXPECT_TRUE(list.remove(&a));  // [b]
  EXPECT_EQ(&b, list.tail());
  EXPECT_TRUE(list.remove(&b));  // []
  EXPECT_EQ(nullptr, list.tail());
  EXPECT_TRUE(list.isEmpty());

  list.pushBack(&c);
  list.pushBack(&a);  // re-push after emptying: [c, a]
  EXPECT_EQ((V{3, 1}), valuesOf(list));
  EXPECT_EQ(&a, list.tail());
}

TEST(LList, RemoveFromTheWrongListChangesNeither) {
  Item a(1), b(2), c(3);
  LList first, second;
  first.pushBack(&a);
  second.pushBack(&b);
  second.pushBack(&c);
  EXPECT_FALSE(first.remove(&c));
  EXPECT_FALSE(second.remove(&a));
  EXPECT_EQ((V{1}), valuesOf(first));
  EXPECT_EQ((V{2, 3}), valuesOf(second));
  EXPECT_EQ(&c, second.tail());
  first.pushBack(&b);  // b is in the second list: refused
  EXPECT_EQ((V{1}), valuesOf(first));
}

TEST(LList, TheSharedEndNodeCanBeNeitherRemovedNorAnchored) {
  Item a(1), b(2), c(3);
  LList empty, list;
  list.pushBack(&a);
  list.pushBack(&b);
  LListNode* end = empty.first();
  ASSERT_TRUE(LList::isEnd(end));
  EXPECT_FALSE(empty.remove(end));
  EXPECT_FALSE(list.remove(end));
  list.insertAfter(&c, end);
  EXPECT_FALSE(c.isLinked());
  // Every list still ends in it: [] and [a, b]
  EXPECT_TRUE(LList::isEnd(end));
  EXPECT_TRUE(empty.isEmpty());
  EXPECT_EQ((V{1, 2}), valuesOf(list));
  EXPECT_EQ(end, b.next);
}

TEST(LList, DestroyingOrClearingUnlinksWithoutDestroying) {
  Item a(1), b(2);
  {
    LList list;
    list.pushBack(&a);
    list.pushBack(&b);
  }
  EXPECT_FALSE(a.isLinked());
  EXPECT_FALSE(b.isLinked());
  LList list;
  list.pushBack(&a);
  list.clear();
  EXPECT_FALSE(a.isLinked());
  EXPECT_TRUE(list.isEmpty());
}

// The end node is made the first time a list is made in the process. Here that first
// time happens on many threads at once (in a process of its own, started by ctest as
// support.list_first_use), and every list must still end in the same one node.
TEST(LListFirstUse, ListsFirstMadeOnManyThreadsAtOnceShareOneEndNode) {
  PRISMLUX_SKIP_UNLESS_ALONE();
  constexpr int kThreads = 8;
  LListNode* ends[kThreads] = {};
  std::atomic<int> ready{0};
  std::atomic<bool> go{false};
  std::thread threads[kThreads];
  for (int i = 0; i < kThreads; ++i) {
    threads[i] = std::thread([&, i] {
      ready++;
      while (!go.load()) {
      }
      LList list;
      ends[i] = list.first();
    });
  }
  while (ready.load() != kThreads) std::this_thread::yield();
  go = true;
  for (auto& t : threads) t.join();
  LList here;
  for (LListNode* end : ends) {
    EXPECT_EQ(here.first(), end);
    EXPECT_TRUE(LList::isEnd(end));
  }
}

}  // namespace
