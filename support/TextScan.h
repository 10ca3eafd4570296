// Byte scanners over an LCharSource, classifying with isspace in the default locale.
// They know nothing of UTF-8.
#pragma once

#include "support/LCharSource.h"
#include "support/LTextBuilder.h"

// Skips white space other than line feed and carriage return; the first other byte is put
// back.
void skipBlanks(LCharSource& source);

// Skips blanks, then appends to `sink` the longest decimal number token: any number of
// leading '+'/'-' signs, digits, at most one '.'. The byte that ends the token is put
// back. Nothing is converted to a number; the token is what the sink holds.
void numberToken(LCharSource& source, LTextBuilder& sink);
