// Linked into every test program: a crash ends the program with exit code 3, so the test
// runner never reads it as a pass.
#include "tests/common/ExitOnCrash.h"
