// The demo session: our stand-in host loads the prismlux external, a simulated interface in
// loopback mode stands in for the hardware, and a short patch-like script sends lists and
// shows what the object posted, which frames reached the interface and what left the outlet.
//
// Runs under Wine in the build's prefix (scripts/demo.sh), next to MaxAPI.dll, the
// simulated winusb.dll and the external.
#include <cstdio>
#include <string>
#include <vector>

#include "host/HostDriver.h"
#include "sim/SimControl.h"
#include "sim/SimDeviceRegistry.h"
#include "tools/ToolConsole.h"
#include "support/Windows.h"

namespace {

std::string folderOfThisProgram() {
  char path[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string text(path);
  return text.substr(0, text.find_last_of("\\/") + 1);
}

void showPosts() {
  for (const maxhost::Post& post : maxhost::takePosts())
    std::printf("  max window: %s\n", post.text.c_str());
}

// Shows the newest frame the interface decoded and how often it was sent since the last look.
void showInterface(const char* path) {
  int count = sim_out_frame_count(path);
  if (count <= 0) {
    std::printf("  interface: no frame yet\n");
    return;
  }
  uint8_t frame[513];
  int length = sim_out_frame(path, count - 1, frame, sizeof frame);
  std::printf("  interface received %d frame(s); newest (%d bytes): %s\n", count, length,
              toolBytesText(frame, length).c_str());
  sim_clear_records(path);
}

void showOutlet() {
  std::vector<maxhost::OutletCall> calls = maxhost::takeOutletCalls();
  if (calls.empty()) {
    std::printf("  outlet: nothing\n");
    return;
  }
  std::printf("  outlet emitted %zu list(s); newest: %s\n", calls.size(),
              toolValuesText(calls.back().values).c_str());
}

void step(const char* what, void* object, const std::vector<double>& list, const char* path) {
  std::printf("\n> %s\n", what);
  if (!list.empty()) {
    std::printf("  list in: %s\n", toolValuesText(list).c_str());
    maxhost::sendFloats(object, list);
  }
  maxhost::pumpMessages(300);
  showPosts();
  showInterface(path);
  showOutlet();
}

}  // namespace

int main() {
  std::printf("prismlux demo: a stand-in Max host and a simulated USB DMX interface (loopback)\n");

  simreg::DeviceSpec spec;
  spec.instanceId = "USB\\VID_1234&PID_5678\\2042";
  simreg::ScopedDevice device(spec);
  if (!device.ok()) {
    std::printf("could not register the simulated interface\n");
    return 1;
  }
  const char* path = device.path().c_str();
  sim_set_loopback(path, 1);
  std::printf("simulated interface %s, serial number 2042, loopback on\n", path);

  std::string error;
  std::string external = folderOfThisProgram() + (sizeof(void*) == 8 ? "prismlux.mxe64" : "prismlux.mxe");
  std::printf("\n> loading %s\n", external.c_str());
  if (!maxhost::loadExternal(external, &error)) {
    std::printf("  could not load the external: %s\n", error.c_str());
    return 1;
  }
  showPosts();

  std::printf("\n> new object box [prismlux 1 2042]\n");
  void* object = maxhost::newObject("prismlux 1 2042");
  showPosts();
  std::printf("  inlet help: \"%s\"; outlet help: \"%s\"\n", maxhost::assist(object, 1, 0).c_str(),
              maxhost::assist(object, 2, 0).c_str());

  step("send a frame: start code 0, then slots at full, half and quarter", object, {0, 1, 0.5, 0.25}, path);
  step("no new list: the newest frame is sent again and again", object, {}, path);
  step("a longer frame; values outside 0..1 are clamped", object, {0, 0, 0.2, 1.7, -0.4, 1}, path);

  std::printf("\n> new object box [prismlux 255 9999] (no such interface)\n");
  void* missing = maxhost::newObject("prismlux 255 9999");
  showPosts();

  std::printf("\n> deleting both objects\n");
  maxhost::freeObject(missing);
  maxhost::freeObject(object);
  showPosts();
  std::printf("\ndone\n");
  return 0;
}
