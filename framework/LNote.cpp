#include "framework/LNote.h"

#include "support/Text.h"

bool noteNameEqual(const char* a, const char* b) noexcept { return textEqual(a, b); }
