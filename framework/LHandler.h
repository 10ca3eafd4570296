// LHandler: the base of every object that receives notes, and `deliver`, the synchronous
// delivery loop.
//
// Handlers form trees through the non-owning `owner` pointer (set at construction, never
// changed). A derived handleNote tests the note's sender and name; on a match it acts and
// either consumes (returns LNote()) or answers with a note of its own
// (LNote(name, this, owner())); otherwise it returns its base class's handleNote. The
// LHandler default passes the note on: same name and sender, target = owner, or back to
// the sender when there is no owner.
//
// Destruction: the LHandler destructor delivers ("LHandler_Destructing", this, owner) when
// there is an owner. It runs after every derived part is gone, so at that point this
// handler answers with the default only; member handlers have already announced their own
// destruction to it while its derived handleNote was still in force.
//
// Threads: nothing is locked. A note is delivered entirely on the thread calling deliver.
#pragma once

#include "framework/LNote.h"

class LHandler {
 public:
  explicit LHandler(LHandler* owner) noexcept : owner_(owner) {}
  virtual ~LHandler();
  LHandler(const LHandler&) = delete;
  LHandler& operator=(const LHandler&) = delete;

  virtual LNote handleNote(const LNote& note);

  LHandler* owner() const noexcept { return owner_; }

 private:
  LHandler* const owner_;
};

// Runs the note through the handlers on the calling thread until it is consumed or has
// come back to the handler that sent it. May be called from inside a handleNote (each call
// has its own loop). Allocates nothing. A handler that receives a note may destroy other
// handlers only if they are not the note's remaining targets.
void deliver(const LNote& note);
