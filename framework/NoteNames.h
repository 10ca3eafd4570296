// The process-wide note names. Each is a constant text held in a global pointer that is
// constant-initialised (set before any dynamic initialiser or handler runs). Compare names
// with noteNameEqual (LNote.h), by content, never by pointer.
#pragma once

extern const char* const LHandler_Destructing;  // "LHandler_Destructing"
extern const char* const LTimer_Expire;         // "LTimer_Expire"
extern const char* const LAsyncEvent_Note;      // "LAsyncEvent_Note"
extern const char* const LAsyncSignal_X;        // "LAsyncSignal_X"
extern const char* const CDmxIo_Close;          // "CDmxIo_Close"
