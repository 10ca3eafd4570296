// What the host records for the driver: posts, outlet calls and the texts it handed out.
// Any thread may add; the driver takes and clears. Guarded by one lock.
#pragma once

#include <string>

#include "host/HostDriver.h"

namespace hostrecord {

void addPost(void* object, std::string text);
void addOutletCall(maxhost::OutletCall call);
std::vector<maxhost::Post> takePosts();
std::vector<maxhost::OutletCall> takeOutletCalls();

// Texts made by atom_gettext: counted until sysmem_freeptr gives them back.
void textMade(void* text);
void memoryFreed(void* pointer);
long outstandingTexts();

}  // namespace hostrecord
