#include "dmx/CDmxIo.h"

#include <cstring>
#include <new>

#include "dmx/CDmxUsbLink.h"
#include "framework/LAsyncEnv.h"
#include "framework/NoteNames.h"

namespace {

// Holds a critical section for one scope.
class IoLockHold {
 public:
  explicit IoLockHold(CRITICAL_SECTION* section) : section_(section) {
    EnterCriticalSection(section_);
  }
  ~IoLockHold() { LeaveCriticalSection(section_); }
  IoLockHold(const IoLockHold&) = delete;
  IoLockHold& operator=(const IoLockHold&) = delete;

 private:
  CRITICAL_SECTION* section_;
};

}  // namespace

CDmxIo::CDmxIo(LAsyncEnv* env)
    : LHandler(nullptr),
      env(env),
      readEvent(this, env),
      writeEvent(this, env),
      readRequest(readCompleted, this),
      writeRequest(writeCompleted, this) {
  InitializeCriticalSection(&ioLock);
  // Null without memory, also when a string record of the link's device cannot be
  // allocated; the device then never opens (see open).
  try {
    link_ = new (std::nothrow) CDmxUsbLink(this, env);
  } catch (const std::bad_alloc&) {
    link_ = nullptr;
  }
}

CDmxIo::~CDmxIo() {
  delete link_;
  link_ = nullptr;
  DeleteCriticalSection(&ioLock);
  // The events go next (write, then read), withdrawing notes the link's last completions set.
}

int32_t CDmxIo::write(const uint8_t* data, int32_t count, DmxWriteDone done, void* user) {
  IoLockHold hold(&ioLock);
  if (writePending || link_ == nullptr || !link_->isOpen()) return 0;

  env->lock();
  writePending = 1;
  const uint32_t n = count > 0 ? uint32_t(count) : 0;
  writeRequest.setLength(n);
  // A count of 0 may come with no data at all; memcpy must not see a null source even then.
  if (n > 0) {
    std::memcpy(writeRequest.data, data, n < CDmxRequest::kMaxLength ? n : CDmxRequest::kMaxLength);
  }
  writeDone = done;
  writeUser = user;
  link_->submitWrite(&writeRequest);
  env->unlockAndWake();
  return 1;
}

int32_t CDmxIo::read(uint8_t* target, int32_t capacity, DmxReadDone done, void* user) {
  IoLockHold hold(&ioLock);
  if (readPending || link_ == nullptr || !link_->isOpen()) return 0;

  env->lock();
  readCapacity = capacity > 0 ? uint32_t(capacity) : 0;
  readTarget = target;
  readUser = user;
  readPending = 1;
  readDone = done;
  link_->submitRead(&readRequest);
  env->unlockAndWake();
  return 0;
}

bool CDmxIo::isWritePending() {
  IoLockHold hold(&ioLock);
  return writePending != 0;
}

bool CDmxIo::isReadPending() {
  IoLockHold hold(&ioLock);
  return readPending != 0;
}

// Both run under the environment lock, wherever the link completes the request.
void CDmxIo::readCompleted(void* user, CDmxRequest*) {
  static_cast<CDmxIo*>(user)->readEvent.set();
}

void CDmxIo::writeCompleted(void* user, CDmxRequest*) {
  static_cast<CDmxIo*>(user)->writeEvent.set();
}

LNote CDmxIo::handleNote(const LNote& note) {
  if (noteNameEqual(note.name, LAsyncEvent_Note)) {
    // The request ends under ioLock; its callback runs after ioLock is released, because
    // the callback enters the host's critical region, and a host thread that holds that
    // region may be waiting for ioLock in write.
    if (note.sender == &readEvent) {
      DmxReadDone done;
      void* user;
      uint32_t n;
      {
        IoLockHold hold(&ioLock);
        n = readRequest.length();
        if (readCapacity < n) n = readCapacity;
        readCapacity = n;
        if (n > 0) std::memcpy(readTarget, readRequest.data, n);
        readPending = 0;
        done = readDone;
        user = readUser;
      }
      if (done != nullptr) done(user, int32_t(n));
      return LNote();
    }
    if (note.sender == &writeEvent) {
      DmxWriteDone done;
      void* user;
      {
        IoLockHold hold(&ioLock);
        writePending = 0;
        done = writeDone;
        user = writeUser;
      }
      if (done != nullptr) done(user);
      return LNote();
    }
  } else if (note.sender == link_ && noteNameEqual(note.name, CDmxIo_Close)) {
    link_->close();
    return LNote();
  }
  return LHandler::handleNote(note);
}
