// The functions MaxAPI.dll exports to externals, with the effects externals rely on.
#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <unordered_map>

#include "host/HostClasses.h"
#include "host/HostRecord.h"
#include "support/Windows.h"

namespace {

// The global critical region that critical_enter(0) selects: one recursive lock for the
// whole process.
struct GlobalRegion {
  CRITICAL_SECTION section;
  GlobalRegion() { InitializeCriticalSection(&section); }
  ~GlobalRegion() { DeleteCriticalSection(&section); }
  GlobalRegion(const GlobalRegion&) = delete;
  GlobalRegion& operator=(const GlobalRegion&) = delete;
};
GlobalRegion globalRegion;

std::vector<short> typeList(int first, va_list rest) {
  std::vector<short> types;
  for (int type = first; type != A_NOTHING; type = va_arg(rest, int)) types.push_back(static_cast<short>(type));
  return types;
}

std::string format(const char* fmt, va_list args) {
  va_list measure;
  va_copy(measure, args);
  const int length = std::vsnprintf(nullptr, 0, fmt, measure);
  va_end(measure);
  if (length <= 0) return {};
  std::string text(static_cast<size_t>(length) + 1, '\0');
  std::vsnprintf(text.data(), text.size(), fmt, args);
  text.resize(static_cast<size_t>(length));
  return text;
}

// A float as a box shows it: six decimals at most, no redundant zeros ("12.5", "1.").
std::string floatText(double value) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.6f", value);
  std::string text = buffer;
  while (!text.empty() && text.back() == '0') text.pop_back();
  return text;
}

std::string atomText(const t_atom& a, long flags) {
  switch (a.a_type) {
    case A_LONG:
      return std::to_string(static_cast<long long>(a.a_w.w_long));
    case A_FLOAT:
      return floatText(a.a_w.w_float);
    case A_SYM: {
      std::string text = a.a_w.w_sym != nullptr ? a.a_w.w_sym->s_name : "";
      const bool quote = (flags & 0x4) != 0 || ((flags & 0x2) == 0 && text.find(' ') != std::string::npos);
      return quote ? "\"" + text + "\"" : text;
    }
    default:
      return {};
  }
}

}  // namespace

extern "C" {

t_class* class_new(const char* name, method mnew, method mfree, long size, method mmenu, short type, ...) {
  auto* c = new t_class;
  c->name = name != nullptr ? name : "";
  c->mnew = mnew;
  c->mfree = mfree;
  c->size = size;
  va_list rest;
  va_start(rest, type);
  c->newTypes = typeList(type, rest);
  va_end(rest);
  return c;
}

t_max_err class_addmethod(t_class* c, method m, const char* name, ...) {
  if (c == nullptr || name == nullptr) return -2;
  va_list rest;
  va_start(rest, name);
  const int first = va_arg(rest, int);
  HostMethod entry{m, typeList(first, rest)};
  va_end(rest);
  c->methods[name] = std::move(entry);
  return 0;
}

t_max_err class_register(t_symbol* name_space, t_class* c) {
  if (c == nullptr) return -2;
  return hostclasses::registerClass(name_space, c);
}

t_symbol* gensym(const char* s) {
  static std::mutex symbolLock;
  static std::unordered_map<std::string, t_symbol*> symbols;
  const std::string key = s != nullptr ? s : "";
  std::lock_guard<std::mutex> hold(symbolLock);
  t_symbol*& symbol = symbols[key];
  if (symbol == nullptr) {
    char* text = static_cast<char*>(std::malloc(key.size() + 1));
    std::memcpy(text, key.c_str(), key.size() + 1);
    symbol = new t_symbol{text, nullptr};
  }
  return symbol;
}

void post(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  hostrecord::addPost(nullptr, format(fmt, args));
  va_end(args);
}

void object_post(t_object* x, const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  hostrecord::addPost(x, format(fmt, args));
  va_end(args);
}

void* object_alloc(t_class* c) {
  if (c == nullptr) return nullptr;
  const size_t size = std::max(static_cast<size_t>(c->size), sizeof(t_object));
  auto* header = static_cast<t_object*>(std::calloc(1, size));
  if (header == nullptr) return nullptr;
  header->o_messlist = c;
  header->o_magic = maxapi::kObjectMagic;
  return header;
}

void* listout(void* x) {
  auto* header = static_cast<t_object*>(x);
  auto* outlet = new HostOutlet{x, static_cast<HostOutlet*>(header->o_outlet)};
  header->o_outlet = outlet;
  return outlet;
}

void* outlet_list(void* outlet, t_symbol* s, short ac, t_atom* av) {
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  maxhost::OutletCall call{};
  call.counter = now.QuadPart;
  call.outlet = outlet;
  call.object = outlet != nullptr ? static_cast<HostOutlet*>(outlet)->owner : nullptr;
  call.symbol = s != nullptr ? s->s_name : "";
  for (short i = 0; i < ac; ++i) call.values.push_back(atom_getfloat(av + i));
  call.threadId = GetCurrentThreadId();
  hostrecord::addOutletCall(std::move(call));
  return outlet;
}

t_atom_float atom_getfloat(const t_atom* a) {
  if (a == nullptr) return 0;
  switch (a->a_type) {
    case A_FLOAT:
      return a->a_w.w_float;
    case A_LONG:
      return static_cast<t_atom_float>(a->a_w.w_long);
    default:
      return 0;
  }
}

t_max_err atom_setfloat(t_atom* a, double b) {
  if (a == nullptr) return -2;
  a->a_type = A_FLOAT;
  a->a_w.w_float = static_cast<t_atom_float>(b);
  return 0;
}

t_max_err atom_gettext(long ac, t_atom* av, long* textsize, char** text, long flags) {
  if (textsize == nullptr || text == nullptr || (ac > 0 && av == nullptr)) return -2;
  std::string all;
  for (long i = 0; i < ac; ++i) {
    if (i != 0) all += ' ';
    all += atomText(av[i], flags);
  }
  const size_t needed = all.size() + 1;
  if (*text != nullptr && *textsize > 0) {
    // A buffer from the caller: filled as far as it goes.
    const size_t room = static_cast<size_t>(*textsize);
    const size_t copied = std::min(room - 1, all.size());
    std::memcpy(*text, all.data(), copied);
    (*text)[copied] = '\0';
    *textsize = static_cast<long>(copied + 1);
    return 0;
  }
  char* made = static_cast<char*>(std::malloc(needed));
  if (made == nullptr) return -4;
  std::memcpy(made, all.c_str(), needed);
  hostrecord::textMade(made);
  *text = made;
  *textsize = static_cast<long>(needed);
  return 0;
}

void sysmem_freeptr(void* ptr) {
  if (ptr == nullptr) return;
  hostrecord::memoryFreed(ptr);
  std::free(ptr);
}

void critical_enter(t_critical x) {
  EnterCriticalSection(x != nullptr ? x : &globalRegion.section);
}

void critical_exit(t_critical x) {
  LeaveCriticalSection(x != nullptr ? x : &globalRegion.section);
}

// The host's own C runtime sprintf, exported as "sprintf".
int maxhost_crt_sprintf(char* buffer, const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  const int length = std::vsprintf(buffer, fmt, args);
  va_end(args);
  return length;
}

}  // extern "C"
