// Note names, the delivery loop and the destruction announcement.
#include "framework/LHandler.h"
#include "framework/LNote.h"
#include "framework/NoteNames.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace {

using Log = std::vector<std::string>;

// Tags by address, so that a note's sender can be named even while it is being destroyed.
std::map<const LHandler*, std::string>& tags() {
  static std::map<const LHandler*, std::string> byAddress;
  return byAddress;
}

// Records every note it sees as "<handler>:<note name>/<sender>"; optionally consumes or
// answers one note name.
class Recorder : public LHandler {
 public:
  Recorder(const char* tag, LHandler* owner, Log& log) : LHandler(owner), tag_(tag), log_(log) {
    tags()[this] = tag;
  }

  const char* consumes = nullptr;
  const char* answers = nullptr;
  const char* answerWith = nullptr;

  LNote handleNote(const LNote& note) override {
    log_.push_back(std::string(tag_) + ":" + (note.name ? note.name : "(null)") + "/" + tags()[note.sender]);
    if (consumes != nullptr && noteNameEqual(note.name, consumes)) return LNote();
    if (answers != nullptr && noteNameEqual(note.name, answers)) return LNote(answerWith, this, owner());
    return LHandler::handleNote(note);
  }

 private:
  const char* tag_;
  Log& log_;
};

TEST(NoteNames, EqualByContent) {
  EXPECT_TRUE(noteNameEqual(nullptr, nullptr));
  EXPECT_TRUE(noteNameEqual(nullptr, ""));
  EXPECT_TRUE(noteNameEqual("", ""));
  EXPECT_FALSE(noteNameEqual(nullptr, LTimer_Expire));
  const std::string copy = "LTimer_Expire";
  EXPECT_NE(copy.c_str(), LTimer_Expire);
  EXPECT_TRUE(noteNameEqual(copy.c_str(), LTimer_Expire));
  EXPECT_STREQ("LHandler_Destructing", LHandler_Destructing);
  EXPECT_STREQ("LAsyncEvent_Note", LAsyncEvent_Note);
  EXPECT_STREQ("LAsyncSignal_X", LAsyncSignal_X);
  EXPECT_STREQ("CDmxIo_Close", CDmxIo_Close);
}

TEST(Deliver, AnUnansweredNoteClimbsTheChainAndReturnsToItsSender) {
  Log log;
  Recorder b("B", nullptr, log);
  Recorder a("A", &b, log);
  Recorder s("S", &a, log);
  deliver(LNote(LTimer_Expire, &s, s.owner()));
  // S -> A -> B (no owner) -> back to S, once each
  EXPECT_EQ((Log{"A:LTimer_Expire/S", "B:LTimer_Expire/S", "S:LTimer_Expire/S"}), log);
}

TEST(Deliver, AConsumedNoteGoesNoFurther) {
  Log log;
  Recorder b("B", nullptr, log);
  Recorder a("A", &b, log);
  Recorder s("S", &a, log);
  a.consumes = LAsyncEvent_Note;
  deliver(LNote("LAsyncEvent_Note", &s, &a));  // a different pointer to the same text
  EXPECT_EQ((Log{"A:LAsyncEvent_Note/S"}), log);
}

TEST(Deliver, AnAnswerStartsANewLegInTheSameCall) {
  Log log;
  Recorder b("B", nullptr, log);
  Recorder a("A", &b, log);
  Recorder s("S", &a, log);
  a.answers = LTimer_Expire;
  a.answerWith = LAsyncEvent_Note;
  deliver(LNote(LTimer_Expire, &s, &a));
  // A answers; its note goes to B, then back to A, where it ends.
  EXPECT_EQ((Log{"A:LTimer_Expire/S", "B:LAsyncEvent_Note/A", "A:LAsyncEvent_Note/A"}), log);
}

TEST(Deliver, NotesToSelfAndNotesWithoutSenderOrTarget) {
  Log log;
  Recorder owner("O", nullptr, log);
  Recorder h("H", &owner, log);
  deliver(LNote(CDmxIo_Close, &h, &h));  // reaches H once; passed on unchanged, it stops
  EXPECT_EQ((Log{"H:CDmxIo_Close/H"}), log);

  log.clear();
  deliver(LNote(CDmxIo_Close, nullptr, &h));
  deliver(LNote(CDmxIo_Close, &h, nullptr));
  deliver(LNote());
  EXPECT_TRUE(log.empty());
}

TEST(Deliver, NullNamesTravelLikeAnyOther) {
  Log log;
  Recorder top("T", nullptr, log);
  Recorder s("S", &top, log);
  deliver(LNote(nullptr, &s, &top));
  EXPECT_EQ((Log{"T:(null)/S", "S:(null)/S"}), log);
}

// A handler with a member handler; records the order of its teardown.
class Composite : public Recorder {
 public:
  Composite(LHandler* owner, Log& log) : Recorder("C", owner, log), member_("M", this, log), log_(log) {}
  ~Composite() override { log_.push_back("~C body"); }

 private:
  Recorder member_;
  Log& log_;
};

TEST(Destruction, AnnouncedToTheOwnerAfterTheDerivedPartsAreGone) {
  Log log;
  Recorder parent("P", nullptr, log);
  { Composite child(&parent, log); }
  EXPECT_EQ((Log{
                "~C body",
                // the member announces itself to C while C's own handleNote still runs
                "C:LHandler_Destructing/M",
                "P:LHandler_Destructing/M",
                // then C, already reduced to its LHandler part, announces itself to P; the
                // note returns to C's default handleNote, which records nothing
                "P:LHandler_Destructing/C",
            }),
            log);

  log.clear();
  { Recorder orphan("X", nullptr, log); }
  EXPECT_TRUE(log.empty());
}

}  // namespace
