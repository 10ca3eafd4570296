// LString: the one narrow string type. A handle to an immutable, reference-counted record
// of UTF-8 bytes (plus a terminating NUL that is not counted in the length; the bytes may
// themselves contain NULs when the record was made from a counted text).
//
// Threads: records are immutable and their counts atomic, so handles to one record may be
// copied and released on different threads at once. A single handle variable is not
// protected: its owner serialises assignments to it.
//
// Every empty string, however obtained, is the one shared empty record, which lives for
// the whole process and is never freed. A record that cannot be allocated raises
// std::bad_alloc (the only exception in the system); so does a length that cannot be
// represented in one allocation.
#pragma once

#include <cstdint>

class LString {
 public:
  // The empty string (the shared empty record).
  LString() noexcept;
  LString(const LString& other) noexcept;
  LString& operator=(const LString& other) noexcept;  // self-assignment safe
  ~LString();

  static LString empty() noexcept;

  // A new record holding `count` bytes from `bytes`. A count of 0xFFFFFFFF measures the
  // text with textSafeLength. Null bytes or a count of 0 give the shared empty record.
  static LString make(const char* bytes, uint32_t count);
  // From NUL-terminated UTF-8 text (null allowed).
  static LString fromUtf8(const char* text);
  // From NUL-terminated text in the ANSI code page (CP_ACP), converted to UTF-8. Null, an
  // empty text or a failed conversion give the empty string.
  static LString fromAnsi(const char* text);
  // From NUL-terminated UTF-16 text (null allowed), converted to UTF-8.
  static LString fromWide(const wchar_t* text);
  // From `units` UTF-16 units, every one converted: a NUL unit inside the count ends up
  // inside the length. Failed conversions give the empty string.
  static LString fromWide(const wchar_t* text, uint32_t units);

  // Drops this handle's reference; the handle then holds the empty string.
  void release() noexcept;

  const char* text() const noexcept;  // never null; NUL-terminated
  uint32_t length() const noexcept;   // bytes, without the terminator
  bool isEmpty() const noexcept { return length() == 0; }

  // Observability for tests and checks: the record's current reference count, and whether
  // two handles share one record.
  int32_t referenceCount() const noexcept;
  bool sharesRecordWith(const LString& other) const noexcept { return record_ == other.record_; }

  struct Record;  // defined in LString.cpp

 private:
  explicit LString(Record* adopted) noexcept;  // takes a reference on `adopted`
  Record* record_;
};
