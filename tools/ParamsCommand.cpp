// params: the interface's three device parameters, through the link's vendor requests. The
// interface is opened as the object opens it (dmxOpen, with the serial number as the name),
// so the requests travel the same link as the object's frames; their answers arrive through
// the environment's window on this thread, which pumps its messages while it waits.
#include <string>

#include "dmx/CDmxIo.h"
#include "dmx/CDmxParamRequest.h"
#include "dmx/CDmxUsbLink.h"
#include "dmx/DmxPort.h"
#include "host/HostDriver.h"
#include "tools/ToolCommandSteps.h"
#include "tools/ToolCommands.h"
#include "tools/ToolInterrupt.h"
#include "tools/ToolSimulator.h"

namespace {

// A control transfer answers within milliseconds; this only ends a wait for a device that
// never answers.
constexpr unsigned long kAnswerTimeoutMs = 5000;

struct Answer {
  bool arrived = false;
  uint32_t result = CDmxParamRequest::kFailed;
};

void answered(void* user, CDmxParamRequest*, uint32_t result) {
  auto* answer = static_cast<Answer*>(user);
  answer->arrived = true;
  answer->result = result;
}

const char* resultText(uint32_t result) {
  switch (result) {
    case CDmxParamRequest::kDone: return "done";
    case CDmxParamRequest::kDeviceGone: return "device gone";
    default: return "failed";
  }
}

// One request at a time: started by `start`, waited for, and withdrawn with `cancel` when no
// answer came. True when it was done; otherwise says why on the console.
template <class Start, class Cancel>
bool runRequest(const char* what, Answer& answer, ToolConsole& console, Start start, Cancel cancel) {
  start();
  maxhost::pumpUntil([&] { return answer.arrived || toolInterrupted(); }, kAnswerTimeoutMs);
  if (!answer.arrived) {
    cancel();
    console.error("prismlux-tool: %s: no answer from the interface\n", what);
    return false;
  }
  if (answer.result == CDmxParamRequest::kDone) return true;
  console.error("prismlux-tool: %s failed: result %u (%s)\n", what, answer.result, resultText(answer.result));
  return false;
}

}  // namespace

int runParamsCommand(const ToolOptions& options, ToolConsole& console) {
  ToolSimulator simulator;
  if (const int status = startSimulationIfAsked(options, simulator, console); status != kToolExitOk) return status;
  const std::string serial = options.serial ? *options.serial : options.simulate ? ToolSimulator::kSerial : "";
  CDmxIo* io = dmxOpen(serial.c_str());
  if (io == nullptr) {
    console.error("prismlux-tool: cannot open %s\n", serial.empty() ? "any interface" : serial.c_str());
    return kToolExitFailed;
  }
  CDmxUsbLink* link = io->link();
  // The link calls back whatever it still holds when it is destroyed, so the requests and
  // their answers outlive the close.
  CDmxParamRequest setRequest;
  CDmxParamRequest getRequest;
  Answer setAnswer;
  Answer getAnswer;
  bool ok = true;
  if (options.setParameters) {
    const auto& values = *options.setParameters;
    ok = runRequest("set parameters", setAnswer, console,
                    [&] { link->setParameters(&setRequest, &setAnswer, answered, values[0], values[1], values[2]); },
                    [&] { link->cancelParameterSet(&setRequest); });
    if (ok) console.print("set: %u %u %u\n", values[0], values[1], values[2]);
  }
  if (ok) {
    ok = runRequest("get parameters", getAnswer, console,
                    [&] { link->requestParameters(&getRequest, &getAnswer, answered); },
                    [&] { link->cancelParameterRequest(&getRequest); });
    if (ok) console.print("parameters: %u %u %u\n", getRequest.param1, getRequest.param2, getRequest.param3);
  }
  dmxClose(io);
  return ok ? kToolExitOk : kToolExitFailed;
}
