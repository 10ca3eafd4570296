#include "support/LList.h"

#include <cassert>
#include <new>

namespace {

// The one node every list ends in; its next is itself.
class EndNode final : public LListNode {
 public:
  EndNode() noexcept { next = this; }
};

// Made on first use under the thread-safe guard of a function-local static, and never
// destroyed: lists with static storage may outlive any destruction order at exit.
LListNode* endNode() noexcept {
  alignas(EndNode) static unsigned char storage[sizeof(EndNode)];
  static LListNode* const node = new (storage) EndNode();
  return node;
}

}  // namespace

LListNode::~LListNode() {
  assert(next == nullptr && "a listed node must be removed from its list before it dies");
}

LList::LList() noexcept : tail_(&head_) { head_.next = endNode(); }

LList::~LList() {
  clear();
  head_.next = nullptr;  // the head is a node too; leave it unlinked
}

LListNode* LList::tail() const noexcept { return tail_ == &head_ ? nullptr : tail_; }

void LList::pushBack(LListNode* p) noexcept {
  if (p == nullptr || p->next != nullptr) return;
  p->next = tail_->next;
  tail_->next = p;
  tail_ = p;
}

void LList::pushFront(LListNode* p) noexcept { insertAfter(p, nullptr); }

void LList::insertAfter(LListNode* p, LListNode* after) noexcept {
  if (p == nullptr || p->next != nullptr) return;
  // After the shared end node would hang p off every list in the process.
  if (after != nullptr && isEnd(after)) return;
  LListNode* anchor = after != nullptr ? after : &head_;
  p->next = anchor->next;
  anchor->next = p;
  if (anchor == tail_) tail_ = p;
}

LListNode* LList::popFront() noexcept {
  LListNode* node = head_.next;
  if (isEnd(node)) return nullptr;
  head_.next = node->next;
  node->next = nullptr;
  if (node == tail_) tail_ = &head_;
  return node;
}

bool LList::remove(LListNode* p) noexcept {
  // The shared end node is in every list and never leaves: unlinking it would cut them all.
  if (p == nullptr || p->next == nullptr || isEnd(p)) return false;
  LListNode* before = &head_;
  while (before->next != p) {
    before = before->next;
    if (isEnd(before)) return false;  // p belongs to another list
  }
  if (p == tail_) tail_ = before;
  before->next = p->next;
  p->next = nullptr;
  return true;
}

void LList::clear() noexcept {
  while (popFront() != nullptr) {
  }
}
