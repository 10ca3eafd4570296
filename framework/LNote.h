// LNote: a value record of three pointers, copied freely: what happened (`name`, a
// process-wide note name, may be null), on whose behalf the note travels (`sender`) and
// who receives it next (`target`). Neither handler is owned. A note whose sender or
// target is null is consumed: delivery ends. The empty note (all null) is the "consumed"
// answer of a handler.
#pragma once

class LHandler;

struct LNote {
  const char* name = nullptr;
  LHandler* sender = nullptr;
  LHandler* target = nullptr;

  // The empty note.
  constexpr LNote() noexcept = default;
  constexpr LNote(const char* noteName, LHandler* noteSender, LHandler* noteTarget) noexcept
      : name(noteName), sender(noteSender), target(noteTarget) {}
  // A copy of `note` addressed to another target.
  constexpr LNote(const LNote& note, LHandler* newTarget) noexcept
      : name(note.name), sender(note.sender), target(newTarget) {}

  constexpr LNote(const LNote&) noexcept = default;
  LNote& operator=(const LNote&) noexcept = default;

  bool isConsumed() const noexcept { return sender == nullptr || target == nullptr; }
};

// Note-name equality by content: null equals null and the empty text; otherwise strcmp.
bool noteNameEqual(const char* a, const char* b) noexcept;
