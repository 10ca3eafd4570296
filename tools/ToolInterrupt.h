// Ctrl+C and the console's close button end a running command cleanly: the handler only
// sets a flag, which the command's loop reads between pumps, so the object box is freed
// and a simulated interface unregistered as on a normal end. Any thread.
#pragma once

// Installs the console control handler (once; later calls do nothing).
void installToolInterruptHandler();
// True once an interrupt arrived.
bool toolInterrupted();
