#include "framework/LHandler.h"

#include "framework/NoteNames.h"

LHandler::~LHandler() {
  // By now the object is an LHandler again: the note reaches our own default handleNote if
  // it comes back, never a derived one whose members are gone.
  if (owner_ != nullptr) deliver(LNote(LHandler_Destructing, this, owner_));
}

LNote LHandler::handleNote(const LNote& note) {
  return LNote(note, owner_ != nullptr ? owner_ : note.sender);
}

void deliver(const LNote& note) {
  const char* origName = note.name;
  LHandler* origSender = note.sender;
  LNote current = note;
  while (current.sender != nullptr && current.target != nullptr) {
    LHandler* handler = current.target;
    current = handler->handleNote(current);
    if (current.sender == origSender && noteNameEqual(current.name, origName)) {
      // The same note travels on; it ends once its sender has seen it again.
      if (handler == origSender) return;
    } else {
      // An answer (or a consumed note): a new leg starts from here.
      origName = current.name;
      origSender = current.sender;
    }
  }
}
