// The simulated winusb.dll driven through its entry points, the way the product calls them:
// a registered device path opened exclusively for overlapped I/O, WinUSB bound with
// GetProcAddress, manual-reset events, GetOverlappedResult after the event.
#include <gtest/gtest.h>

#include <memory>
#include <numeric>

#include "sim/PacketCodec.h"
#include "sim/SimControl.h"
#include "sim/SimDeviceRegistry.h"
#include "sim/SimWinUsb.h"

using simcodec::Bytes;

namespace {

constexpr DWORD kWait = 3000;  // bound of every wait for a completion that must come

struct WinUsb {
  decltype(&WinUsb_Initialize) initialize;
  decltype(&WinUsb_Free) free;
  decltype(&WinUsb_GetDescriptor) getDescriptor;
  decltype(&WinUsb_QueryPipe) queryPipe;
  decltype(&WinUsb_SetPipePolicy) setPipePolicy;
  decltype(&WinUsb_ReadPipe) readPipe;
  decltype(&WinUsb_WritePipe) writePipe;
  decltype(&WinUsb_ControlTransfer) controlTransfer;
  decltype(&WinUsb_AbortPipe) abortPipe;
};

template <class F>
F entry(HMODULE module, const char* name) {
  return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

WinUsb bindWinUsb() {
  // The import of sim_* functions has loaded our winusb.dll; the product finds it the same way.
  HMODULE m = GetModuleHandleW(L"winusb.dll");
  return {entry<decltype(&WinUsb_Initialize)>(m, "WinUsb_Initialize"),
          entry<decltype(&WinUsb_Free)>(m, "WinUsb_Free"),
          entry<decltype(&WinUsb_GetDescriptor)>(m, "WinUsb_GetDescriptor"),
          entry<decltype(&WinUsb_QueryPipe)>(m, "WinUsb_QueryPipe"),
          entry<decltype(&WinUsb_SetPipePolicy)>(m, "WinUsb_SetPipePolicy"),
          entry<decltype(&WinUsb_ReadPipe)>(m, "WinUsb_ReadPipe"),
          entry<decltype(&WinUsb_WritePipe)>(m, "WinUsb_WritePipe"),
          entry<decltype(&WinUsb_ControlTransfer)>(m, "WinUsb_ControlTransfer"),
          entry<decltype(&WinUsb_AbortPipe)>(m, "WinUsb_AbortPipe")};
}

struct Result {
  bool ok;
  DWORD bytes;
  DWORD error;  // WAIT_TIMEOUT when the event never came
};

// One overlapped record with its manual-reset event.
struct Io {
  Io() { ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr); }
  ~Io() { CloseHandle(ov.hEvent); }
  Io(const Io&) = delete;
  Io& operator=(const Io&) = delete;

  bool signalled(DWORD ms = 0) const { return WaitForSingleObject(ov.hEvent, ms) == WAIT_OBJECT_0; }
  Result finish(HANDLE file, DWORD ms = kWait) {
    if (!signalled(ms)) return {false, 0, WAIT_TIMEOUT};
    DWORD n = 0;
    const BOOL ok = GetOverlappedResult(file, &ov, &n, TRUE);
    return {ok != FALSE, n, ok ? 0 : GetLastError()};
  }

  OVERLAPPED ov{};
  uint8_t buffer[64] = {};
};

Bytes frameOf(size_t n, uint8_t first) {
  Bytes frame(n);
  std::iota(frame.begin(), frame.end(), first);
  return frame;
}

std::unique_ptr<simreg::ScopedDevice> gDevice;

class SimWinUsb : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    simreg::DeviceSpec spec;
    spec.instanceId = "USB\\VID_1234&PID_5678\\SIMUSB1";
    gDevice = std::make_unique<simreg::ScopedDevice>(spec);
  }
  static void TearDownTestSuite() { gDevice.reset(); }

  void SetUp() override {
    ASSERT_TRUE(gDevice->ok());
    path_ = gDevice->path().c_str();
    sim_reset();
    api_ = bindWinUsb();
    ASSERT_NE(api_.abortPipe, nullptr);
    file_ = open(FILE_FLAG_OVERLAPPED);
    ASSERT_NE(file_, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(api_.initialize(file_, &handle_));
  }
  void TearDown() override {
    // A transfer still outstanding here would be completed into a record that is gone.
    const SimCounters c = counters();
    EXPECT_EQ(c.outstandingReads + c.outstandingWrites + c.outstandingControls, 0u);
    if (handle_) api_.free(handle_);
    if (file_ != INVALID_HANDLE_VALUE) CloseHandle(file_);
  }

  HANDLE open(DWORD flags) const {
    const std::wstring wide(gDevice->path().begin(), gDevice->path().end());
    return CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, flags, nullptr);
  }
  void closeDevice() {
    api_.free(handle_);
    handle_ = nullptr;
    CloseHandle(file_);
    file_ = INVALID_HANDLE_VALUE;
  }

  // Starts a read of 64 bytes on the data IN pipe; true when it pends.
  bool startRead(Io& io, UCHAR pipe = 0x81) {
    return !api_.readPipe(handle_, pipe, io.buffer, 64, nullptr, &io.ov) && GetLastError() == ERROR_IO_PENDING;
  }
  BOOL write(Io& io, const Bytes& stream, ULONG* transferred = nullptr) {
    return api_.writePipe(handle_, 0x02, const_cast<uint8_t*>(stream.data()), ULONG(stream.size()), transferred,
                          &io.ov);
  }
  BOOL control(Io& io, WINUSB_SETUP_PACKET setup, uint8_t* data, ULONG length) {
    return api_.controlTransfer(handle_, setup, data, length, nullptr, &io.ov);
  }
  SimCounters counters() const {
    SimCounters c{};
    sim_get_counters(path_, &c);
    return c;
  }
  std::vector<Bytes> decode(std::initializer_list<const Io*> reads, std::initializer_list<DWORD> lengths) {
    simcodec::PacketDecoder decoder;
    auto n = lengths.begin();
    for (const Io* io : reads) decoder.feedPacket(io->buffer, *n++);
    decoder.finish();
    return decoder.takeFrames();
  }

  const char* path_ = nullptr;
  WinUsb api_{};
  HANDLE file_ = INVALID_HANDLE_VALUE;
  WINUSB_INTERFACE_HANDLE handle_ = nullptr;
};

TEST_F(SimWinUsb, InitializeFindsTheDeviceByTheHandlesFileName) {
  EXPECT_EQ(counters().openHandles, 1u);
  std::string upper = gDevice->path();
  for (char& c : upper) c = char(toupper(c));
  SimCounters same{};
  sim_get_counters(upper.c_str(), &same);
  EXPECT_EQ(same.openHandles, 1u);

  closeDevice();
  EXPECT_EQ(counters().openHandles, 0u);
  EXPECT_FALSE(api_.free(reinterpret_cast<WINUSB_INTERFACE_HANDLE>(16)));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));

  // WinUSB needs an overlapped handle.
  HANDLE plain = open(0);
  ASSERT_NE(plain, INVALID_HANDLE_VALUE);
  WINUSB_INTERFACE_HANDLE h = reinterpret_cast<WINUSB_INTERFACE_HANDLE>(1);
  EXPECT_FALSE(api_.initialize(plain, &h));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(h, nullptr);
  CloseHandle(plain);

  // A file that is no device.
  wchar_t self[MAX_PATH];
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  HANDLE other = CreateFileW(self, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  EXPECT_FALSE(api_.initialize(other, &h));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
  CloseHandle(other);

  // An armed failure.
  ASSERT_EQ(sim_fail_next(path_, SIM_OP_INITIALIZE, SIM_FAIL_AT_ONCE, ERROR_GEN_FAILURE), 1);
  file_ = open(FILE_FLAG_OVERLAPPED);
  EXPECT_FALSE(api_.initialize(file_, &h));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_GEN_FAILURE));
  EXPECT_TRUE(api_.initialize(file_, &handle_));
  EXPECT_EQ(sim_calls(SIM_EP_INITIALIZE), 5u);
  EXPECT_EQ(sim_calls(SIM_EP_FREE), 2u);
}

TEST_F(SimWinUsb, PipesDescriptorAndPolicies) {
  // [0x83 type 2, 0x81 type 3, 0x02 type 3], then no more.
  const UCHAR ids[] = {0x83, 0x81, 0x02};
  const int types[] = {2, 3, 3};
  WINUSB_PIPE_INFORMATION info{};
  for (UCHAR i = 0; i < 3; ++i) {
    ASSERT_TRUE(api_.queryPipe(handle_, 0, i, &info)) << int(i);
    EXPECT_EQ(info.PipeId, ids[i]);
    EXPECT_EQ(int(info.PipeType), types[i]);
    EXPECT_EQ(info.MaximumPacketSize, 64);
  }
  EXPECT_FALSE(api_.queryPipe(handle_, 0, 3, &info));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_NO_MORE_ITEMS));

  const SimPipe one[] = {{3, 0x82, 512, 0}};
  ASSERT_EQ(sim_set_pipes(path_, one, 1), 1);
  ASSERT_TRUE(api_.queryPipe(handle_, 0, 0, &info));
  EXPECT_EQ(info.PipeId, 0x82);
  EXPECT_EQ(info.MaximumPacketSize, 512);
  EXPECT_FALSE(api_.queryPipe(handle_, 0, 1, &info));

  UCHAR on = 1;
  EXPECT_TRUE(api_.setPipePolicy(handle_, 0x82, SIM_POLICY_AUTO_FLUSH, 1, &on));
  EXPECT_FALSE(api_.setPipePolicy(handle_, 0x81, SIM_POLICY_AUTO_FLUSH, 1, &on));
  uint8_t value = 0;
  EXPECT_EQ(sim_pipe_policy(path_, 0x82, SIM_POLICY_AUTO_FLUSH, &value, 1), 1);
  EXPECT_EQ(value, 1);
  EXPECT_EQ(sim_pipe_policy(path_, 0x82, SIM_POLICY_AUTO_CLEAR_STALL, &value, 1), -1);

  ASSERT_EQ(sim_set_release(path_, 0x0123), 1);
  uint8_t descriptor[18] = {};
  ULONG n = 0;
  ASSERT_TRUE(api_.getDescriptor(handle_, 1, 0, 0, descriptor, 18, &n));
  EXPECT_EQ(n, 18u);
  // vid 1234, pid 5678, bcdDevice 0123, little-endian from byte 8.
  EXPECT_EQ(Bytes(descriptor + 8, descriptor + 14), (Bytes{0x34, 0x12, 0x78, 0x56, 0x23, 0x01}));
  ASSERT_EQ(sim_fail_next(path_, SIM_OP_DESCRIPTOR, SIM_FAIL_AT_ONCE, ERROR_GEN_FAILURE), 1);
  EXPECT_FALSE(api_.getDescriptor(handle_, 1, 0, 0, descriptor, 18, &n));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_GEN_FAILURE));
}

TEST_F(SimWinUsb, WritesCompleteThroughTheRecordLaterOrAtOnce) {
  const Bytes frame = frameOf(57, 0x10);
  const Bytes stream = simcodec::encodeFrame(frame.data(), frame.size());

  ASSERT_EQ(sim_set_completion(path_, SIM_COMPLETE_LATER, 150), 1);
  Io later;
  SetEvent(later.ov.hEvent);  // a stale signal the start must clear
  const DWORD started = GetTickCount();
  ASSERT_FALSE(write(later, stream));
  ASSERT_EQ(GetLastError(), DWORD(ERROR_IO_PENDING));
  EXPECT_EQ(later.ov.Internal, ULONG_PTR(SIM_STATUS_PENDING));
  EXPECT_FALSE(later.signalled(50));
  EXPECT_EQ(counters().outstandingWrites, 1u);
  const Result r = later.finish(file_);
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.bytes, stream.size());
  EXPECT_GE(GetTickCount() - started, 130u);

  ASSERT_EQ(sim_set_completion(path_, SIM_COMPLETE_AT_ONCE, 0), 1);
  Io now;
  ULONG n = 0;
  ASSERT_TRUE(write(now, {0x00, 0x01, 0x77}, &n));
  EXPECT_EQ(n, 3u);
  EXPECT_TRUE(now.signalled());
  EXPECT_EQ(now.ov.Internal, 0u);

  // Without a record the call is served synchronously.
  n = 0;
  const Bytes one = {0x00, 0x01, 0x55};
  ASSERT_TRUE(api_.writePipe(handle_, 0x02, const_cast<uint8_t*>(one.data()), 3, &n, nullptr));
  EXPECT_EQ(n, 3u);

  // [57-byte frame, 77, 55], each raw transfer kept as written.
  ASSERT_EQ(sim_out_frame_count(path_), 3);
  Bytes got(600);
  ASSERT_EQ(sim_out_frame(path_, 0, got.data(), int(got.size())), 57);
  EXPECT_EQ(Bytes(got.begin(), got.begin() + 57), frame);
  ASSERT_EQ(sim_out_frame(path_, 2, got.data(), 1), 1);
  EXPECT_EQ(got[0], 0x55);
  uint8_t pipe = 0;
  ASSERT_EQ(sim_out_transfer(path_, 0, got.data(), int(got.size()), &pipe), 67);
  EXPECT_EQ(Bytes(got.begin(), got.begin() + 67), stream);
  EXPECT_EQ(pipe, 0x02);
  EXPECT_EQ(counters().writesCompleted, 3u);
  EXPECT_EQ(counters().malformedWrites, 0u);

  // A stream that breaks the format, and a write to an IN pipe.
  Io bad;
  EXPECT_TRUE(write(bad, {0x00, 0x00, 0x42}));
  EXPECT_EQ(counters().malformedWrites, 1u);
  Bytes any = {0x00, 0x01, 0x01};
  EXPECT_FALSE(api_.writePipe(handle_, 0x81, any.data(), 3, nullptr, &bad.ov));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
}

TEST_F(SimWinUsb, WritesWaitForTheLineAndReadsAreStamped) {
  // A line that takes 100 s a frame: the first frame goes on it at once, the next waits.
  ASSERT_EQ(sim_set_completion(path_, SIM_COMPLETE_AT_ONCE, 0), 1);
  ASSERT_EQ(sim_set_out_wire_time(path_, 100000000), 1);
  const Bytes stream = {0x00, 0x01, 0x00, 0x11};
  Io first, second;
  EXPECT_TRUE(write(first, stream));
  EXPECT_FALSE(write(second, stream));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_IO_PENDING));
  EXPECT_FALSE(second.signalled(20));
  EXPECT_EQ(counters().outstandingWrites, 1u);
  EXPECT_EQ(sim_out_frame_count(path_), 2);  // both frames were taken in as written

  // A read is stamped with the performance counter as it completes with data.
  EXPECT_EQ(sim_read_completed_at(path_), 0);
  Io read;
  ASSERT_TRUE(startRead(read));
  LARGE_INTEGER before, after;
  QueryPerformanceCounter(&before);
  const uint8_t one[] = {0x00};
  ASSERT_EQ(sim_inject_frame(path_, one, 1, 0), 1);
  EXPECT_TRUE(read.finish(file_).ok);
  QueryPerformanceCounter(&after);
  EXPECT_GE(sim_read_completed_at(path_), before.QuadPart);
  EXPECT_LE(sim_read_completed_at(path_), after.QuadPart);
  closeDevice();  // cancels the write that waits for the line
  EXPECT_TRUE(second.signalled(kWait));
}

TEST_F(SimWinUsb, ReadsTakeInjectedPacketsInStartOrder) {
  Io reads[4];
  for (Io& io : reads) ASSERT_TRUE(startRead(io));
  EXPECT_EQ(sim_wait_outstanding_reads(path_, 4, kWait), 1);
  EXPECT_EQ(counters().lastReadLength, 64u);

  // A 3-byte frame held open, then a 100-byte frame that begins in its group and spans a
  // second, short packet.
  const Bytes a = frameOf(3, 0xA0), b = frameOf(100, 0);
  ASSERT_EQ(sim_inject_frame(path_, a.data(), 3, SIM_IN_HOLD), 1);
  EXPECT_FALSE(reads[0].signalled(20));
  ASSERT_EQ(sim_inject_frame(path_, b.data(), 100, 0), 1);
  const Result r0 = reads[0].finish(file_), r1 = reads[1].finish(file_);
  ASSERT_TRUE(r0.ok && r1.ok);
  EXPECT_EQ(r0.bytes, 64u);
  EXPECT_EQ(r0.bytes + r1.bytes, 1 + 3 + 100 + 13 + 1);  // headers, data, flags (13 groups)
  EXPECT_EQ(reads[0].buffer[1], 0x09);  // markers of both frames in the first group
  EXPECT_EQ(decode({&reads[0], &reads[1]}, {r0.bytes, r1.bytes}), (std::vector<Bytes>{a, b}));

  // A raw packet goes to the next read as it is; the last read still waits.
  const uint8_t raw[] = {0x00, 0x01, 0x7F};
  ASSERT_EQ(sim_inject_packet(path_, raw, 3), 1);
  const Result r2 = reads[2].finish(file_);
  EXPECT_TRUE(r2.ok);
  EXPECT_EQ(Bytes(reads[2].buffer, reads[2].buffer + r2.bytes), Bytes(raw, raw + 3));
  EXPECT_FALSE(reads[3].signalled(20));

  // Packets that arrive first wait for reads; a read on another IN pipe gets none of them.
  ASSERT_EQ(sim_inject_packet(path_, raw, 3), 1);
  ASSERT_EQ(sim_inject_packet(path_, raw, 0), 1);
  EXPECT_EQ(reads[3].finish(file_).bytes, 3u);
  Io other, zero;
  ASSERT_TRUE(startRead(other, 0x83));
  ASSERT_EQ(sim_set_completion(path_, SIM_COMPLETE_AT_ONCE, 0), 1);
  ULONG n = 99;
  ASSERT_TRUE(api_.readPipe(handle_, 0x81, zero.buffer, 64, &n, &zero.ov));
  EXPECT_EQ(n, 0u);
  EXPECT_FALSE(other.signalled(20));
  EXPECT_EQ(counters().readsCompleted, 5u);

  // A frame that finds packets still waiting for reads is dropped, as a full buffer drops
  // it; once a read has taken them the next one is taken in.
  ASSERT_EQ(sim_inject_packet(path_, raw, 3), 1);
  EXPECT_EQ(sim_inject_frame(path_, a.data(), 3, SIM_IN_DROP_IF_WAITING), 2);
  EXPECT_EQ(counters().inPacketsWaiting, 1u);
  Io taker;
  ASSERT_TRUE(api_.readPipe(handle_, 0x81, taker.buffer, 64, &n, &taker.ov));
  EXPECT_EQ(sim_inject_frame(path_, a.data(), 3, SIM_IN_DROP_IF_WAITING), 1);
  EXPECT_EQ(counters().inPacketsWaiting, 1u);
  closeDevice();
}

TEST_F(SimWinUsb, ReadsCanBeCompletedOutOfTurn) {
  Io first, second;
  ASSERT_TRUE(startRead(first));
  ASSERT_TRUE(startRead(second));
  const uint8_t packet[] = {0x00, 0x01, 0x42};
  ASSERT_EQ(sim_complete_read(path_, 1, packet, 3, SIM_STATUS_SUCCESS), 1);
  EXPECT_EQ(second.finish(file_).bytes, 3u);
  EXPECT_FALSE(first.signalled(20));
  EXPECT_EQ(sim_complete_read(path_, 1, packet, 3, SIM_STATUS_SUCCESS), 0);
  ASSERT_EQ(sim_complete_read(path_, 0, nullptr, 0, SIM_STATUS_UNSUCCESSFUL), 1);
  EXPECT_EQ(first.finish(file_).error, DWORD(ERROR_GEN_FAILURE));
}

TEST_F(SimWinUsb, DelayedReadCompletesAfterItsPacketArrives) {
  ASSERT_EQ(sim_set_completion(path_, SIM_COMPLETE_AT_ONCE, 150), 1);
  Io io;
  ASSERT_TRUE(startRead(io));  // no packet yet: it pends even in this mode
  const uint8_t one[] = {0x33};
  const DWORD injected = GetTickCount();
  ASSERT_EQ(sim_inject_frame(path_, one, 1, 0), 1);
  EXPECT_FALSE(io.signalled(50));
  const Result r = io.finish(file_);
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(Bytes(io.buffer, io.buffer + r.bytes), (Bytes{0x00, 0x01, 0x33}));
  EXPECT_GE(GetTickCount() - injected, 130u);
}

TEST_F(SimWinUsb, ArmedFaultsFailTheChosenTransfers) {
  // OUT: completes with STATUS_UNSUCCESSFUL; the device never takes its frame.
  ASSERT_EQ(sim_fail_next(path_, SIM_OP_WRITE, SIM_FAIL_STATUS, SIM_STATUS_UNSUCCESSFUL), 1);
  ASSERT_EQ(sim_fail_next(path_, SIM_OP_WRITE, SIM_FAIL_AT_ONCE, ERROR_BAD_COMMAND), 1);
  Io w1, w2, w3;
  ASSERT_FALSE(write(w1, {0x00, 0x01, 0x01}));
  ASSERT_EQ(GetLastError(), DWORD(ERROR_IO_PENDING));
  const Result f1 = w1.finish(file_);
  EXPECT_FALSE(f1.ok);
  EXPECT_EQ(f1.error, DWORD(ERROR_GEN_FAILURE));
  EXPECT_FALSE(write(w2, {0x00, 0x01, 0x02}));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_BAD_COMMAND));
  EXPECT_FALSE(write(w3, {0x00, 0x01, 0x03}));
  EXPECT_TRUE(w3.finish(file_).ok);
  EXPECT_EQ(sim_out_transfer_count(path_), 3);
  ASSERT_EQ(sim_out_frame_count(path_), 1);

  // IN: the oldest outstanding read fails at once; with none outstanding, the next one.
  Io r1, r2, r3;
  ASSERT_TRUE(startRead(r1));
  ASSERT_TRUE(startRead(r2));
  ASSERT_EQ(sim_fail_next(path_, SIM_OP_READ, SIM_FAIL_STATUS, SIM_STATUS_DEVICE_NOT_CONNECTED), 1);
  EXPECT_EQ(r1.finish(file_).error, DWORD(ERROR_DEVICE_NOT_CONNECTED));
  EXPECT_FALSE(r2.signalled(20));
  api_.abortPipe(handle_, 0x81);
  EXPECT_EQ(r2.finish(file_).error, DWORD(ERROR_OPERATION_ABORTED));
  ASSERT_EQ(sim_fail_next(path_, SIM_OP_READ, SIM_FAIL_STATUS, SIM_STATUS_UNSUCCESSFUL), 1);
  ASSERT_TRUE(startRead(r3));
  EXPECT_EQ(r3.finish(file_).error, DWORD(ERROR_GEN_FAILURE));

  // Control.
  ASSERT_EQ(sim_fail_next(path_, SIM_OP_CONTROL, SIM_FAIL_STATUS, SIM_STATUS_UNSUCCESSFUL), 1);
  Io c;
  uint8_t reply[6];
  EXPECT_FALSE(control(c, {0xC2, 0x00, 0, 0x81, 6}, reply, 6));
  EXPECT_EQ(c.finish(file_).error, DWORD(ERROR_GEN_FAILURE));
  EXPECT_EQ(counters().failed, 5u);
  EXPECT_EQ(counters().cancelled, 1u);
}

TEST_F(SimWinUsb, UnplugFailsOutstandingAndLaterCalls) {
  ASSERT_EQ(sim_set_completion(path_, SIM_COMPLETE_LATER, 2000), 1);
  Io r1, r2, w;
  ASSERT_TRUE(startRead(r1));
  ASSERT_TRUE(startRead(r2));
  ASSERT_FALSE(write(w, {0x00, 0x01, 0x01}));  // held back by the delay
  ASSERT_EQ(sim_unplug(path_, 0), 1);
  for (Io* io : {&r1, &r2, &w}) EXPECT_EQ(io->finish(file_, 500).error, DWORD(ERROR_GEN_FAILURE));

  Io late;
  EXPECT_FALSE(startRead(late));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_DEVICE_NOT_CONNECTED));
  WINUSB_PIPE_INFORMATION info;
  EXPECT_FALSE(api_.queryPipe(handle_, 0, 0, &info));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_DEVICE_NOT_CONNECTED));
  EXPECT_TRUE(api_.free(handle_));
  handle_ = nullptr;
  EXPECT_FALSE(api_.initialize(file_, &handle_));

  ASSERT_EQ(sim_replug(path_), 1);
  ASSERT_TRUE(api_.initialize(file_, &handle_));
  EXPECT_TRUE(startRead(late));
  closeDevice();
}

TEST_F(SimWinUsb, FreeAndAbortCancelOutstandingTransfers) {
  Io data[3], status;
  for (Io& io : data) ASSERT_TRUE(startRead(io));
  ASSERT_TRUE(startRead(status, 0x83));
  ASSERT_TRUE(api_.abortPipe(handle_, 0x83));
  EXPECT_EQ(status.finish(file_).error, DWORD(ERROR_OPERATION_ABORTED));
  EXPECT_FALSE(data[0].signalled());
  EXPECT_EQ(counters().outstandingReads, 3u);

  ASSERT_TRUE(api_.free(handle_));
  handle_ = nullptr;
  for (Io& io : data) EXPECT_EQ(io.finish(file_).error, DWORD(ERROR_OPERATION_ABORTED));
  const SimCounters c = counters();
  EXPECT_EQ(c.cancelled, 4u);
  EXPECT_EQ(c.outstandingReads, 0u);
  EXPECT_EQ(c.openHandles, 0u);
}

TEST_F(SimWinUsb, LoopbackSendsWrittenFramesBack) {
  ASSERT_EQ(sim_set_loopback(path_, 1), 1);
  Io reads[10];
  for (Io& io : reads) ASSERT_TRUE(startRead(io));
  const Bytes frame = frameOf(513, 0);
  Io w;
  write(w, simcodec::encodeFrame(frame.data(), frame.size()));
  ASSERT_TRUE(w.finish(file_).ok);
  simcodec::PacketDecoder decoder;
  for (Io& io : reads) {
    const Result r = io.finish(file_);
    ASSERT_TRUE(r.ok);
    decoder.feedPacket(io.buffer, r.bytes);
  }
  decoder.finish();
  EXPECT_EQ(decoder.takeFrames(), std::vector<Bytes>{frame});
}

TEST_F(SimWinUsb, VendorRequestsGetAndSetParameters) {
  ASSERT_EQ(sim_set_parameters(path_, 1, 2, 0x0403), 1);
  Io get, set, unknown;
  uint8_t reply[6] = {};
  ASSERT_FALSE(control(get, {0xC2, 0x00, 0, 0x81, 6}, reply, 6));
  const Result g = get.finish(file_);
  ASSERT_TRUE(g.ok);
  EXPECT_EQ(g.bytes, 6u);
  EXPECT_EQ(Bytes(reply, reply + 6), (Bytes{0x01, 0x00, 0x02, 0x00, 0x03, 0x04}));

  uint8_t payload[4] = {1, 2, 3, 0};
  ASSERT_FALSE(control(set, {0x42, 0x03, 0, 0x02, 4}, payload, 4));
  EXPECT_TRUE(set.finish(file_).ok);
  EXPECT_FALSE(control(unknown, {0x40, 0x7F, 0, 0, 0}, nullptr, 0));
  EXPECT_EQ(unknown.finish(file_).error, DWORD(ERROR_GEN_FAILURE));

  ASSERT_EQ(sim_control_count(path_), 3);
  SimSetup setup{};
  uint8_t data[8] = {};
  ASSERT_EQ(sim_control(path_, 1, &setup, data, 8), 4);
  EXPECT_EQ(setup.requestType, 0x42);
  EXPECT_EQ(setup.request, 0x03);
  EXPECT_EQ(setup.index, 0x02);
  EXPECT_EQ(setup.length, 4);
  EXPECT_EQ(Bytes(data, data + 4), (Bytes{1, 2, 3, 0}));
  ASSERT_EQ(sim_control(path_, 0, &setup, data, 8), 0);
  EXPECT_EQ(setup.requestType, 0xC2);
  EXPECT_EQ(sim_control(path_, 3, &setup, data, 8), -1);
}

TEST_F(SimWinUsb, ResetCancelsAndForgetsEverything) {
  Io io;
  ASSERT_TRUE(startRead(io));
  EXPECT_EQ(sim_calls(SIM_EP_READ_PIPE), 1u);
  sim_reset();
  EXPECT_EQ(io.finish(file_).error, DWORD(ERROR_OPERATION_ABORTED));
  EXPECT_EQ(sim_calls(SIM_EP_READ_PIPE), 0u);
  EXPECT_FALSE(startRead(io));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
  EXPECT_EQ(counters().openHandles, 0u);
  handle_ = nullptr;
}

}  // namespace
