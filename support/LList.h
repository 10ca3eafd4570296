// LList: an intrusive singly-linked list of LListNodes. The list NEVER owns its nodes: it
// never allocates or destroys them, and destroying a list only unlinks them. Callers own
// the nodes and do their own locking; nothing here locks.
//
// Every list ends in one process-wide end node (the only node with next == itself), made
// once, thread-safely, the first time a list is constructed. A node's `next` is its state:
// null = in no list, non-null = linked into exactly one list. Inserting a node that is
// already linked is refused, so a node is never in two lists. A node must be unlinked
// before it is destroyed (checked in debug builds).
//
// Iteration:  for (LListNode* n = list.first(); !LList::isEnd(n); n = n->next) ...
#pragma once

class LListNode {
 public:
  LListNode() noexcept = default;
  LListNode(const LListNode&) = delete;
  LListNode& operator=(const LListNode&) = delete;
  virtual ~LListNode();

  bool isLinked() const noexcept { return next != nullptr; }

  // The following node (the end node after the last one); null when not linked.
  // Read it to iterate; only LList writes it.
  LListNode* next = nullptr;
};

class LList {
 public:
  LList() noexcept;
  virtual ~LList();  // clear(): unlinks every node, destroys none
  LList(const LList&) = delete;
  LList& operator=(const LList&) = delete;

  static bool isEnd(const LListNode* node) noexcept { return node == node->next; }

  LListNode* first() const noexcept { return head_.next; }  // the end node when empty
  LListNode* tail() const noexcept;                          // the last node, null when empty
  bool isEmpty() const noexcept { return isEnd(head_.next); }

  // The inserts ignore a null node and a node that is already linked (in any list).
  void pushBack(LListNode* p) noexcept;
  void pushFront(LListNode* p) noexcept;
  // Inserts p after `after` (a node of this list), or at the front when `after` is null.
  // Nothing happens when `after` is the end node.
  void insertAfter(LListNode* p, LListNode* after) noexcept;

  // Unlinks and returns the first node; null when the list is empty.
  LListNode* popFront() noexcept;
  // Unlinks p; false when p is null, not linked, the end node, or linked into another
  // list (then neither list changes). Linear in p's position.
  bool remove(LListNode* p) noexcept;
  // popFront until empty; the nodes are unlinked, not destroyed.
  void clear() noexcept;

 private:
  LListNode head_;  // head_.next is the first node
  LListNode* tail_;  // the last node, or &head_ when empty
};
