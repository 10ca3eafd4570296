// The driver side of the host stand-in: loading externals, making and deleting objects,
// sending messages, pumping the calling thread's messages.
#include "host/HostDriver.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "host/HostClasses.h"
#include "host/HostRecord.h"
#include "support/Win32Text.h"

namespace {

using NewGimme = void* (*)(t_symbol*, intptr_t, t_atom*);
using NewNone = void* (*)();
using FreeMethod = void (*)(void*);
using GimmeMethod = void (*)(void*, t_symbol*, intptr_t, t_atom*);
using AssistMethod = void (*)(void*, void*, intptr_t, intptr_t, char*);
using MainEntry = int (*)();

// The host passes integers in pointer-sized slots and does not define the upper half on
// x86-64; a callee that declares `long` must read only the low 32 bits.
intptr_t slot(long value) {
  if constexpr (sizeof(intptr_t) == 8) {
    return static_cast<intptr_t>(static_cast<uint64_t>(static_cast<uint32_t>(value)) | 0xA5A5A5A500000000ull);
  } else {
    return static_cast<intptr_t>(value);
  }
}

// The real host is C code: an exception that leaves an external ends it. This one counts
// every exception that comes out of a call into an external and carries on, so that tests
// can say so (where the unwinder can cross into the host at all: on x86 such an exception
// ends the process, as it would in Max).
std::atomic<long> gEscapedExceptions{0};

template <typename Call>
void intoExternal(Call call) {
  try {
    call();
  } catch (...) {
    ++gEscapedExceptions;
  }
}

bool isGimme(const std::vector<short>& types) { return types.size() == 1 && types[0] == A_GIMME; }

std::vector<t_atom> toAtoms(const std::vector<maxhost::Value>& values) {
  std::vector<t_atom> atoms(values.size());
  for (size_t i = 0; i < values.size(); ++i) {
    const maxhost::Value& v = values[i];
    switch (v.kind) {
      case maxhost::Value::Kind::Int:
        atoms[i].a_type = A_LONG;
        atoms[i].a_w.w_long = static_cast<t_atom_long>(v.i);
        break;
      case maxhost::Value::Kind::Float:
        atoms[i].a_type = A_FLOAT;
        atoms[i].a_w.w_float = static_cast<t_atom_float>(v.f);
        break;
      case maxhost::Value::Kind::Symbol:
        atoms[i].a_type = A_SYM;
        atoms[i].a_w.w_sym = gensym(v.s.c_str());
        break;
    }
  }
  return atoms;
}

bool callList(void* object, std::vector<t_atom>& atoms, long count) {
  if (object == nullptr) return false;
  const HostMethod* list = hostclasses::findMethod(object, "list");
  if (list == nullptr || !isGimme(list->types)) return false;
  intoExternal([&] {
    reinterpret_cast<GimmeMethod>(list->fn)(object, gensym("list"), slot(count),
                                            atoms.empty() ? nullptr : atoms.data());
  });
  return true;
}

bool callList(void* object, std::vector<t_atom>& atoms) {
  return callList(object, atoms, static_cast<long>(atoms.size()));
}

std::vector<t_atom> floatAtoms(const std::vector<double>& values) {
  std::vector<t_atom> atoms(values.size());
  for (size_t i = 0; i < values.size(); ++i) atom_setfloat(&atoms[i], values[i]);
  return atoms;
}

bool isInteger(const std::string& word) {
  size_t i = (word[0] == '-' || word[0] == '+') ? 1 : 0;
  if (i == word.size()) return false;
  for (; i < word.size(); ++i)
    if (word[i] < '0' || word[i] > '9') return false;
  return true;
}

bool parseFloat(const std::string& word, double* value) {
  if (word.find_first_of("0123456789") == std::string::npos) return false;
  char* end = nullptr;
  errno = 0;
  const double v = std::strtod(word.c_str(), &end);
  if (end != word.c_str() + word.size()) return false;
  if (word.find_first_of("xXnN") != std::string::npos) return false;  // no hex, inf or nan
  *value = v;
  return true;
}

}  // namespace

namespace maxhost {

std::vector<Value> parseValues(const std::string& text) {
  std::vector<Value> values;
  std::istringstream words(text);
  std::string word;
  while (words >> word) {
    double f = 0;
    if (isInteger(word))
      values.push_back(Value::integer(std::strtoll(word.c_str(), nullptr, 10)));
    else if (parseFloat(word, &f))
      values.push_back(Value::real(f));
    else
      values.push_back(Value::symbol(word));
  }
  return values;
}

bool loadExternal(const std::string& path, std::string* error) {
  auto fail = [error](std::string why) {
    if (error != nullptr) *error = std::move(why);
    return false;
  };
  // The host calls an external's main once per process: remember which modules ran.
  static std::vector<HMODULE> initialised;
  HMODULE module = w32::loadLibrary(path.c_str());
  if (module == nullptr) return fail("cannot load " + path + " (error " + std::to_string(GetLastError()) + ")");
  for (HMODULE m : initialised)
    if (m == module) return true;
  auto entry = reinterpret_cast<MainEntry>(reinterpret_cast<void*>(GetProcAddress(module, "main")));
  if (entry == nullptr) return fail(path + " exports no main");
  initialised.push_back(module);
  intoExternal(entry);
  return true;
}

void* newObject(const std::string& boxText) {
  std::vector<Value> words = parseValues(boxText);
  if (words.empty() || words[0].kind != Value::Kind::Symbol) return nullptr;
  const std::string name = words[0].s;
  words.erase(words.begin());
  return newObject(name, words);
}

void* newObject(const std::string& className, const std::vector<Value>& args) {
  t_class* c = hostclasses::findBoxClass(className);
  if (c == nullptr || c->mnew == nullptr) return nullptr;
  std::vector<t_atom> atoms = toAtoms(args);
  void* object = nullptr;
  if (isGimme(c->newTypes)) {
    intoExternal([&] {
      object = reinterpret_cast<NewGimme>(c->mnew)(gensym(className.c_str()), slot(static_cast<long>(atoms.size())),
                                                   atoms.empty() ? nullptr : atoms.data());
    });
  } else if (c->newTypes.empty()) {
    intoExternal([&] { object = reinterpret_cast<NewNone>(c->mnew)(); });
  }
  // Typed argument lists are not needed by our externals.
  return object;
}

bool sendList(void* object, const std::vector<Value>& values) {
  std::vector<t_atom> atoms = toAtoms(values);
  return callList(object, atoms);
}

bool sendFloats(void* object, const std::vector<double>& values) {
  std::vector<t_atom> atoms = floatAtoms(values);
  return callList(object, atoms);
}

bool sendFloatsCounted(void* object, long count, const std::vector<double>& values) {
  std::vector<t_atom> atoms = floatAtoms(values);
  return callList(object, atoms, count);
}

std::string assist(void* object, long kind, long index) {
  if (object == nullptr) return {};
  const HostMethod* m = hostclasses::findMethod(object, "assist");
  if (m == nullptr) return {};
  char text[512] = {};
  intoExternal([&] { reinterpret_cast<AssistMethod>(m->fn)(object, nullptr, slot(kind), slot(index), text); });
  text[sizeof text - 1] = '\0';
  return text;
}

void freeObject(void* object) {
  if (object == nullptr) return;
  t_class* c = hostclasses::classOf(object);
  if (c->mfree != nullptr) intoExternal([&] { reinterpret_cast<FreeMethod>(c->mfree)(object); });
  auto* header = static_cast<t_object*>(object);
  for (auto* outlet = static_cast<HostOutlet*>(header->o_outlet); outlet != nullptr;) {
    HostOutlet* next = outlet->next;
    delete outlet;
    outlet = next;
  }
  std::free(object);
}

namespace {

// Dispatches the messages waiting, until none is left or `deadline` has passed: a window
// timer whose every message takes longer than its period always has one waiting, and the
// caller must still get its turn, as a host's own work does between messages.
void dispatchPending(ULONGLONG deadline) {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&msg);
    intoExternal([&] { DispatchMessageW(&msg); });
    if (GetTickCount64() >= deadline) return;
  }
}

}  // namespace

void pumpMessages(unsigned long milliseconds) {
  const ULONGLONG deadline = GetTickCount64() + milliseconds;
  for (;;) {
    dispatchPending(deadline);
    const ULONGLONG now = GetTickCount64();
    if (now >= deadline) return;
    MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(deadline - now), QS_ALLINPUT);
  }
}

bool pumpUntil(const std::function<bool()>& done, unsigned long timeoutMilliseconds) {
  const ULONGLONG deadline = GetTickCount64() + timeoutMilliseconds;
  for (;;) {
    dispatchPending(std::min<ULONGLONG>(deadline, GetTickCount64() + 10));
    if (done()) return true;
    const ULONGLONG now = GetTickCount64();
    if (now >= deadline) return done();
    const DWORD wait = static_cast<DWORD>(std::min<ULONGLONG>(deadline - now, 10));
    MsgWaitForMultipleObjects(0, nullptr, FALSE, wait, QS_ALLINPUT);
  }
}

std::vector<Post> takePosts() { return hostrecord::takePosts(); }

std::vector<OutletCall> takeOutletCalls() { return hostrecord::takeOutletCalls(); }

long outstandingTexts() { return hostrecord::outstandingTexts(); }

long escapedExceptions() { return gEscapedExceptions.load(); }

}  // namespace maxhost
