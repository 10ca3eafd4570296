// LTextBuilder: appendable narrow text with 64 bytes of inline storage. The text lives
// inline while its length is at most 63 and in a heap block from 64 on; it is always
// NUL-terminated. Growing beyond a heap block replaces it with one of twice the needed
// size. An append that cannot get memory sets failed() and leaves the text held before
// it unchanged. Take the result with LString::fromUtf8(builder.text()).
// Also the text sink of the scanners (TextScan.h). Single-thread, non-copyable.
#pragma once

#include "support/LHeapBuffer.h"

#include <cstdint>

class LTextBuilder {
 public:
  static constexpr uint32_t kInlineCapacity = 64;

  LTextBuilder() noexcept;
  virtual ~LTextBuilder();
  LTextBuilder(const LTextBuilder&) = delete;
  LTextBuilder& operator=(const LTextBuilder&) = delete;

  // kEmptyText when empty, else the inline storage or the heap block.
  virtual const char* text() const noexcept;
  // Length 0 and failed flag cleared; the heap block stays allocated.
  virtual void clear() noexcept;
  // As clear(), and the heap block is freed.
  virtual void reset() noexcept;
  // Appends `count` bytes; false (and failed() set) when memory could not be had.
  virtual bool append(const char* bytes, uint32_t count);
  bool appendText(const char* text);  // NUL-terminated, null allowed

  uint32_t length() const noexcept { return length_; }
  bool failed() const noexcept { return failed_ != 0; }

  // Observability for tests: whether the text is held inline, and the heap block's size.
  bool isInline() const noexcept { return length_ < kInlineCapacity; }
  uint32_t heapCapacity() const noexcept { return heap_.count(); }

 private:
  uint8_t failed_ = 0;
  uint32_t length_ = 0;
  LHeapBuffer heap_;
  char inline_[kInlineCapacity];
};
