#include "sim/Simulator.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "sim/DeviceKey.h"

namespace sim {
namespace {

constexpr uint32_t kStatusPending = SIM_STATUS_PENDING;

// The Win32 error GetOverlappedResult gives for a completion status, for transfers that
// fail before they pend (SIM_COMPLETE_AT_ONCE).
DWORD errorOfStatus(uint32_t status) {
  using Convert = ULONG(WINAPI*)(LONG);
  static const auto convert = reinterpret_cast<Convert>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlNtStatusToDosError")));
  return convert ? convert(static_cast<LONG>(status)) : ERROR_GEN_FAILURE;
}

HANDLE eventOf(const OVERLAPPED* overlapped) {
  // The low bit of hEvent only keeps a completion port from being notified.
  return reinterpret_cast<HANDLE>(reinterpret_cast<ULONG_PTR>(overlapped->hEvent) & ~ULONG_PTR(1));
}

// Completes the record the way the I/O manager does: byte count first, then the status
// that GetOverlappedResult tests, then the event.
void writeRecord(OVERLAPPED* overlapped, HANDLE event, uint32_t status, ULONG bytes) {
  overlapped->InternalHigh = bytes;
  MemoryBarrier();
  *static_cast<volatile ULONG_PTR*>(&overlapped->Internal) = status;
  MemoryBarrier();
  if (event) SetEvent(event);
}

WINUSB_INTERFACE_HANDLE handleOfId(uint32_t id) {
  return reinterpret_cast<WINUSB_INTERFACE_HANDLE>(static_cast<uintptr_t>(id) << 4);
}

// The simulator's clock: microseconds from QueryPerformanceCounter, and the counter itself.
int64_t performanceCounter() {
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return now.QuadPart;
}

int64_t nowUs() {
  static const int64_t frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return f.QuadPart;
  }();
  const int64_t counter = performanceCounter();
  return counter / frequency * 1000000 + counter % frequency * 1000000 / frequency;
}

uint32_t* completedCounter(SimCounters& counters, int op) {
  switch (op) {
    case SIM_OP_READ: return &counters.readsCompleted;
    case SIM_OP_WRITE: return &counters.writesCompleted;
    default: return &counters.controlsCompleted;
  }
}

}  // namespace

Simulator& Simulator::instance() {
  // Never destroyed: the completion thread may still run while the process ends.
  static Simulator* simulator = new Simulator();
  return *simulator;
}

Simulator::Simulator() : defaults_(DeviceConfig::builtIn()) {}

// ---- devices and handles ----------------------------------------------------------------

Device& Simulator::obtain(const std::string& key) {
  std::unique_ptr<Device>& slot = devices_[key];
  if (!slot) slot = std::make_unique<Device>(key, defaults_);
  return *slot;
}

Device& Simulator::obtain(const char* path) { return obtain(deviceKeyFromPath(path)); }

Device* Simulator::find(const char* path) {
  auto it = devices_.find(deviceKeyFromPath(path));
  return it == devices_.end() ? nullptr : it->second.get();
}

Simulator::Interface* Simulator::findInterface(WINUSB_INTERFACE_HANDLE handle, uint32_t* id) {
  const uintptr_t value = reinterpret_cast<uintptr_t>(handle);
  if (value == 0 || (value & 15) != 0) return nullptr;
  auto it = interfaces_.find(static_cast<uint32_t>(value >> 4));
  if (it == interfaces_.end()) return nullptr;
  if (id) *id = it->first;
  return &it->second;
}

// ---- entry points -----------------------------------------------------------------------

BOOL Simulator::initialize(HANDLE file, PWINUSB_INTERFACE_HANDLE handle) {
  std::string key;
  DWORD error = ERROR_SUCCESS;
  const bool known = file && file != INVALID_HANDLE_VALUE && deviceKeyFromHandle(file, &key);
  const bool overlapped = known && isOverlappedHandle(file);
  {
    Lock lock(lock_);
    ++calls_[SIM_EP_INITIALIZE];
    if (handle) *handle = nullptr;
    if (!handle) {
      error = ERROR_INVALID_PARAMETER;
    } else if (!known) {
      error = ERROR_INVALID_HANDLE;
    } else if (!overlapped) {
      error = ERROR_INVALID_PARAMETER;  // WinUSB works on overlapped handles only
    } else {
      Device& device = obtain(key);
      std::optional<Fault> fault = device.takeFault(SIM_OP_INITIALIZE);
      if (device.unplugged) {
        error = ERROR_DEVICE_NOT_CONNECTED;
      } else if (fault) {
        error = fault->code;
      } else {
        const uint32_t id = nextInterfaceId_++;
        interfaces_[id] = Interface{&device};
        *handle = handleOfId(id);
      }
    }
  }
  if (error != ERROR_SUCCESS) SetLastError(error);
  return error == ERROR_SUCCESS;
}

BOOL Simulator::free(WINUSB_INTERFACE_HANDLE handle) {
  {
    Lock lock(lock_);
    ++calls_[SIM_EP_FREE];
    uint32_t id = 0;
    if (findInterface(handle, &id)) {
      completeAll([id](const Transfer& t) { return t.interfaceId == id; }, SIM_STATUS_CANCELLED);
      interfaces_.erase(id);
      return TRUE;
    }
  }
  SetLastError(ERROR_INVALID_HANDLE);
  return FALSE;
}

BOOL Simulator::getDescriptor(WINUSB_INTERFACE_HANDLE handle, UCHAR type, UCHAR index, USHORT language,
                              PUCHAR buffer, ULONG length, PULONG transferred) {
  DWORD error = ERROR_SUCCESS;
  {
    Lock lock(lock_);
    ++calls_[SIM_EP_GET_DESCRIPTOR];
    Interface* itf = findInterface(handle, nullptr);
    std::optional<Fault> fault = itf ? itf->device->takeFault(SIM_OP_DESCRIPTOR) : std::nullopt;
    if (!itf) {
      error = ERROR_INVALID_HANDLE;
    } else if (itf->device->unplugged) {
      error = ERROR_DEVICE_NOT_CONNECTED;
    } else if (fault) {
      error = fault->code;
    } else if (!transferred || (!buffer && length)) {
      error = ERROR_INVALID_PARAMETER;
    } else if (type != 1 || index != 0) {
      error = ERROR_GEN_FAILURE;  // the device stalls what it does not have
    } else {
      const Device& d = *itf->device;
      const uint8_t descriptor[18] = {18, 1, 0x00, 0x02, 0, 0, 0, 64,
                                      uint8_t(d.vendor), uint8_t(d.vendor >> 8),
                                      uint8_t(d.product), uint8_t(d.product >> 8),
                                      uint8_t(d.config.release), uint8_t(d.config.release >> 8),
                                      1, 2, 3, 1};
      const ULONG n = std::min<ULONG>(length, sizeof descriptor);
      if (n) std::memcpy(buffer, descriptor, n);
      *transferred = n;
    }
  }
  if (error != ERROR_SUCCESS) SetLastError(error);
  return error == ERROR_SUCCESS;
}

BOOL Simulator::queryPipe(WINUSB_INTERFACE_HANDLE handle, UCHAR alternate, UCHAR index,
                          PWINUSB_PIPE_INFORMATION info) {
  DWORD error = ERROR_SUCCESS;
  {
    Lock lock(lock_);
    ++calls_[SIM_EP_QUERY_PIPE];
    Interface* itf = findInterface(handle, nullptr);
    std::optional<Fault> fault = itf ? itf->device->takeFault(SIM_OP_QUERY_PIPE) : std::nullopt;
    if (!itf) {
      error = ERROR_INVALID_HANDLE;
    } else if (itf->device->unplugged) {
      error = ERROR_DEVICE_NOT_CONNECTED;
    } else if (fault) {
      error = fault->code;
    } else if (!info) {
      error = ERROR_INVALID_PARAMETER;
    } else if (alternate != 0 || index >= itf->device->config.pipes.size()) {
      error = ERROR_NO_MORE_ITEMS;
    } else {
      const SimPipe& pipe = itf->device->config.pipes[index];
      info->PipeType = static_cast<USBD_PIPE_TYPE>(pipe.pipeType);
      info->PipeId = pipe.pipeId;
      info->MaximumPacketSize = pipe.maximumPacketSize;
      info->Interval = pipe.interval;
    }
  }
  if (error != ERROR_SUCCESS) SetLastError(error);
  return error == ERROR_SUCCESS;
}

BOOL Simulator::setPipePolicy(WINUSB_INTERFACE_HANDLE handle, UCHAR pipe, ULONG policy, ULONG length,
                              PVOID value) {
  DWORD error = ERROR_SUCCESS;
  {
    Lock lock(lock_);
    ++calls_[SIM_EP_SET_PIPE_POLICY];
    Interface* itf = findInterface(handle, nullptr);
    if (!itf) {
      error = ERROR_INVALID_HANDLE;
    } else if (itf->device->unplugged) {
      error = ERROR_DEVICE_NOT_CONNECTED;
    } else if (!itf->device->findPipe(pipe) || (!value && length)) {
      error = ERROR_INVALID_PARAMETER;
    } else {
      const auto* bytes = static_cast<const uint8_t*>(value);
      itf->device->policies[{pipe, policy}] = Bytes(bytes, bytes + length);
    }
  }
  if (error != ERROR_SUCCESS) SetLastError(error);
  return error == ERROR_SUCCESS;
}

BOOL Simulator::readPipe(WINUSB_INTERFACE_HANDLE handle, UCHAR pipe, PUCHAR buffer, ULONG length,
                         PULONG transferred, LPOVERLAPPED overlapped) {
  return startTransfer({SIM_OP_READ, handle, pipe, buffer, length, transferred, overlapped, nullptr});
}

BOOL Simulator::writePipe(WINUSB_INTERFACE_HANDLE handle, UCHAR pipe, PUCHAR buffer, ULONG length,
                          PULONG transferred, LPOVERLAPPED overlapped) {
  return startTransfer({SIM_OP_WRITE, handle, pipe, buffer, length, transferred, overlapped, nullptr});
}

BOOL Simulator::controlTransfer(WINUSB_INTERFACE_HANDLE handle, const WINUSB_SETUP_PACKET& setup,
                                PUCHAR buffer, ULONG length, PULONG transferred, LPOVERLAPPED overlapped) {
  return startTransfer({SIM_OP_CONTROL, handle, 0, buffer, length, transferred, overlapped, &setup});
}

BOOL Simulator::abortPipe(WINUSB_INTERFACE_HANDLE handle, UCHAR pipe) {
  DWORD error = ERROR_SUCCESS;
  {
    Lock lock(lock_);
    ++calls_[SIM_EP_ABORT_PIPE];
    uint32_t id = 0;
    Interface* itf = findInterface(handle, &id);
    if (!itf) {
      error = ERROR_INVALID_HANDLE;
    } else if (itf->device->unplugged) {
      error = ERROR_DEVICE_NOT_CONNECTED;
    } else if (!itf->device->findPipe(pipe)) {
      error = ERROR_INVALID_PARAMETER;
    } else {
      completeAll([id, pipe](const Transfer& t) { return t.interfaceId == id && t.op != SIM_OP_CONTROL && t.pipe == pipe; },
                  SIM_STATUS_CANCELLED);
    }
  }
  if (error != ERROR_SUCCESS) SetLastError(error);
  return error == ERROR_SUCCESS;
}

// ---- transfers ----------------------------------------------------------------------------

BOOL Simulator::startTransfer(const Start& start) {
  if (!start.overlapped) return startSynchronously(start);
  BOOL done = FALSE;
  DWORD error;
  {
    Lock lock(lock_);
    // The caller saw the status of the record's last transfer before its event was set.
    while (std::find(landing_.begin(), landing_.end(), start.overlapped) != landing_.end())
      SleepConditionVariableSRW(&landed_, &lock_, INFINITE, 0);
    error = startLocked(start, &done);
  }
  if (!done) SetLastError(error);
  return done;
}

BOOL Simulator::startSynchronously(const Start& start) {
  OVERLAPPED overlapped{};
  overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (!overlapped.hEvent) return FALSE;
  Start async = start;
  async.overlapped = &overlapped;
  BOOL done = startTransfer(async);
  if (!done && GetLastError() == ERROR_IO_PENDING) {
    DWORD bytes = 0;
    done = GetOverlappedResult(nullptr, &overlapped, &bytes, TRUE);
    if (start.transferred) *start.transferred = bytes;
  }
  const DWORD error = GetLastError();
  CloseHandle(overlapped.hEvent);
  SetLastError(error);
  return done;
}

DWORD Simulator::startLocked(const Start& start, BOOL* done) {
  const int entryPoint = start.op == SIM_OP_READ    ? SIM_EP_READ_PIPE
                         : start.op == SIM_OP_WRITE ? SIM_EP_WRITE_PIPE
                                                    : SIM_EP_CONTROL_TRANSFER;
  ++calls_[entryPoint];
  uint32_t id = 0;
  Interface* itf = findInterface(start.handle, &id);
  if (!itf) return ERROR_INVALID_HANDLE;
  Device& device = *itf->device;
  if (start.transferred) *start.transferred = 0;
  if (device.unplugged) return ERROR_DEVICE_NOT_CONNECTED;
  if (start.op != SIM_OP_CONTROL) {
    const bool in = (start.pipe & 0x80) != 0;
    if (!device.findPipe(start.pipe) || in != (start.op == SIM_OP_READ)) return ERROR_INVALID_PARAMETER;
  }
  if (!start.buffer && start.length) return ERROR_NOACCESS;
  if (start.op == SIM_OP_READ) device.counters.lastReadLength = start.length;

  std::optional<Fault> fault = device.takeFault(start.op);
  if (fault && fault->how == SIM_FAIL_AT_ONCE) {
    if (start.op == SIM_OP_WRITE)
      appendCapped(device.outTransfers, {start.pipe, Bytes(start.buffer, start.buffer + start.length)});
    ++device.counters.failed;
    return fault->code;
  }
  const Outcome outcome = perform(device, start, fault);

  // A frame for the line waits until the line is free for it.
  int64_t lineDueUs = -1;
  if (start.op == SIM_OP_WRITE && device.config.outWireUs > 0 && outcome.ready && !fault &&
      outcome.status == SIM_STATUS_SUCCESS) {
    const int64_t now = nowUs();
    if (device.lineFreeUs != 0) appendCapped(device.lineGapsUs, std::max<int64_t>(0, now - device.lineFreeUs));
    const int64_t lineFree = std::max(now, device.lineFreeUs);
    device.lineFreeUs = lineFree + device.config.outWireUs;
    if (lineFree > now) lineDueUs = lineFree;
  }

  if (outcome.ready && !fault && lineDueUs < 0 && device.config.completionMode == SIM_COMPLETE_AT_ONCE) {
    if (outcome.status != SIM_STATUS_SUCCESS) {
      ++device.counters.failed;
      return errorOfStatus(outcome.status);
    }
    ++*completedCounter(device.counters, start.op);
    if (start.op == SIM_OP_READ) device.readCompletedAt = performanceCounter();
    writeRecord(start.overlapped, eventOf(start.overlapped), SIM_STATUS_SUCCESS, outcome.bytes);
    if (start.transferred) *start.transferred = outcome.bytes;
    *done = TRUE;
    return ERROR_SUCCESS;
  }

  // Pending, as a driver leaves it: event reset (unless this device keeps it), status
  // STATUS_PENDING.
  const HANDLE event = eventOf(start.overlapped);
  if (event && device.config.completionMode != SIM_COMPLETE_LATER_KEEPING_EVENT) ResetEvent(event);
  start.overlapped->InternalHigh = 0;
  start.overlapped->Internal = kStatusPending;
  outstanding_.push_back(Transfer{nextSeq_++, id, &device, start.op, start.pipe, start.overlapped, event,
                                  start.buffer, start.length, false, 0, 0, 0});
  if (outcome.ready) schedule(std::prev(outstanding_.end()), outcome.status, outcome.bytes, lineDueUs);
  return ERROR_IO_PENDING;
}

Simulator::Outcome Simulator::perform(Device& device, const Start& start, const std::optional<Fault>& fault) {
  const bool failing = fault.has_value();
  switch (start.op) {
    case SIM_OP_WRITE:
      writeFrames(device, start, failing);
      break;
    case SIM_OP_CONTROL: {
      const WINUSB_SETUP_PACKET& s = *start.setup;
      ControlRecord record{{s.RequestType, s.Request, s.Value, s.Index, s.Length}, {}};
      if (!(s.RequestType & 0x80) && start.buffer)
        record.data.assign(start.buffer, start.buffer + std::min<ULONG>(start.length, s.Length));
      appendCapped(device.controls, std::move(record));
      if (!failing) return answerControl(device, start);
      break;
    }
    case SIM_OP_READ:
      if (failing) break;
      if (start.pipe != device.dataInPipe() || device.inPackets.empty()) return {false, 0, 0};
      {
        const Bytes packet = std::move(device.inPackets.front());
        device.inPackets.pop_front();
        const ULONG n = std::min<ULONG>(start.length, static_cast<ULONG>(packet.size()));
        if (n) std::memcpy(start.buffer, packet.data(), n);
        return {true, SIM_STATUS_SUCCESS, n};
      }
  }
  if (failing) return {true, fault->code, 0};
  return {true, SIM_STATUS_SUCCESS, start.length};
}

void Simulator::writeFrames(Device& device, const Start& start, bool failing) {
  appendCapped(device.outTransfers, {start.pipe, Bytes(start.buffer, start.buffer + start.length)});
  if (failing) return;  // the device never got the data
  std::vector<Bytes> frames;
  if (!simcodec::decodeTransfer(start.buffer, start.length, frames)) ++device.counters.malformedWrites;
  for (Bytes& frame : frames) {
    if (device.config.loopback) device.inEncoder.appendFrame(frame.data(), frame.size());
    appendCapped(device.outFrames, std::move(frame));
  }
  if (device.config.loopback && !frames.empty()) {
    device.inEncoder.endPacket();
    device.collectEncodedPackets();
    serviceReads(device);
  }
}

Simulator::Outcome Simulator::answerControl(Device& device, const Start& start) {
  const WINUSB_SETUP_PACKET& s = *start.setup;
  if (s.RequestType == 0xC2 && s.Request == 0x00) {
    const uint16_t* values = device.config.parameters;
    const uint8_t reply[6] = {uint8_t(values[0]), uint8_t(values[0] >> 8), uint8_t(values[1]),
                              uint8_t(values[1] >> 8), uint8_t(values[2]), uint8_t(values[2] >> 8)};
    const ULONG n = std::min<ULONG>({start.length, s.Length, ULONG(sizeof reply)});
    if (n) std::memcpy(start.buffer, reply, n);
    return {true, SIM_STATUS_SUCCESS, n};
  }
  if (s.RequestType == 0x42 && s.Request == 0x03)
    return {true, SIM_STATUS_SUCCESS, std::min<ULONG>(start.length, s.Length)};
  return {true, SIM_STATUS_UNSUCCESSFUL, 0};  // a request the device does not know: stall
}

void Simulator::schedule(std::list<Transfer>::iterator transfer, uint32_t status, ULONG bytes, int64_t dueUs) {
  transfer->scheduled = true;
  transfer->status = status;
  transfer->bytes = bytes;
  transfer->dueUs = dueUs >= 0 ? dueUs : nowUs() + int64_t(transfer->device->config.delayMs) * 1000;
  // The completion thread looks at these only, not at every read still waiting for data.
  scheduled_.splice(scheduled_.end(), outstanding_, transfer);
  startThread();
  // One wake-up serves every transfer due by then (a frame's reads are scheduled together).
  if (transfer->dueUs < wakeAtUs_) {
    wakeAtUs_ = transfer->dueUs;
    SetEvent(wake_);
  }
}

void Simulator::serviceReads(Device& device) {
  const uint8_t pipe = device.dataInPipe();
  for (auto it = outstanding_.begin(); it != outstanding_.end() && !device.inPackets.empty();) {
    Transfer& t = *it;
    const auto read = it++;  // scheduling moves it to the scheduled list
    if (t.device != &device || t.op != SIM_OP_READ || t.scheduled || t.pipe != pipe) continue;
    const Bytes packet = std::move(device.inPackets.front());
    device.inPackets.pop_front();
    const ULONG n = std::min<ULONG>(t.length, static_cast<ULONG>(packet.size()));
    if (n) std::memcpy(t.buffer, packet.data(), n);
    schedule(read, SIM_STATUS_SUCCESS, n);
  }
}

void Simulator::countOutcome(const Transfer& transfer, uint32_t status) {
  SimCounters& counters = transfer.device->counters;
  if (status == SIM_STATUS_SUCCESS) ++*completedCounter(counters, transfer.op);
  else if (status == SIM_STATUS_CANCELLED) ++counters.cancelled;
  else ++counters.failed;
  if (status == SIM_STATUS_SUCCESS && transfer.op == SIM_OP_READ) transfer.device->readCompletedAt = performanceCounter();
}

std::list<Simulator::Transfer>::iterator Simulator::complete(std::list<Transfer>::iterator it, uint32_t status,
                                                             ULONG bytes) {
  countOutcome(*it, status);
  writeRecord(it->overlapped, it->event, status, bytes);
  return (it->scheduled ? scheduled_ : outstanding_).erase(it);
}

Simulator::Landing Simulator::takeForLanding(std::list<Transfer>::iterator it) {
  countOutcome(*it, it->status);
  const Landing landing{it->overlapped, it->event, it->status, it->bytes};
  landing_.push_back(it->overlapped);
  scheduled_.erase(it);
  return landing;
}

template <class Match>
void Simulator::completeAll(Match match, uint32_t status) {
  for (std::list<Transfer>* list : {&outstanding_, &scheduled_}) {
    for (auto it = list->begin(); it != list->end();) it = match(*it) ? complete(it, status, 0) : std::next(it);
  }
}

// ---- completion thread ----------------------------------------------------------------------

void Simulator::startThread() {
  if (thread_) return;
  // The thread outlives any FreeLibrary of this module: keep the module loaded for good.
  HMODULE self = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                     reinterpret_cast<LPCWSTR>(&Simulator::threadMain), &self);
  wake_ = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  thread_ = CreateThread(nullptr, 0, &Simulator::threadMain, this, 0, nullptr);
}

DWORD WINAPI Simulator::threadMain(void* self) {
  static_cast<Simulator*>(self)->runCompletions();
  return 0;
}

void Simulator::runCompletions() {
  std::vector<Landing> landings;
  for (;;) {
    DWORD wait = INFINITE;
    {
      Lock lock(lock_);
      const int64_t now = nowUs();
      // The due ones complete in start order.
      std::vector<std::list<Transfer>::iterator> due;
      for (auto it = scheduled_.begin(); it != scheduled_.end(); ++it) {
        if (it->dueUs <= now) {
          due.push_back(it);
          continue;
        }
        // Whole milliseconds, rounded up: a wake-up before the due time would only wait again.
        wait = std::min<DWORD>(wait, static_cast<DWORD>((it->dueUs - now + 999) / 1000));
      }
      std::sort(due.begin(), due.end(), [](auto a, auto b) { return a->seq < b->seq; });
      for (auto it : due) landings.push_back(takeForLanding(it));
      wakeAtUs_ = wait == INFINITE ? INT64_MAX : now + int64_t(wait) * 1000;
    }
    // Each record's event is set by a call to the Wine server: written outside the lock, so
    // that the starts of other transfers need not wait behind a whole batch of them.
    if (!landings.empty()) {
      for (const Landing& landing : landings) writeRecord(landing.overlapped, landing.event, landing.status, landing.bytes);
      landings.clear();
      Lock lock(lock_);
      landing_.clear();
      WakeAllConditionVariable(&landed_);
    }
    WaitForSingleObject(wake_, wait);
  }
}

// ---- control ----------------------------------------------------------------------------------

void Simulator::reset() {
  Lock lock(lock_);
  completeAll([](const Transfer&) { return true; }, SIM_STATUS_CANCELLED);
  interfaces_.clear();
  devices_.clear();
  defaults_ = DeviceConfig::builtIn();
  std::fill(std::begin(calls_), std::end(calls_), 0u);
}

uint32_t Simulator::calls(int entryPoint) {
  Lock lock(lock_);
  return entryPoint >= 0 && entryPoint < SIM_EP_COUNT ? calls_[entryPoint] : 0;
}

int Simulator::failNext(const char* path, int op, int how, uint32_t code) {
  if (!path || op < 0 || op >= SIM_OP_COUNT || (how != SIM_FAIL_AT_ONCE && how != SIM_FAIL_STATUS)) return 0;
  const bool transfer = op == SIM_OP_WRITE || op == SIM_OP_READ || op == SIM_OP_CONTROL;
  if (how == SIM_FAIL_STATUS && !transfer) return 0;
  Lock lock(lock_);
  Device& device = obtain(path);
  if (op == SIM_OP_READ && how == SIM_FAIL_STATUS) {
    for (auto it = outstanding_.begin(); it != outstanding_.end(); ++it) {
      if (it->device == &device && it->op == SIM_OP_READ && !it->scheduled) {
        complete(it, code, 0);
        return 1;
      }
    }
  }
  device.faults[op].push_back({how, code});
  return 1;
}

int Simulator::unplug(const char* path, uint32_t status) {
  if (!path) return 0;
  Lock lock(lock_);
  Device* device = &obtain(path);
  device->unplugged = true;
  completeAll([device](const Transfer& t) { return t.device == device; },
              status ? status : SIM_STATUS_UNSUCCESSFUL);
  return 1;
}

int Simulator::injectFrame(const char* path, const uint8_t* frame, int length, uint32_t flags) {
  if (!path || !frame || length < 1 || length > 4096) return 0;
  Lock lock(lock_);
  Device& device = obtain(path);
  if ((flags & SIM_IN_DROP_IF_WAITING) && !device.inPackets.empty()) return 2;
  device.inEncoder.appendFrame(frame, static_cast<size_t>(length));
  if (!(flags & SIM_IN_HOLD)) device.inEncoder.endPacket();
  device.collectEncodedPackets();
  serviceReads(device);
  return 1;
}

int Simulator::injectPacket(const char* path, const uint8_t* packet, int length) {
  if (!path || length < 0 || length > static_cast<int>(simcodec::kPacketSize) || (!packet && length)) return 0;
  Lock lock(lock_);
  Device& device = obtain(path);
  device.inEncoder.endPacket();
  device.collectEncodedPackets();
  device.inPackets.emplace_back(packet, packet + length);
  serviceReads(device);
  return 1;
}

int Simulator::flushIn(const char* path) {
  if (!path) return 0;
  Lock lock(lock_);
  Device& device = obtain(path);
  device.inEncoder.endPacket();
  device.collectEncodedPackets();
  serviceReads(device);
  return 1;
}

int Simulator::completeRead(const char* path, int index, const uint8_t* packet, int length, uint32_t status) {
  if (!path || index < 0 || length < 0 || length > static_cast<int>(simcodec::kPacketSize) || (!packet && length))
    return 0;
  Lock lock(lock_);
  Device& device = obtain(path);
  for (auto it = outstanding_.begin(); it != outstanding_.end(); ++it) {
    if (it->device != &device || it->op != SIM_OP_READ || it->scheduled || index-- > 0) continue;
    ULONG n = 0;
    if (status == SIM_STATUS_SUCCESS) {
      n = std::min<ULONG>(it->length, static_cast<ULONG>(length));
      if (n) std::memcpy(it->buffer, packet, n);
    }
    complete(it, status, n);
    return 1;
  }
  return 0;
}

int Simulator::counters(const char* path, SimCounters* out) {
  if (!out) return 0;
  Lock lock(lock_);
  *out = SimCounters{};
  const Device* device = find(path);
  if (!device) return 1;
  *out = device->counters;
  for (const auto& entry : interfaces_)
    if (entry.second.device == device) ++out->openHandles;
  for (const std::list<Transfer>* list : {&outstanding_, &scheduled_}) {
    for (const Transfer& t : *list) {
      if (t.device != device) continue;
      if (t.op == SIM_OP_READ) {
        ++out->outstandingReads;
        if (t.scheduled) ++out->readsCompleting;
      }
      else if (t.op == SIM_OP_WRITE) ++out->outstandingWrites;
      else ++out->outstandingControls;
    }
  }
  out->inPacketsWaiting = static_cast<uint32_t>(device->inPackets.size());
  return 1;
}

}  // namespace sim
