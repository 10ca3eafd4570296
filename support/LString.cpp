#include "support/LString.h"

#include "support/LHeapBuffer.h"
#include "support/Text.h"
#include "support/TextConversion.h"

#include <atomic>
#include <cstddef>
#include <cstring>
#include <cwchar>
#include <new>

// The header; `length` bytes and a NUL follow it in the same allocation.
struct LString::Record {
  std::atomic<int32_t> count;
  uint32_t length;

  char* bytes() noexcept { return reinterpret_cast<char*>(this + 1); }
};

namespace {

struct EmptyRecord {
  LString::Record record;
  char terminator;
};
static_assert(offsetof(EmptyRecord, terminator) == sizeof(LString::Record),
              "the empty record's NUL must sit where a record's bytes start");

// Constant-initialised, so it exists before any code runs and no two threads can race to
// create it. Its one reference belongs to the static itself: the count never reaches 0.
EmptyRecord gEmptyRecord = {{1, 0}, 0};

LString::Record* emptyRecord() noexcept { return &gEmptyRecord.record; }

void addReference(LString::Record* record) noexcept {
  record->count.fetch_add(1, std::memory_order_relaxed);
}

void releaseReference(LString::Record* record) noexcept {
  // The empty record's own reference keeps it above 0; the pointer test also tells the
  // compiler that the static is never deleted.
  if (record->count.fetch_sub(1, std::memory_order_acq_rel) - 1 <= 0 && record != emptyRecord()) {
    record->~Record();
    ::operator delete(record);
  }
}

}  // namespace

LString::LString() noexcept : LString(emptyRecord()) {}

LString::LString(Record* adopted) noexcept : record_(adopted) { addReference(record_); }

LString::LString(const LString& other) noexcept : LString(other.record_) {}

LString& LString::operator=(const LString& other) noexcept {
  // Reference the new record before letting go of the old one: self-assignment is safe.
  Record* old = record_;
  addReference(other.record_);
  record_ = other.record_;
  releaseReference(old);
  return *this;
}

LString::~LString() { releaseReference(record_); }

void LString::release() noexcept { *this = LString(); }

LString LString::empty() noexcept { return LString(); }

LString LString::make(const char* bytes, uint32_t count) {
  if (count == 0xFFFFFFFFu) count = textSafeLength(bytes);
  if (bytes == nullptr || count == 0) return LString();
  // The header, the bytes and the NUL must fit one allocation (a concern in 32 bits only).
  if (count > static_cast<size_t>(-1) - sizeof(Record) - 1) throw std::bad_alloc();
  void* block = ::operator new(sizeof(Record) + count + 1);
  Record* record = new (block) Record{{0}, count};
  std::memcpy(record->bytes(), bytes, count);
  record->bytes()[count] = 0;
  return LString(record);
}

LString LString::fromUtf8(const char* text) { return make(text, 0xFFFFFFFFu); }

namespace {
LString fromConversion(uint32_t error, const LHeapBuffer& buffer) {
  if (error != 0) return LString();
  return LString::make(reinterpret_cast<const char*>(buffer.data()), buffer.count());
}
}  // namespace

LString LString::fromAnsi(const char* text) {
  if (text == nullptr) return LString();
  LHeapBuffer utf8;
  return fromConversion(ansiToUtf8(text, textSafeLength(text), utf8), utf8);
}

LString LString::fromWide(const wchar_t* text) {
  if (text == nullptr) return LString();
  return fromWide(text, static_cast<uint32_t>(std::wcslen(text)));
}

LString LString::fromWide(const wchar_t* text, uint32_t units) {
  if (text == nullptr) return LString();
  LHeapBuffer utf8;
  return fromConversion(wideToUtf8(text, units, utf8), utf8);
}

const char* LString::text() const noexcept { return record_->bytes(); }

uint32_t LString::length() const noexcept { return record_->length; }

int32_t LString::referenceCount() const noexcept {
  return record_->count.load(std::memory_order_relaxed);
}
