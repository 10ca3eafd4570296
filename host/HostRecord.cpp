#include "host/HostRecord.h"

#include <mutex>
#include <set>
#include <utility>

#include "support/Windows.h"

namespace {

std::mutex recordLock;
std::vector<maxhost::Post> posts;
std::vector<maxhost::OutletCall> outletCalls;
std::set<void*> texts;

}  // namespace

namespace hostrecord {

void addPost(void* object, std::string text) {
  maxhost::Post p{object, std::move(text), GetCurrentThreadId()};
  std::lock_guard<std::mutex> hold(recordLock);
  posts.push_back(std::move(p));
}

void addOutletCall(maxhost::OutletCall call) {
  std::lock_guard<std::mutex> hold(recordLock);
  outletCalls.push_back(std::move(call));
}

std::vector<maxhost::Post> takePosts() {
  std::lock_guard<std::mutex> hold(recordLock);
  return std::exchange(posts, {});
}

std::vector<maxhost::OutletCall> takeOutletCalls() {
  std::lock_guard<std::mutex> hold(recordLock);
  return std::exchange(outletCalls, {});
}

void textMade(void* text) {
  std::lock_guard<std::mutex> hold(recordLock);
  texts.insert(text);
}

void memoryFreed(void* pointer) {
  std::lock_guard<std::mutex> hold(recordLock);
  texts.erase(pointer);
}

long outstandingTexts() {
  std::lock_guard<std::mutex> hold(recordLock);
  return static_cast<long>(texts.size());
}

}  // namespace hostrecord
