// Shared set-up for tests of the prismlux object loaded by our host from the test build
// of the external (linked with the port double). Objects made through make() are freed
// after each test; every test must leave no device open and no host text unreleased.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "host/HostDriver.h"
#include "max/Prismlux.h"
#include "tests/max/DmxPortDouble.h"

class PrismluxTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::string error;
    ASSERT_TRUE(maxhost::loadExternal(PRISMLUX_TEST_EXTERNAL, &error)) << error;
    if (loadPosts().empty()) loadPosts() = maxhost::takePosts();
  }

  // What the host recorded while the external was loaded.
  static std::vector<maxhost::Post>& loadPosts() {
    static std::vector<maxhost::Post> posts;
    return posts;
  }

  void SetUp() override {
    dmxdouble::setPresent({"1000", "2000"});
    maxhost::takePosts();
    maxhost::takeOutletCalls();
  }

  void TearDown() override {
    for (t_prismlux* x : objects_) maxhost::freeObject(x);
    EXPECT_EQ(dmxdouble::openCount(), 0);
    EXPECT_EQ(maxhost::outstandingTexts(), 0);
  }

  t_prismlux* make(const std::string& box) {
    auto* x = static_cast<t_prismlux*>(maxhost::newObject(box));
    if (x != nullptr) objects_.push_back(x);
    return x;
  }

  void destroy(t_prismlux* x) {
    objects_.erase(std::remove(objects_.begin(), objects_.end(), x), objects_.end());
    maxhost::freeObject(x);
  }

  static std::vector<std::string> postTexts() {
    std::vector<std::string> texts;
    for (const maxhost::Post& p : maxhost::takePosts()) texts.push_back(p.text);
    return texts;
  }

  // The frame written for the first list of a fresh object: with no write in flight the
  // list method writes at once, on the calling thread.
  std::vector<uint8_t> firstFrame(const std::string& box, const std::vector<maxhost::Value>& list) {
    t_prismlux* x = make(box);
    if (x == nullptr || x->device == nullptr) return {};
    maxhost::sendList(x, list);
    std::vector<std::vector<uint8_t>> frames = dmxdouble::takeFrames(x->device);
    destroy(x);
    return frames.empty() ? std::vector<uint8_t>() : frames.front();
  }

  std::vector<uint8_t> firstFrame(const std::string& box, const std::vector<double>& list) {
    std::vector<maxhost::Value> values;
    for (double v : list) values.push_back(maxhost::Value::real(v));
    return firstFrame(box, values);
  }

  // Pumps until `take` has produced at least `count` items in all (bounded by 5 s).
  template <typename Take>
  static auto pumpCollect(size_t count, Take take) {
    decltype(take()) items;
    maxhost::pumpUntil(
        [&] {
          for (auto& item : take()) items.push_back(std::move(item));
          return items.size() >= count;
        },
        5000);
    return items;
  }

  static std::vector<std::vector<uint8_t>> pumpFrames(CDmxIo* device, size_t count) {
    return pumpCollect(count, [device] { return dmxdouble::takeFrames(device); });
  }

  static std::vector<maxhost::OutletCall> pumpOutletCalls(size_t count) {
    return pumpCollect(count, [] { return maxhost::takeOutletCalls(); });
  }

 private:
  std::vector<t_prismlux*> objects_;
};
