// CDmxParamRequest: one read or write of the interface's three device parameters, carried
// by the link's vendor control requests (CDmxUsbLink::requestParameters / setParameters).
//
// The caller owns the request and keeps it alive until its callback has run or it has been
// cancelled. While queued or in flight the link holds it through the list node. A write
// sends the low byte of each parameter; a read fills them with the three 16-bit values the
// interface replies with.
//
// The callback runs on the thread that owns the environment's window (or inside the link's
// destruction), without the environment lock. Results: kDone, kFailed, kDeviceGone (the
// device reported a general failure).
#pragma once

#include <cstdint>

#include "support/LList.h"

class CDmxParamRequest;

using DmxParamDone = void (*)(void* user, CDmxParamRequest* request, uint32_t result);

class CDmxParamRequest : public LListNode {
 public:
  static constexpr uint32_t kDone = 0;
  static constexpr uint32_t kFailed = 1;
  static constexpr uint32_t kDeviceGone = 2;

  CDmxParamRequest() noexcept = default;
  ~CDmxParamRequest() override = default;

  uint32_t param1 = 0;
  uint32_t param2 = 0;
  uint32_t param3 = 0;
  void* user = nullptr;
  DmxParamDone done = nullptr;
};
