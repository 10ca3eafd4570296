#include "tools/ImportHook.h"

#include <atomic>
#include <cstring>
#include <mutex>
#include <new>

#include "tools/ImportSlots.h"

namespace {

constexpr uint32_t kMaxEntries = 512;
constexpr uint32_t kMaxThreads = 128;
constexpr uint32_t kStubBytes = 32;

enum ThreadFlag : unsigned { kWaitsWithMessages = 1, kMadeByModule = 2 };
enum class Special { None, MessageWait, BeginThreadEx, CreateThread };

struct Entry {
  char dll[64];
  char function[96];
  std::atomic<void*> original{nullptr};
  std::atomic<void*> standIn{nullptr};
  int kind = 0;
  Special special = Special::None;
};

struct ThreadRecord {
  std::atomic<DWORD> id{0};
  std::atomic<unsigned> flags{0};
};

Entry entries[kMaxEntries];
std::atomic<uint32_t> entryCount{0};
// Per entry and thread record; record 0 takes the threads beyond the table.
std::atomic<uint64_t> counts[kMaxEntries][kMaxThreads];
ThreadRecord threads[kMaxThreads];
std::atomic<DWORD> mainThread{0};
std::atomic<importhook::FailRule> failRule{nullptr};
uint8_t* stubs = nullptr;
std::mutex changes;

struct StandIn {
  std::string function;
  void* standIn;
  int kind;
};
std::vector<StandIn>& standIns() {
  static std::vector<StandIn> list;
  return list;
}

// The calling thread's record, found without a call that could change GetLastError.
uint32_t threadRecord() {
  const DWORD id = GetCurrentThreadId();
  uint32_t index = 1 + (id >> 2) % (kMaxThreads - 1);
  for (uint32_t probes = 0; probes < kMaxThreads - 1; ++probes) {
    DWORD seen = threads[index].id.load(std::memory_order_acquire);
    if (seen == id) return index;
    if (seen == 0 && threads[index].id.compare_exchange_strong(seen, id)) return index;
    if (seen == id) return index;
    index = index + 1 == kMaxThreads ? 1 : index + 1;
  }
  return 0;
}

importhook::Role roleOf(uint32_t record) {
  const DWORD id = threads[record].id.load();
  const unsigned flags = threads[record].flags.load();
  if (record != 0 && id == mainThread.load()) return importhook::Role::Main;
  if (flags & kWaitsWithMessages) return importhook::Role::Environment;
  if (flags & kMadeByModule) return importhook::Role::Helper;
  return importhook::Role::Other;
}

// ---- the module's thread starts, wrapped so that its threads are known ----

struct ThreadStart {
  unsigned(__stdcall* entry)(void*);
  void* argument;
};

unsigned __stdcall startedByModule(void* start) {
  const ThreadStart copy = *static_cast<ThreadStart*>(start);
  delete static_cast<ThreadStart*>(start);
  // A thread id can come back after its thread ended: the record starts afresh.
  threads[threadRecord()].flags.store(kMadeByModule);
  return copy.entry(copy.argument);
}

std::atomic<void*> originalBeginThreadEx{nullptr};
std::atomic<void*> originalCreateThread{nullptr};

using BeginThreadEx = uintptr_t(__cdecl*)(void*, unsigned, unsigned(__stdcall*)(void*), void*, unsigned, unsigned*);
uintptr_t __cdecl wrappedBeginThreadEx(void* security, unsigned stack, unsigned(__stdcall* entry)(void*),
                                       void* argument, unsigned flags, unsigned* id) {
  const auto original = reinterpret_cast<BeginThreadEx>(originalBeginThreadEx.load());
  auto* start = new (std::nothrow) ThreadStart{entry, argument};
  if (start == nullptr) return original(security, stack, entry, argument, flags, id);
  const uintptr_t thread = original(security, stack, &startedByModule, start, flags, id);
  if (thread == 0) delete start;
  return thread;
}

using CreateThreadFunction = HANDLE(WINAPI*)(SECURITY_ATTRIBUTES*, SIZE_T, LPTHREAD_START_ROUTINE, void*, DWORD, DWORD*);
HANDLE WINAPI wrappedCreateThread(SECURITY_ATTRIBUTES* security, SIZE_T stack, LPTHREAD_START_ROUTINE entry,
                                  void* argument, DWORD flags, DWORD* id) {
  const auto original = reinterpret_cast<CreateThreadFunction>(originalCreateThread.load());
  auto* start = new (std::nothrow) ThreadStart{reinterpret_cast<unsigned(__stdcall*)(void*)>(entry), argument};
  if (start == nullptr) return original(security, stack, entry, argument, flags, id);
  HANDLE thread = original(security, stack, reinterpret_cast<LPTHREAD_START_ROUTINE>(&startedByModule), start, flags, id);
  if (thread == nullptr) delete start;
  return thread;
}

// Data imports (a runtime's variables) keep their slots: only code is called through a stub.
bool isCode(void* address) {
  MEMORY_BASIC_INFORMATION info{};
  if (VirtualQuery(address, &info, sizeof info) == 0) return false;
  const DWORD code = PAGE_EXECUTE | PAGE_EXECUTE_READ | PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
  return info.State == MEM_COMMIT && (info.Protect & code) != 0;
}

Special specialOf(const char* function) {
  if (std::strcmp(function, "MsgWaitForMultipleObjects") == 0 || std::strcmp(function, "MsgWaitForMultipleObjectsEx") == 0)
    return Special::MessageWait;
  if (std::strcmp(function, "_beginthreadex") == 0) return Special::BeginThreadEx;
  if (std::strcmp(function, "CreateThread") == 0) return Special::CreateThread;
  return Special::None;
}

}  // namespace

// Called by every stub with its entry's index; returns where the call goes on. Changes no
// error state: the caller may read GetLastError after the call as set by the function.
extern "C" __attribute__((used)) void* importhookEnter(uint32_t index) asm("importhook_enter");
extern "C" void* importhookEnter(uint32_t index) {
  Entry& entry = entries[index];
  const uint32_t record = threadRecord();
  counts[index][record].fetch_add(1, std::memory_order_relaxed);
  void* standIn = entry.standIn.load(std::memory_order_acquire);
  const importhook::FailRule rule = failRule.load(std::memory_order_acquire);
  if (standIn != nullptr && rule != nullptr && rule(entry.kind)) return standIn;
  switch (entry.special) {
    case Special::MessageWait:
      threads[record].flags.fetch_or(kWaitsWithMessages, std::memory_order_relaxed);
      break;
    case Special::BeginThreadEx:
      return reinterpret_cast<void*>(&wrappedBeginThreadEx);
    case Special::CreateThread:
      return reinterpret_cast<void*>(&wrappedCreateThread);
    case Special::None:
      break;
  }
  return entry.original.load(std::memory_order_relaxed);
}

// The stubs' common part: keeps the argument registers across importhook_enter, then jumps
// to what it returned with the stack as the caller left it. Each stub hands over its index
// (x86-64 in r11, which no call passes arguments in; x86 pushed on the stack).
extern "C" void importhookCommon() asm("importhook_common");
#if defined(__x86_64__)
asm(".text\n"
    ".globl importhook_common\n"
    "importhook_common:\n"
    "  pushq %rcx\n"
    "  pushq %rdx\n"
    "  pushq %r8\n"
    "  pushq %r9\n"
    "  subq $0x48, %rsp\n"
    "  movq %xmm0, 0x20(%rsp)\n"
    "  movq %xmm1, 0x28(%rsp)\n"
    "  movq %xmm2, 0x30(%rsp)\n"
    "  movq %xmm3, 0x38(%rsp)\n"
    "  movl %r11d, %ecx\n"
    "  call importhook_enter\n"
    "  movq 0x20(%rsp), %xmm0\n"
    "  movq 0x28(%rsp), %xmm1\n"
    "  movq 0x30(%rsp), %xmm2\n"
    "  movq 0x38(%rsp), %xmm3\n"
    "  addq $0x48, %rsp\n"
    "  popq %r9\n"
    "  popq %r8\n"
    "  popq %rdx\n"
    "  popq %rcx\n"
    "  jmp *%rax\n");
#elif defined(__i386__)
asm(".text\n"
    ".globl importhook_common\n"
    "importhook_common:\n"
    "  pushl %ecx\n"
    "  pushl %edx\n"
    "  pushl 8(%esp)\n"
    "  call importhook_enter\n"
    "  addl $4, %esp\n"
    "  popl %edx\n"
    "  popl %ecx\n"
    "  leal 4(%esp), %esp\n"
    "  jmp *%eax\n");
#else
#error "import stubs are written for x86-64 and x86"
#endif

namespace {

// Writes the stub of entry `index`: hand over the index, go to the common part.
void* writeStub(uint32_t index) {
  uint8_t* stub = stubs + index * kStubBytes;
  const auto common = reinterpret_cast<uintptr_t>(&importhookCommon);
  uint8_t* at = stub;
#if defined(__x86_64__)
  *at++ = 0x41;  // mov r11d, index
  *at++ = 0xBB;
  std::memcpy(at, &index, 4);
  at += 4;
  *at++ = 0x48;  // mov rax, common
  *at++ = 0xB8;
  std::memcpy(at, &common, 8);
  at += 8;
#else
  *at++ = 0x68;  // push index
  std::memcpy(at, &index, 4);
  at += 4;
  *at++ = 0xB8;  // mov eax, common
  const uint32_t common32 = static_cast<uint32_t>(common);
  std::memcpy(at, &common32, 4);
  at += 4;
#endif
  *at++ = 0xFF;  // jmp eax / rax
  *at++ = 0xE0;
  FlushInstructionCache(GetCurrentProcess(), stub, kStubBytes);
  return stub;
}

// Lock held. The entry of dll!function, made when new (UINT32_MAX when the table is full).
uint32_t entryFor(const char* dll, const char* function, void* original) {
  const uint32_t count = entryCount.load();
  for (uint32_t i = 0; i < count; ++i) {
    if (_stricmp(entries[i].dll, dll) == 0 && std::strcmp(entries[i].function, function) == 0) return i;
  }
  if (count == kMaxEntries || std::strlen(dll) >= sizeof entries[0].dll ||
      std::strlen(function) >= sizeof entries[0].function)
    return UINT32_MAX;
  Entry& entry = entries[count];
  std::strcpy(entry.dll, dll);
  std::strcpy(entry.function, function);
  entry.original = original;
  entry.special = specialOf(function);
  for (const StandIn& s : standIns()) {
    if (s.function != function) continue;
    entry.kind = s.kind;
    entry.standIn = s.standIn;
  }
  if (entry.special == Special::BeginThreadEx) originalBeginThreadEx = original;
  if (entry.special == Special::CreateThread) originalCreateThread = original;
  entryCount = count + 1;
  return count;
}

}  // namespace

namespace importhook {

const char* roleName(Role role) {
  switch (role) {
    case Role::Main: return "main";
    case Role::Environment: return "environment";
    case Role::Helper: return "helpers";
    case Role::Other: return "other";
  }
  return "?";
}

int attach(HMODULE module) {
  std::lock_guard<std::mutex> hold(changes);
  if (stubs == nullptr) {
    stubs = static_cast<uint8_t*>(
        VirtualAlloc(nullptr, kMaxEntries * kStubBytes, MEM_COMMIT | MEM_RESERVE, PAGE_EXECUTE_READWRITE));
    if (stubs == nullptr) return 0;
  }
  DWORD none = 0;
  mainThread.compare_exchange_strong(none, GetCurrentThreadId());
  int hooked = 0;
  importslots::forEach(module, [&](const char* dll, const char* function, void** slot) {
    void* current = *slot;
    const bool ours = current >= stubs && current < stubs + kMaxEntries * kStubBytes;
    if (ours) {
      ++hooked;
      return false;
    }
    if (!isCode(current)) return false;
    const uint32_t index = entryFor(dll, function, current);
    if (index == UINT32_MAX) return false;
    entries[index].original = current;
    if (importslots::replace(slot, writeStub(index))) ++hooked;
    return false;
  });
  return hooked;
}

void setMainThread(DWORD threadId) { mainThread = threadId; }

uint64_t calls(const char* function) {
  uint64_t total = 0;
  for (int role = 0; role < kRoles; ++role) total += calls(function, static_cast<Role>(role));
  return total;
}

uint64_t calls(const char* function, Role role) {
  uint64_t total = 0;
  const uint32_t count = entryCount.load();
  for (uint32_t i = 0; i < count; ++i) {
    if (std::strcmp(entries[i].function, function) != 0) continue;
    for (uint32_t t = 0; t < kMaxThreads; ++t) {
      if (roleOf(t) == role) total += counts[i][t].load(std::memory_order_relaxed);
    }
  }
  return total;
}

std::vector<Tally> tallies() {
  Role roles[kMaxThreads];
  for (uint32_t t = 0; t < kMaxThreads; ++t) roles[t] = roleOf(t);
  std::vector<Tally> all;
  const uint32_t count = entryCount.load();
  for (uint32_t i = 0; i < count; ++i) {
    Tally tally;
    tally.dll = entries[i].dll;
    tally.function = entries[i].function;
    for (uint32_t t = 0; t < kMaxThreads; ++t)
      tally.calls[static_cast<int>(roles[t])] += counts[i][t].load(std::memory_order_relaxed);
    all.push_back(std::move(tally));
  }
  return all;
}

std::vector<SeenThread> threads() {
  std::vector<SeenThread> seen;
  for (uint32_t t = 1; t < kMaxThreads; ++t) {
    const DWORD id = ::threads[t].id.load();
    if (id != 0) seen.push_back({id, roleOf(t)});
  }
  return seen;
}

bool hooked(const char* function) {
  const uint32_t count = entryCount.load();
  for (uint32_t i = 0; i < count; ++i) {
    if (std::strcmp(entries[i].function, function) == 0) return true;
  }
  return false;
}

void setStandIn(const char* function, void* standIn, int kind) {
  std::lock_guard<std::mutex> hold(changes);
  standIns().push_back({function, standIn, kind});
  const uint32_t count = entryCount.load();
  for (uint32_t i = 0; i < count; ++i) {
    if (std::strcmp(entries[i].function, function) != 0) continue;
    entries[i].kind = kind;
    entries[i].standIn = standIn;
  }
}

void setFailRule(FailRule rule) { failRule = rule; }

}  // namespace importhook
