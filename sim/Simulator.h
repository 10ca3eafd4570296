// The simulated WinUSB stack: devices by key, interface handles, outstanding transfers and
// the thread that completes them later, as a driver would.
//
// One process-wide instance (never destroyed: the completion thread may run until the
// process ends). Every public member takes the one lock; none calls out of the simulator
// while holding it except to write OVERLAPPED records and set their events. Entry-point
// members return BOOL and leave the error in GetLastError, as WinUSB does.
#pragma once

#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <string>

#include "sim/SimDevice.h"
#include "sim/SimWinUsb.h"

namespace sim {

class Simulator {
public:
  static Simulator& instance();

  Simulator(const Simulator&) = delete;
  Simulator& operator=(const Simulator&) = delete;

  // ---- WinUSB entry points ----
  BOOL initialize(HANDLE file, PWINUSB_INTERFACE_HANDLE handle);
  BOOL free(WINUSB_INTERFACE_HANDLE handle);
  BOOL getDescriptor(WINUSB_INTERFACE_HANDLE handle, UCHAR type, UCHAR index, USHORT language,
                     PUCHAR buffer, ULONG length, PULONG transferred);
  BOOL queryPipe(WINUSB_INTERFACE_HANDLE handle, UCHAR alternate, UCHAR index, PWINUSB_PIPE_INFORMATION info);
  BOOL setPipePolicy(WINUSB_INTERFACE_HANDLE handle, UCHAR pipe, ULONG policy, ULONG length, PVOID value);
  BOOL readPipe(WINUSB_INTERFACE_HANDLE handle, UCHAR pipe, PUCHAR buffer, ULONG length, PULONG transferred,
                LPOVERLAPPED overlapped);
  BOOL writePipe(WINUSB_INTERFACE_HANDLE handle, UCHAR pipe, PUCHAR buffer, ULONG length, PULONG transferred,
                 LPOVERLAPPED overlapped);
  BOOL controlTransfer(WINUSB_INTERFACE_HANDLE handle, const WINUSB_SETUP_PACKET& setup, PUCHAR buffer,
                       ULONG length, PULONG transferred, LPOVERLAPPED overlapped);
  BOOL abortPipe(WINUSB_INTERFACE_HANDLE handle, UCHAR pipe);

  // ---- control ----
  void reset();
  uint32_t calls(int entryPoint);

  // Runs f(DeviceConfig&) on the named device's settings, or on the defaults for a null
  // path, under the lock.
  template <class F>
  int withConfig(const char* path, F f);
  // Runs f(Device&) on the named device, creating it when unknown, under the lock.
  template <class F>
  int withDevice(const char* path, F f);
  // Runs f(const Device*) (null when unknown) under the lock, without creating it.
  template <class F>
  auto inspect(const char* path, F f);

  int failNext(const char* path, int op, int how, uint32_t code);
  int unplug(const char* path, uint32_t status);
  int injectFrame(const char* path, const uint8_t* frame, int length, uint32_t flags);
  int injectPacket(const char* path, const uint8_t* packet, int length);
  int flushIn(const char* path);
  int completeRead(const char* path, int index, const uint8_t* packet, int length, uint32_t status);
  int counters(const char* path, SimCounters* out);

private:
  struct Interface {
    Device* device;
  };
  struct Transfer {
    uint64_t seq;
    uint32_t interfaceId;
    Device* device;
    int op;  // SIM_OP_READ, SIM_OP_WRITE, SIM_OP_CONTROL
    uint8_t pipe;
    OVERLAPPED* overlapped;
    HANDLE event;
    uint8_t* buffer;
    ULONG length;
    bool scheduled;  // outcome known, completes at `dueUs`; else a read waiting for data
    int64_t dueUs;
    uint32_t status;
    ULONG bytes;
  };
  struct Start {
    int op;
    WINUSB_INTERFACE_HANDLE handle;
    uint8_t pipe;
    uint8_t* buffer;
    ULONG length;
    PULONG transferred;
    OVERLAPPED* overlapped;
    const WINUSB_SETUP_PACKET* setup;
  };
  struct Outcome {
    bool ready;
    uint32_t status;
    ULONG bytes;
  };
  class Lock;

  Simulator();

  BOOL startTransfer(const Start& start);
  BOOL startSynchronously(const Start& start);
  DWORD startLocked(const Start& start, BOOL* done);
  Outcome perform(Device& device, const Start& start, const std::optional<Fault>& fault);
  void writeFrames(Device& device, const Start& start, bool failing);
  Outcome answerControl(Device& device, const Start& start);

  Interface* findInterface(WINUSB_INTERFACE_HANDLE handle, uint32_t* id);
  Device& obtain(const std::string& key);
  Device* find(const char* path);
  Device& obtain(const char* path);

  // Completes the transfer with this outcome `delayMs` from now, or at `dueUs` when given;
  // it moves from outstanding_ to scheduled_.
  void schedule(std::list<Transfer>::iterator transfer, uint32_t status, ULONG bytes, int64_t dueUs = -1);
  void serviceReads(Device& device);
  std::list<Transfer>::iterator complete(std::list<Transfer>::iterator it, uint32_t status, ULONG bytes);
  // A transfer taken off the lists whose record is written outside the lock.
  struct Landing {
    OVERLAPPED* overlapped;
    HANDLE event;
    uint32_t status;
    ULONG bytes;
  };
  Landing takeForLanding(std::list<Transfer>::iterator it);
  // Lock held: counts the outcome of a transfer that ends now.
  void countOutcome(const Transfer& transfer, uint32_t status);
  template <class Match>
  void completeAll(Match match, uint32_t status);

  void startThread();
  static DWORD WINAPI threadMain(void* self);
  void runCompletions();

  SRWLOCK lock_ = SRWLOCK_INIT;
  std::map<std::string, std::unique_ptr<Device>> devices_;
  std::map<uint32_t, Interface> interfaces_;
  std::list<Transfer> outstanding_;  // in start order, outcome not known yet
  std::list<Transfer> scheduled_;    // outcome known, waiting for the completion thread
  DeviceConfig defaults_;
  uint32_t calls_[SIM_EP_COUNT] = {};
  uint32_t nextInterfaceId_ = 1;
  uint64_t nextSeq_ = 1;
  HANDLE wake_ = nullptr;
  // Records the completion thread is writing outside the lock; a start on one of them waits
  // until it is written (a caller may see the status before the event is set).
  std::vector<OVERLAPPED*> landing_;
  CONDITION_VARIABLE landed_ = CONDITION_VARIABLE_INIT;
  // When the completion thread looks next, on its own (INT64_MAX: only when woken).
  int64_t wakeAtUs_ = INT64_MAX;
  HANDLE thread_ = nullptr;
};

class Simulator::Lock {
public:
  explicit Lock(SRWLOCK& lock) : lock_(lock) { AcquireSRWLockExclusive(&lock_); }
  ~Lock() { ReleaseSRWLockExclusive(&lock_); }
  Lock(const Lock&) = delete;
  Lock& operator=(const Lock&) = delete;

private:
  SRWLOCK& lock_;
};

template <class F>
int Simulator::withConfig(const char* path, F f) {
  Lock lock(lock_);
  return f(path ? obtain(path).config : defaults_);
}

template <class F>
int Simulator::withDevice(const char* path, F f) {
  if (!path) return 0;
  Lock lock(lock_);
  return f(obtain(path));
}

template <class F>
auto Simulator::inspect(const char* path, F f) {
  Lock lock(lock_);
  return f(static_cast<const Device*>(find(path)));
}

}  // namespace sim
