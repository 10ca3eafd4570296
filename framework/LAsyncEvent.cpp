#include "framework/LAsyncEvent.h"

#include "framework/LAsyncEnv.h"
#include "framework/NoteNames.h"

LAsyncEvent::LAsyncEvent(LHandler* owner, LAsyncEnv* env) noexcept
    : LHandler(owner), env_(env), timer_(this) {}

LAsyncEvent::~LAsyncEvent() {
  cancel();
  // timer_ is destroyed next (it announces itself to us), then the handler part.
}

void LAsyncEvent::set() {
  if (env_ == nullptr) return;
  // An exchange, as the clear in handleNote is: whatever was done before a set that is
  // merged into a note on its way is seen by the owner when it handles that note.
  if (scheduled_.exchange(true)) {
    // Already on its way: merged into the note to come. Still waiting in pendingEvents,
    // though, the service message it asked for may have failed to go out; ask again (this
    // does nothing while a service message is in flight).
    if (isLinked()) env_->requestService();
    return;
  }
  env_->pendingEvents().pushBack(this);
  env_->requestService();
}

void LAsyncEvent::cancel() {
  if (env_ != nullptr) {
    env_->lock();
    env_->pendingEvents().remove(this);
    scheduled_ = false;
    env_->unlockAndWake();
  }
  timer_.stop();
}

LNote LAsyncEvent::handleNote(const LNote& note) {
  if (note.sender == &timer_ && noteNameEqual(note.name, LTimer_Expire)) {
    // From here on a set makes a new note, also one made by the owner while it handles
    // this one. Without the environment lock: the main thread must not wait for a pass of
    // the environment thread for every note.
    scheduled_.exchange(false);
    return LNote(LAsyncEvent_Note, this, owner());
  }
  return LHandler::handleNote(note);
}
