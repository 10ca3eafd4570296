// The tool's commands run in-process against interfaces registered in the prefix and served
// by the simulated winusb.dll (the test imports it, so the tool's run-time binding finds the
// same module); what reached an interface is read back with the simulator's own decoder.
// The program itself runs as a child process: for its exit codes, and as unpacked from its
// release zip (ToolReleaseZip, run on its own as tools.release_zip).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/common/RegisteredDevices.h"
#include "tests/common/RunsAlone.h"
#include "dmx/CDmxDeviceList.h"
#include "dmx/DmxPort.h"
#include "sim/SimControl.h"
#include "sim/SimDeviceRegistry.h"
#include "support/Windows.h"
#include "tools/ToolCommands.h"
#include "tools/ToolSlotGrid.h"

namespace {

using Frame = std::vector<uint8_t>;

struct Outcome {
  int status = -1;
  std::string out;
  std::string err;
};

Outcome run(const std::vector<std::string>& args) {
  Outcome result;
  ToolConsole console;
  console.capturedOut = &result.out;
  console.capturedErr = &result.err;
  result.status = runTool(args, console);
  return result;
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

int presentInterfaces() {
  CDmxDeviceList list;
  int count = 0;
  while (list.next()) ++count;
  return count;
}

class ToolCommandsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sim_reset();
    ASSERT_EQ(presentInterfaces(), 0) << "devices left in the prefix";
  }

  void TearDown() override {
    for (const auto& device : devices_) {
      SimCounters counters{};
      sim_get_counters(device->path().c_str(), &counters);
      EXPECT_EQ(counters.openHandles, 0u) << "the command left the interface open";
    }
    devices_.clear();
    // Whatever a command registered for itself is gone when it returns.
    EXPECT_EQ(presentInterfaces(), 0);
  }

  std::string add(const std::string& instanceId, simreg::InterfaceClass cls = simreg::InterfaceClass::Primary,
                  const char* serial = nullptr) {
    return devices_.add(instanceId, cls, serial).path();
  }

  testdevices::RegisteredDevices devices_;
};

TEST_F(ToolCommandsTest, ListShowsInterfacesInWalkOrderWithClassSerialAndPath) {
  Outcome empty = run({"list"});
  EXPECT_EQ(empty.status, 0);
  EXPECT_TRUE(contains(empty.out, "no DMX interface present")) << empty.out;

  const std::string second = add("USB\\VID_1234&PID_0002\\77", simreg::InterfaceClass::Secondary, "SN-77");
  const std::string first = add("USB\\VID_1234&PID_0001\\4321");
  const Outcome listed = run({"list"});
  EXPECT_EQ(listed.status, 0) << listed.err;
  const size_t firstAt = listed.out.find("1      4321      " + first);
  const size_t secondAt = listed.out.find("2      SN-77     " + second);
  ASSERT_NE(firstAt, std::string::npos) << listed.out;
  ASSERT_NE(secondAt, std::string::npos) << listed.out;
  EXPECT_LT(firstAt, secondAt);  // the first class is walked first
}

TEST_F(ToolCommandsTest, SendKeepsTheFrameGoingToTheChosenInterface) {
  const std::string other = add("USB\\VID_1234&PID_0001\\1111");
  const std::string path = add("USB\\VID_1234&PID_0001\\4321");
  const Outcome sent = run({"send", "--scale", "255", "--serial", "4321", "--seconds", "0.3", "0", "10", "20.4", "300"});
  EXPECT_EQ(sent.status, 0) << sent.err;
  EXPECT_TRUE(contains(sent.out, "max window: open 4321")) << sent.out;
  EXPECT_TRUE(contains(sent.out, "list in: 0 10 20.4 300")) << sent.out;

  // Resent over and over; rounded and clamped bytes.
  const int frames = sim_out_frame_count(path.c_str());
  EXPECT_GE(frames, 2);
  for (int i = 0; i < frames; ++i) {
    Frame frame(513);
    frame.resize(static_cast<size_t>(sim_out_frame(path.c_str(), i, frame.data(), 513)));
    EXPECT_EQ(frame, (Frame{0, 10, 20, 255})) << i;
  }
  EXPECT_EQ(sim_out_frame_count(other.c_str()), 0);
}

TEST_F(ToolCommandsTest, SendReachesAnInterfaceWithBulkPipesOnlyThroughTheExternal) {
  // [0x82 bulk IN, 0x01 bulk OUT]
  const std::string path = add("USB\\VID_1234&PID_5678\\4322");
  const SimPipe bulkOnly[] = {{2, 0x82, 64, 0}, {2, 0x01, 64, 0}};
  ASSERT_EQ(sim_set_pipes(path.c_str(), bulkOnly, 2), 1);
  const Outcome sent = run({"send", "--scale", "255", "--serial", "4322", "--seconds", "0.2", "0", "7"});
  EXPECT_EQ(sent.status, 0) << sent.err;
  EXPECT_TRUE(contains(sent.out, "max window: open 4322")) << sent.out;
  ASSERT_GE(sim_out_frame_count(path.c_str()), 1);
  Frame frame(513);
  frame.resize(static_cast<size_t>(sim_out_frame(path.c_str(), 0, frame.data(), 513)));
  EXPECT_EQ(frame, (Frame{0, 7}));
  uint8_t pipe = 0;
  EXPECT_GT(sim_out_transfer(path.c_str(), 0, nullptr, 0, &pipe), 0);
  EXPECT_EQ(pipe, 0x01);
}

TEST_F(ToolCommandsTest, SendWithoutAnInterfaceFailsAndSaysSo) {
  add("USB\\VID_1234&PID_0001\\4321");
  const Outcome missing = run({"send", "--serial", "9999", "--seconds", "0.1", "1"});
  EXPECT_EQ(missing.status, 1);
  EXPECT_TRUE(contains(missing.out, "cannot open 9999")) << missing.out;
  EXPECT_TRUE(contains(missing.err, "no interface opened")) << missing.err;

  const Outcome bad = run({"send", "--serial", "4321"});
  EXPECT_EQ(bad.status, 2);
  EXPECT_TRUE(bad.out.empty());
  EXPECT_TRUE(contains(bad.err, "at least one list value")) << bad.err;
}

TEST_F(ToolCommandsTest, MonitorPrintsEveryReceivedFrameScaled) {
  const std::string path = add("USB\\VID_1234&PID_0001\\4321");
  // The frames arrive while the monitor runs, once its reads wait; a frame ends when the
  // next begins, so the last one only ends the second. They come one at a time: the 32-bit
  // decoder keeps a single finished frame until the object asks for it.
  std::thread sender([&] {
    if (sim_wait_outstanding_reads(path.c_str(), 16, 5000) != 1) return;
    const Frame frames[] = {{0, 255, 51}, {0, 1, 2, 3}, {0}};
    for (const Frame& frame : frames) {
      sim_inject_frame(path.c_str(), frame.data(), static_cast<int>(frame.size()), 0);
      Sleep(250);
    }
  });
  const Outcome monitored = run({"monitor", "--scale", "255", "--serial", "4321", "--seconds", "1.5"});
  sender.join();
  EXPECT_EQ(monitored.status, 0) << monitored.err;
  const std::regex firstLine(R"(\n +[0-9]+\.[0-9]{3}  0 255 51\n +[0-9]+\.[0-9]{3}  0 1 2 3\n)");
  EXPECT_TRUE(std::regex_search(monitored.out, firstLine)) << monitored.out;
  EXPECT_TRUE(contains(monitored.out, "2 list(s) in")) << monitored.out;
}

// The setup packet and data of control request `index` as the interface received it.
std::string controlRecord(const std::string& path, int index) {
  SimSetup setup{};
  uint8_t data[16] = {};
  const int length = sim_control(path.c_str(), index, &setup, data, sizeof data);
  if (length < 0) return "none";
  char text[64];
  std::snprintf(text, sizeof text, "%02X %02X %u %02X %u:", setup.requestType, setup.request, setup.value,
                setup.index, setup.length);
  return text + (length > 0 ? " " + toolBytesText(data, length) : std::string());
}

TEST_F(ToolCommandsTest, ParamsReadsAndWritesTheDeviceParametersThroughTheLink) {
  const std::string path = add("USB\\VID_1234&PID_0001\\4321");
  ASSERT_EQ(sim_set_parameters(path.c_str(), 1, 300, 65535), 1);
  const Outcome read = run({"params", "--serial", "4321"});
  EXPECT_EQ(read.status, 0) << read.err;
  EXPECT_TRUE(contains(read.out, "parameters: 1 300 65535\n")) << read.out;  // raw 16-bit values
  EXPECT_EQ(sim_control_count(path.c_str()), 1);
  EXPECT_EQ(controlRecord(path, 0), "C2 00 0 81 6:");

  sim_clear_records(path.c_str());
  const Outcome written = run({"params", "--serial", "4321", "--set", "10", "0", "255"});
  EXPECT_EQ(written.status, 0) << written.err;
  // The set goes first, with the bulk OUT endpoint as index; then the read-back.
  EXPECT_EQ(sim_control_count(path.c_str()), 2);
  EXPECT_EQ(controlRecord(path, 0), "42 03 0 02 4: 10 0 255 0");
  EXPECT_EQ(controlRecord(path, 1), "C2 00 0 81 6:");
  EXPECT_TRUE(contains(written.out, "set: 10 0 255\nparameters: 1 300 65535\n")) << written.out;
}

TEST_F(ToolCommandsTest, ParamsRefusesBadValuesUntouchedAndReportsFailedRequests) {
  const std::string path = add("USB\\VID_1234&PID_0001\\4321");
  const uint32_t initialized = sim_calls(SIM_EP_INITIALIZE);
  const Outcome bad = run({"params", "--serial", "4321", "--set", "1", "2", "256"});
  EXPECT_EQ(bad.status, 2);
  EXPECT_EQ(sim_calls(SIM_EP_INITIALIZE), initialized);  // the interface was never opened

  // A general failure is the device gone (2); any other error a failed request (1).
  ASSERT_EQ(sim_fail_next(path.c_str(), SIM_OP_CONTROL, SIM_FAIL_STATUS, SIM_STATUS_UNSUCCESSFUL), 1);
  const Outcome gone = run({"params", "--serial", "4321", "--set", "1", "2", "3"});
  EXPECT_EQ(gone.status, 1);
  EXPECT_TRUE(contains(gone.err, "set parameters failed: result 2 (device gone)")) << gone.err;
  EXPECT_FALSE(contains(gone.out, "parameters:")) << gone.out;

  ASSERT_EQ(sim_fail_next(path.c_str(), SIM_OP_CONTROL, SIM_FAIL_AT_ONCE, ERROR_INVALID_PARAMETER), 1);
  const Outcome failed = run({"params", "--serial", "4321"});
  EXPECT_EQ(failed.status, 1);
  EXPECT_TRUE(contains(failed.err, "get parameters failed: result 1 (failed)")) << failed.err;

  const Outcome missing = run({"params", "--serial", "9999"});
  EXPECT_EQ(missing.status, 1);
  EXPECT_TRUE(contains(missing.err, "cannot open 9999")) << missing.err;
}

TEST_F(ToolCommandsTest, CheckOpensEachInterfaceAndMarksTheDataPipesAnObjectWouldUse) {
  // The built-in layout: [0x83 bulk IN, 0x81 type-3 IN, 0x02 type-3 OUT]
  const std::string decoy = add("USB\\VID_1234&PID_5678\\4321");
  ASSERT_EQ(sim_set_release(decoy.c_str(), 0x0207), 1);
  ASSERT_EQ(sim_set_parameters(decoy.c_str(), 1, 2, 300), 1);
  // Bulk pipes only: [0x82 bulk IN, 0x01 bulk OUT]
  const std::string bulk = add("USB\\VID_1234&PID_5678\\4322");
  const SimPipe bulkOnly[] = {{2, 0x82, 64, 0}, {2, 0x01, 512, 0}};
  ASSERT_EQ(sim_set_pipes(bulk.c_str(), bulkOnly, 2), 1);

  const Outcome checked = run({"check"});
  EXPECT_EQ(checked.status, 0) << checked.out;
  const std::string& out = checked.out;
  EXPECT_TRUE(contains(out, "  device path  " + decoy + "\n")) << out;
  EXPECT_TRUE(contains(out, "  serial       4321, from the last part of the device instance id\n")) << out;
  EXPECT_TRUE(std::regex_search(out, std::regex(R"(\n +0 +2 bulk +IN +0x83 +64 *\n)"))) << out;
  EXPECT_TRUE(std::regex_search(out, std::regex(R"(\n +1 +3 interrupt +IN +0x81 +64 +<- data IN\n)"))) << out;
  EXPECT_TRUE(std::regex_search(out, std::regex(R"(\n +2 +3 interrupt +OUT +0x02 +64 +<- data OUT\n)"))) << out;
  EXPECT_TRUE(contains(out, "vendor id 0x1234, product id 0x5678, bcdDevice 0x0207\n  parameters   1 2 300\n")) << out;
  EXPECT_TRUE(std::regex_search(out, std::regex(R"(\n +0 +2 bulk +IN +0x82 +64 +<- data IN\n)"))) << out;
  EXPECT_TRUE(std::regex_search(out, std::regex(R"(\n +1 +2 bulk +OUT +0x01 +512 +<- data OUT\n)"))) << out;
  EXPECT_TRUE(contains(out, "4321: opens - [prismlux] and [prismlux 1 4321] will use it\n")) << out;
  EXPECT_TRUE(contains(out, "4322: opens - [prismlux 1 4322] will use it\n")) << out;

  // The only traffic was one vendor get request each, on the data IN endpoint; no frame.
  for (const auto& [path, inEndpoint] : {std::pair{decoy, 0x81}, std::pair{bulk, 0x82}}) {
    EXPECT_EQ(sim_out_transfer_count(path.c_str()), 0) << path;
    ASSERT_EQ(sim_control_count(path.c_str()), 1) << path;
    SimSetup setup{};
    sim_control(path.c_str(), 0, &setup, nullptr, 0);
    EXPECT_EQ(setup.requestType, 0xC2);
    EXPECT_EQ(setup.index, inEndpoint);
  }
}

TEST_F(ToolCommandsTest, CheckNamesTheStepThatFailsAndWhatToDo) {
  const std::string held = add("USB\\VID_1234&PID_5678\\4321");
  const std::string other = add("USB\\VID_1234&PID_5678\\4322");
  const std::string unbound = add("USB\\VID_1234&PID_5678\\4323");
  const std::string pipeless = add("USB\\VID_1234&PID_5678\\4324");
  const std::string gone = add("USB\\VID_1234&PID_5678\\4325");
  ASSERT_EQ(sim_fail_next(unbound.c_str(), SIM_OP_INITIALIZE, SIM_FAIL_AT_ONCE, ERROR_GEN_FAILURE), 1);
  // No data OUT pipe: an isochronous pipe does not count.
  const SimPipe noDataOut[] = {{3, 0x81, 64, 0}, {1, 0x02, 64, 0}};
  ASSERT_EQ(sim_set_pipes(pipeless.c_str(), noDataOut, 2), 1);
  ASSERT_TRUE(simreg::setPlaceholder(other, simreg::Placeholder::HeldByOther));
  ASSERT_TRUE(simreg::setPlaceholder(gone, simreg::Placeholder::None));
  CDmxIo* running = dmxOpen("4321");
  ASSERT_NE(running, nullptr);

  const Outcome checked = run({"check", "--serial", "4321"});
  dmxClose(running);
  EXPECT_EQ(checked.status, 1) << checked.out;
  const std::string& out = checked.out;
  EXPECT_TRUE(contains(out, "4321: cannot open - in use by another program or object\n")) << out;
  EXPECT_TRUE(contains(out, "4322: cannot open - in use by another program or object\n")) << out;
  EXPECT_TRUE(contains(out, "open path    failed: error 5 (ERROR_ACCESS_DENIED)\n")) << out;
  EXPECT_TRUE(contains(out, "close that one (or its patch) and try again")) << out;
  EXPECT_TRUE(contains(out, "4323: cannot open - WinUSB is not bound to it (WinUsb_Initialize: error 31 (ERROR_GEN_FAILURE))\n")) << out;
  EXPECT_TRUE(contains(out, "bind the interface to the WinUSB driver")) << out;
  EXPECT_TRUE(contains(out, "4324: cannot open - its data pipes are missing\n")) << out;
  EXPECT_TRUE(std::regex_search(out, std::regex(R"(\n +1 +1 isochronous +OUT +0x02 +64 *\n)"))) << out;
  EXPECT_TRUE(contains(out, "4325: cannot open - gone\n")) << out;
  EXPECT_TRUE(contains(out, "check the cable")) << out;

  // Once the object has let go, the same interface opens.
  const Outcome released = run({"check", "--serial", "4321"});
  EXPECT_EQ(released.status, 0) << released.out;
  EXPECT_TRUE(contains(released.out, "4321: opens - [prismlux 1 4321] will use it\n")) << released.out;
  ASSERT_TRUE(simreg::setPlaceholder(other, simreg::Placeholder::File));
  ASSERT_TRUE(simreg::setPlaceholder(gone, simreg::Placeholder::File));
}

TEST_F(ToolCommandsTest, CheckMatchesTheSerialNumberAsAnObjectDoes) {
  const Outcome nothing = run({"check"});
  EXPECT_EQ(nothing.status, 1);
  EXPECT_TRUE(contains(nothing.out, "no interface of either class is there. Is it plugged in, and bound to the WinUSB driver?"))
      << nothing.out;

  add("USB\\VID_1234&PID_0002\\77", simreg::InterfaceClass::Secondary, "00004660");
  const std::string unnamed = add("USB\\VID_1234&PID_0002\\78", simreg::InterfaceClass::Secondary);
  const Outcome byValue = run({"check", "--serial", "4660"});
  EXPECT_EQ(byValue.status, 0) << byValue.out;
  EXPECT_TRUE(contains(byValue.out, "  serial       00004660, from the interface's registry value DeviceSerialNumber\n"
                                    "  --serial 4660 matches it by value")) << byValue.out;
  EXPECT_TRUE(contains(byValue.out, "00004660: opens - [prismlux 1 4660] will use it\n")) << byValue.out;
  CDmxDeviceList list;
  std::string checksum;
  while (list.next()) {
    if (list.devicePath().path.text() == unnamed) checksum = list.serialNumber().text();
  }
  EXPECT_TRUE(contains(byValue.out, "  serial       " + checksum + ", from the CRC-16 of the device path\n"
                                    "  --serial 4660 does not match it\n")) << byValue.out;

  const Outcome unmatched = run({"check", "--serial", "9999"});
  EXPECT_EQ(unmatched.status, 1) << unmatched.out;
  EXPECT_TRUE(contains(unmatched.out, "no interface has the serial number 9999")) << unmatched.out;
}

TEST_F(ToolCommandsTest, SimulateRegistersALoopbackInterfaceForTheCommandOnly) {
  const Outcome listed = run({"list", "--simulate"});
  EXPECT_EQ(listed.status, 0) << listed.err;
  EXPECT_TRUE(std::regex_search(listed.out, std::regex(R"(\n1 +7001 +\\\\\?\\usb#vid_1234&pid_5678#7001#)"))) << listed.out;
  EXPECT_EQ(presentInterfaces(), 0);

  const Outcome sent = run({"send", "--simulate", "--scale", "255", "--seconds", "0.4", "0", "7", "8"});
  EXPECT_EQ(sent.status, 0) << sent.err;
  EXPECT_TRUE(contains(sent.out, "max window: open 7001")) << sent.out;
  EXPECT_TRUE(contains(sent.out, "newest (3 bytes): 0 7 8")) << sent.out;
  std::smatch lists;
  ASSERT_TRUE(std::regex_search(sent.out, lists, std::regex(R"(outlet emitted ([0-9]+) list)"))) << sent.out;
  EXPECT_GT(std::stoi(lists[1]), 0);  // loopback

  const Outcome monitored = run({"monitor", "--simulate", "--seconds", "0.8"});
  EXPECT_EQ(monitored.status, 0) << monitored.err;
  // The moving test pattern, scale 1: the second frame is 0 17 238 128 in bytes.
  EXPECT_TRUE(contains(monitored.out, "  0 0.0666667 0.933333 0.501961\n")) << monitored.out;
}

TEST_F(ToolCommandsTest, BenchPrintsItsFigures) {
  const Outcome bench = run({"bench", "--seconds", "0.05"});
  EXPECT_EQ(bench.status, 0) << bench.err;
  for (const char* line : {R"(packetise 513-byte frame into a 588-byte stream: median +[0-9]+ ns +p99 +[0-9]+ ns)",
                           R"(decode +588-byte IN stream into a frame: median +[0-9]+ ns +p99 +[0-9]+ ns)",
                           R"(reissue +its 10 reads issued again: median +[0-9]+ ns +p99 +[0-9]+ ns)",
                           R"(waits +64 interfaces \(192 signals armed, 3 helper threads\).*: +[0-9.]+ helper wake-ups)",
                           R"(many +64 interfaces, .*, driver resetting the event at each start: per interface +[0-9.]+ frames/s out.*line idle between frames median +[0-9.]+ ms p99 +[0-9.]+ ms)",
                           R"(many +64 interfaces, .*, driver leaving the event: per interface +[0-9.]+ frames/s out)",
                           R"(many +64 per frame moved: environment thread [0-9.]+ waits)",
                           // Each frame is one write and, looped back, one list out on the
                           // main thread; a full frame comes back in 10 packets, each a read
                           // (one frame's reads may fall on either side of the 50 counted).
                           R"(calls +513 +any +winusb\.dll +WinUsb_WritePipe +1\.0 )",
                           R"(calls +513 +any +winusb\.dll +WinUsb_ReadPipe +(9\.8|9\.9|10\.0|10\.1|10\.2) )",
                           R"(calls +3 +any +winusb\.dll +WinUsb_ReadPipe +1\.0 )",
                           R"(calls +513 +main +maxapi\.dll +outlet_list +1\.0 )",
                           // The environment thread is told apart from the main thread.
                           R"(calls +513 +environment +user32\.dll +MsgWaitForMultipleObjects +[1-9])",
                           R"(gap +line idle between .*: median +[0-9.]+ ms +p99 +[0-9.]+ ms +max +[0-9.]+ ms)",
                           R"(main +host main thread's CPU per frame sent: +[0-9]+ us)",
                           R"(latency +IN read done -> list at the outlet, interface idle: +median +[0-9.]+ ms +p99 +[0-9.]+ ms)",
                           R"(latency +IN read done -> list at the outlet, sending at the line's rate: +median +[0-9.]+ ms)",
                           R"(send +513-byte frames, interface taking 22\.7 ms per transfer: +[0-9.]+ frames/s)",
                           R"(cpu +513-byte frames out and in at the DMX line's rate: +[0-9.]+% of one core)",
                           // The DMX line: 1,204 us at least from break to break, 44 us a byte.
                           R"(send +1-byte frames, interface completing at once: +[0-9]+ frames/s +\(DMX line: +830\.6 frames/s)",
                           R"(send +513-byte frames, interface completing at once: +[0-9]+ frames/s +\(DMX line: +44\.1 frames/s)",
                           R"(list +513 elements from a host thread: median +[0-9.]+ us +p99 +[0-9.]+ us)",
                           R"(receive +64-byte frames: +[0-9]+ frames/s emitted at the outlet)",
                           // Nothing on either path may allocate once it has run.
                           R"(heap +receive path: 0 allocations in [1-9][0-9]* frames)",
                           R"(heap +send path: 0 allocations in [1-9][0-9]* frames)",
                           R"(memory +change over [0-9]+ frames sent and [0-9]+ received: working set [-+][0-9]+ KiB)"}) {
    EXPECT_TRUE(std::regex_search(bench.out, std::regex(line, std::regex::icase))) << line << "\n" << bench.out;
  }
  for (const char* trouble : {"note:", "did not come out", "allocations not counted"})
    EXPECT_FALSE(contains(bench.out, trouble)) << bench.out;
}

// The monitor's grid, as a console shows it: bytes recovered from the scaled list, rows of 16
// slots labelled with their first slot, and lines of one width so that a redraw covers the last.
TEST(ToolMonitorGrid, ShowsTheSlotsAsBytesWithRateStartCodeAndLength) {
  EXPECT_EQ(toolFrameBytes({0, 2, 1, 3, -1}, 2), (Frame{0, 255, 128, 255, 0}));
  EXPECT_EQ(toolFrameBytes({0.0666667, 0.501961}, 0), (Frame{17, 128}));  // scale 0 means 1

  Frame frame(20);
  frame[0] = 0xCC;
  frame[1] = 255;
  frame[17] = 7;
  frame[19] = 9;
  std::vector<std::string> lines;
  std::istringstream grid(toolSlotGridText(frame, 44.1));
  for (std::string line; std::getline(grid, line);) lines.push_back(line);
  ASSERT_EQ(lines.size(), 2u + 32u);
  for (const std::string& line : lines) EXPECT_EQ(line.size(), lines[0].size()) << line;
  EXPECT_EQ(lines[0].substr(0, 46), "   44.1 frames/s   start code 204   length  20");
  EXPECT_EQ(lines[1].substr(0, 17), "slot   +0  +1  +2");
  EXPECT_EQ(lines[2].substr(0, 21), "   1  255   0   0   0");
  EXPECT_EQ(lines[3].substr(0, 25), "  17    7   0   9   -   -");  // slots 20 on: not in the frame
  EXPECT_EQ(lines[33].substr(0, 9), " 497    -");
  EXPECT_NE(toolSlotGridText({}, 0).find("no frame yet"), std::string::npos);
}

// The program itself, as a process of its own.
struct ChildRun {
  DWORD status = 0;
  std::string out;  // standard output and error
};

// Wine's DLL choices for a child: the simulated winusb.dll beside the program, or the
// system's own library (what a show machine has).
constexpr const char* kSimulatedWinUsb = "winusb=n;mscoree=d;mshtml=d;winemenubuilder.exe=d";
constexpr const char* kSystemWinUsb = "mscoree=d;mshtml=d;winemenubuilder.exe=d";

// Runs `program` with `arguments` in `folder` and WINEDLLOVERRIDES `overrides`; its output goes
// through a file (a pipe could be held open by a service the child starts). An error code
// when it did not start, WAIT_TIMEOUT when it did not end within a minute, else 0.
DWORD runChild(const std::string& program, const std::string& arguments, const std::string& folder,
               const char* overrides, ChildRun* run) {
  char temp[MAX_PATH], file[MAX_PATH];
  GetTempPathA(MAX_PATH, temp);
  GetTempFileNameA(temp, "plx", 0, file);
  SECURITY_ATTRIBUTES inherited{sizeof inherited, nullptr, TRUE};
  const HANDLE output = CreateFileA(file, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    &inherited, CREATE_ALWAYS, FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  if (output == INVALID_HANDLE_VALUE) return GetLastError();
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = output;
  startup.hStdError = output;
  std::string command = "\"" + program + "\" " + arguments;
  // The child takes its environment, and so Wine its DLL choices, from ours.
  char saved[512] = "";
  const bool hadOverrides = GetEnvironmentVariableA("WINEDLLOVERRIDES", saved, sizeof saved) > 0;
  SetEnvironmentVariableA("WINEDLLOVERRIDES", overrides);
  PROCESS_INFORMATION process{};
  const BOOL started = CreateProcessA(program.c_str(), &command[0], nullptr, nullptr, TRUE, 0, nullptr,
                                      folder.c_str(), &startup, &process);
  const DWORD startError = GetLastError();
  SetEnvironmentVariableA("WINEDLLOVERRIDES", hadOverrides ? saved : nullptr);
  if (!started) {
    CloseHandle(output);
    return startError;
  }
  const DWORD waited = WaitForSingleObject(process.hProcess, 60000);
  if (waited != WAIT_OBJECT_0) TerminateProcess(process.hProcess, 99);
  GetExitCodeProcess(process.hProcess, &run->status);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  run->out.clear();
  SetFilePointer(output, 0, nullptr, FILE_BEGIN);
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(output, buffer, sizeof buffer, &got, nullptr) && got > 0) run->out.append(buffer, got);
  CloseHandle(output);
  // Text written to a file through the C runtime ends its lines with CR LF.
  run->out.erase(std::remove(run->out.begin(), run->out.end(), '\r'), run->out.end());
  return waited == WAIT_OBJECT_0 ? 0 : WAIT_TIMEOUT;
}

TEST(ToolProgram, ExitStatusTellsUsageErrorsFromSuccess) {
  ChildRun run;
  ASSERT_EQ(runChild("prismlux-tool.exe", "send --scale nope 1", ".", kSimulatedWinUsb, &run), 0u);
  EXPECT_EQ(run.status, 2u);
  ASSERT_EQ(runChild("prismlux-tool.exe", "--help", ".", kSimulatedWinUsb, &run), 0u);
  EXPECT_EQ(run.status, 0u);
}

TEST(ToolProgram, CheckSaysWhenWinUsbCannotBeLoaded) {
  // A child takes its DLL choices from the Unix environment this process started with
  // (winusb=n: only a winusb.dll beside the program), so a broken one there is what it gets.
  char temp[MAX_PATH];
  ASSERT_GT(GetTempPathA(MAX_PATH, temp), 0u);
  const std::string folder = std::string(temp) + "plx-broken-winusb-" + std::to_string(GetCurrentProcessId());
  ASSERT_TRUE(CreateDirectoryA(folder.c_str(), nullptr));
  for (const char* file : {"prismlux-tool.exe", "MaxAPI.dll"})
    ASSERT_TRUE(CopyFileA(file, (folder + "/" + file).c_str(), TRUE)) << file;
  const HANDLE broken = CreateFileA((folder + "/winusb.dll").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
  ASSERT_NE(broken, INVALID_HANDLE_VALUE);
  DWORD written = 0;
  WriteFile(broken, "not a library", 13, &written, nullptr);
  CloseHandle(broken);

  testdevices::RegisteredDevices devices;
  devices.add("USB\\VID_1234&PID_5678\\4321");
  ChildRun run;
  ASSERT_EQ(runChild(folder + "/prismlux-tool.exe", "check", folder, kSimulatedWinUsb, &run), 0u);
  EXPECT_EQ(run.status, 1u) << run.out;
  EXPECT_TRUE(contains(run.out, "  winusb.dll   cannot be loaded: error ")) << run.out;
  EXPECT_TRUE(contains(run.out, "4321: cannot open - winusb.dll cannot be loaded\n")) << run.out;
  for (const char* file : {"prismlux-tool.exe", "MaxAPI.dll", "winusb.dll"}) DeleteFileA((folder + "/" + file).c_str());
  RemoveDirectoryA(folder.c_str());
}

// The tool as users get it: unpacked from its release zip (PRISMLUX_UNPACKED_TOOL names the
// folder) and run there, with the system's own winusb.dll unless a case puts the simulated one
// beside it for itself.
class ToolReleaseZip : public ::testing::Test {
 protected:
  void SetUp() override {
    PRISMLUX_SKIP_UNLESS_ALONE();
    char folder[MAX_PATH] = "";
    ASSERT_GT(GetEnvironmentVariableA("PRISMLUX_UNPACKED_TOOL", folder, sizeof folder), 0u);
    folder_ = folder;
    ASSERT_EQ(GetFileAttributesA((folder_ + "/winusb.dll").c_str()), INVALID_FILE_ATTRIBUTES)
        << "the release zip holds a winusb.dll";
    ASSERT_EQ(presentInterfaces(), 0) << "devices left in the prefix";
  }

  void TearDown() override {
    if (placedWinUsb_) {
      EXPECT_TRUE(DeleteFileA((folder_ + "/winusb.dll").c_str()));
    }
    devices_.clear();
  }

  ChildRun tool(const std::string& arguments, const char* overrides = kSystemWinUsb) {
    ChildRun run;
    EXPECT_EQ(runChild(folder_ + "/prismlux-tool.exe", arguments, folder_, overrides, &run), 0u) << arguments;
    return run;
  }

  void placeSimulatedWinUsb() {
    ASSERT_TRUE(CopyFileA("winusb.dll", (folder_ + "/winusb.dll").c_str(), TRUE));
    placedWinUsb_ = true;
  }

  std::string folder_;
  bool placedWinUsb_ = false;
  testdevices::RegisteredDevices devices_;
};

TEST_F(ToolReleaseZip, ListsTheInterfacesAndRefusesToSimulateWithTheSystemLibrary) {
  const std::string first = devices_.add("USB\\VID_1234&PID_5678\\4321").path();
  const std::string second = devices_.add("USB\\VID_1234&PID_5678\\77", simreg::InterfaceClass::Secondary, "SN-77").path();
  const ChildRun listed = tool("list");
  EXPECT_EQ(listed.status, 0u) << listed.out;
  EXPECT_TRUE(contains(listed.out, "1      4321      " + first)) << listed.out;
  EXPECT_TRUE(contains(listed.out, "2      SN-77     " + second)) << listed.out;

  // Nothing of the simulator came with the tool: it is not there, and nothing opens.
  for (const char* command : {"list --simulate", "send --simulate 0 1"}) {
    const ChildRun refused = tool(command);
    EXPECT_EQ(refused.status, 2u) << command;
    EXPECT_TRUE(contains(refused.out, "prismlux-tool: --simulate needs the simulated interface")) << refused.out;
    EXPECT_FALSE(contains(refused.out, "7001")) << refused.out;
  }
  EXPECT_EQ(presentInterfaces(), 2);
  const ChildRun unopened = tool("send --serial 4321 --seconds 0.2 0 1");
  EXPECT_EQ(unopened.status, 1u) << unopened.out;
  EXPECT_TRUE(contains(unopened.out, "cannot open 4321")) << unopened.out;
}

TEST_F(ToolReleaseZip, SendsAndReadsParametersThroughASimulatedInterfacePlacedBesideIt) {
  placeSimulatedWinUsb();
  devices_.add("USB\\VID_1234&PID_5678\\4321");
  const ChildRun sent = tool("send --scale 255 --serial 4321 --seconds 0.3 0 10 20", kSimulatedWinUsb);
  EXPECT_EQ(sent.status, 0u) << sent.out;
  EXPECT_TRUE(contains(sent.out, "max window: open 4321")) << sent.out;
  EXPECT_TRUE(contains(sent.out, "list in: 0 10 20")) << sent.out;

  const ChildRun params = tool("params --serial 4321 --set 10 0 255", kSimulatedWinUsb);
  EXPECT_EQ(params.status, 0u) << params.out;
  EXPECT_TRUE(contains(params.out, "set: 10 0 255\nparameters: 0 0 0\n")) << params.out;

  // With the simulator beside it, --simulate registers its interface for the run only.
  const ChildRun simulated = tool("send --simulate --scale 255 --seconds 0.3 0 7 8", kSimulatedWinUsb);
  EXPECT_EQ(simulated.status, 0u) << simulated.out;
  EXPECT_TRUE(contains(simulated.out, "max window: open 7001")) << simulated.out;
  EXPECT_TRUE(std::regex_search(simulated.out, std::regex(R"(outlet emitted [1-9][0-9]* list)"))) << simulated.out;
  EXPECT_EQ(presentInterfaces(), 1);
}

}  // namespace
