#include "framework/NoteNames.h"

// Constant initialisation: the pointers hold their texts before any code of the process
// runs, so handlers built by other static initialisers already see them.
const char* const LHandler_Destructing = "LHandler_Destructing";
const char* const LTimer_Expire = "LTimer_Expire";
const char* const LAsyncEvent_Note = "LAsyncEvent_Note";
const char* const LAsyncSignal_X = "LAsyncSignal_X";
const char* const CDmxIo_Close = "CDmxIo_Close";
