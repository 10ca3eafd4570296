// LArray growth figures, insertion and removal; the fixed wide-character array.
#include "support/LArray.h"
#include "support/LWideCharArray.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

std::vector<int> valuesOf(const LArray& array) {
  std::vector<int> values;
  for (uint32_t i = 0; i < array.count(); ++i) values.push_back(*static_cast<const int*>(array.element(i)));
  return values;
}

using V = std::vector<int>;

TEST(LArray, GrowsByCountPlusAtLeast32) {
  LArray array(sizeof(int), 0);
  EXPECT_EQ(0u, array.capacity());
  EXPECT_EQ(nullptr, array.data());
  std::vector<uint32_t> capacities;
  for (int i = 0; i < 140; ++i) {
    ASSERT_TRUE(array.append(&i));
    if (capacities.empty() || capacities.back() != array.capacity()) capacities.push_back(array.capacity());
  }
  EXPECT_EQ((std::vector<uint32_t>{33, 68, 138, 278}), capacities);
  for (int i = 0; i < 140; ++i) EXPECT_EQ(i, *static_cast<int*>(array.element(i)));  // kept across growth
}

TEST(LArray, InitialBlockLastsUntilItIsFull) {
  LArray array(8, 10);  // a pointer-sized element, as the wait handles of the worker
  EXPECT_EQ(10u, array.capacity());
  void* const block = array.data();
  const uint64_t handle = 0;
  for (int i = 0; i < 10; ++i) ASSERT_TRUE(array.append(&handle));
  EXPECT_EQ(block, array.data());
  EXPECT_EQ(10u, array.capacity());
  ASSERT_TRUE(array.append(&handle));  // the 11th: 11 + 32
  EXPECT_EQ(43u, array.capacity());
  EXPECT_EQ(11u, array.count());
}

TEST(LArray, InsertAndRemovePlaces) {
  LArray array(sizeof(int), 0);
  for (int v : {1, 2, 3}) array.append(&v);
  const int nine = 9, seven = 7;
  array.insert(0, &nine);
  array.insert(100, &seven);  // beyond the count: appended
  EXPECT_EQ((V{9, 1, 2, 3, 7}), valuesOf(array));

  array.remove(1, 2);  // [9, 3, 7]
  EXPECT_EQ((V{9, 3, 7}), valuesOf(array));
  array.remove(3, 1);  // index == count: nothing
  array.remove(7, 1);
  EXPECT_EQ((V{9, 3, 7}), valuesOf(array));
  array.remove(1, 2);  // index + n == count drops the tail
  EXPECT_EQ((V{9}), valuesOf(array));
  array.append(&seven);
  array.remove(0, 0xFFFFFFFFu);  // a range far past the end drops everything from index
  EXPECT_EQ(0u, array.count());
  EXPECT_EQ(33u, array.capacity());
}

TEST(LWideCharArray, HoldsCountUnitsOrNothing) {
  LWideCharArray none(0);
  EXPECT_EQ(nullptr, none.data());
  EXPECT_EQ(0u, none.count());
  LWideCharArray some(40);
  ASSERT_NE(nullptr, some.data());
  EXPECT_EQ(40u, some.count());
  some.data()[39] = L'x';
}

}  // namespace
