// The driver side of our stand-in for the Max host (MaxAPI.dll): what a test, the demo or
// a tool calls to load an external, make object boxes, send them lists and read what they
// posted and emitted. The host functions an external imports live in the same DLL.
//
// Threads: the thread that loads externals and creates objects is the host's "main
// thread"; loadExternal, newObject, assist and freeObject belong on it, and pumpMessages
// pumps the messages of the calling thread (call it from the main thread so that device
// callbacks, which arrive through that thread's messages, run). sendList and sendFloats
// may be called from any thread, as the real host does from its scheduler thread. The
// recorded posts and outlet calls are kept under a lock; take* returns and clears them.
//
// Methods are called the way the real host calls them: through casts that pass every
// argument as a pointer-sized value.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#if defined(PRISMLUX_BUILDING_MAXAPI)
#define MAXHOST_API __declspec(dllexport)
#else
#define MAXHOST_API __declspec(dllimport)
#endif

namespace maxhost {

// One box argument or list element: becomes an A_LONG, A_FLOAT or A_SYM atom.
struct Value {
  enum class Kind { Int, Float, Symbol };
  Kind kind = Kind::Int;
  int64_t i = 0;
  double f = 0;
  std::string s;

  static Value integer(int64_t v) { Value x; x.kind = Kind::Int; x.i = v; return x; }
  static Value real(double v) { Value x; x.kind = Kind::Float; x.f = v; return x; }
  static Value symbol(std::string v) { Value x; x.kind = Kind::Symbol; x.s = std::move(v); return x; }
};

// Splits text at white space the way a box is parsed: an optional sign and digits only is
// an integer ("0000123" is 123), a decimal number ("1.5", "-2.", "1e-50") a float, any
// other word a symbol.
MAXHOST_API std::vector<Value> parseValues(const std::string& text);

// A text the external posted to the Max window. `object` is null for post().
struct Post {
  void* object;
  std::string text;
  unsigned long threadId;
};

// One outlet_list call: the object whose outlet it was, the outlet, the message symbol's
// text ("" for a null symbol), the atoms as numbers (a symbol atom is recorded as 0), and the
// QueryPerformanceCounter value when the call came.
struct OutletCall {
  void* object;
  void* outlet;
  std::string symbol;
  std::vector<double> values;
  unsigned long threadId;
  int64_t counter;
};

// Loads an external file (LoadLibrary) and calls its exported `main` once; a file that
// is already loaded is not loaded or initialised again. False, with the reason in `error`,
// when the file does not load or exports no `main`.
MAXHOST_API bool loadExternal(const std::string& path, std::string* error = nullptr);

// Creates an object from box text, e.g. "prismlux 1 0000123": the first word names the
// class, the rest are its arguments (see parseValues). Null when the class is not
// registered or its new routine returned null.
MAXHOST_API void* newObject(const std::string& boxText);
MAXHOST_API void* newObject(const std::string& className, const std::vector<Value>& args);

// Sends the message "list" with these elements. False when the class has no list method.
// Any thread.
MAXHOST_API bool sendList(void* object, const std::vector<Value>& values);
// The same with every element an A_FLOAT atom.
MAXHOST_API bool sendFloats(void* object, const std::vector<double>& values);
// The same, telling the method there are `count` elements whatever `values` holds (a count
// below zero, or above the elements given, as a faulty caller might).
MAXHOST_API bool sendFloatsCounted(void* object, long count, const std::vector<double>& values);

// Calls the object's "assist" method: kind 1 inlet, 2 outlet; index from 0. Returns the
// text it wrote ("" when the class has no assist method).
MAXHOST_API std::string assist(void* object, long kind, long index);

// Deletes an object: its class's free routine runs, then the host releases the object's
// outlets and memory. Null does nothing.
MAXHOST_API void freeObject(void* object);

// Dispatches the calling thread's Windows messages for this long.
MAXHOST_API void pumpMessages(unsigned long milliseconds);
// Dispatches messages until `done` returns true (checked after every wake-up and at least
// every 10 ms) or the time runs out; returns what `done` last returned.
MAXHOST_API bool pumpUntil(const std::function<bool()>& done, unsigned long timeoutMilliseconds);

// Returns and forgets what was recorded so far.
MAXHOST_API std::vector<Post> takePosts();
MAXHOST_API std::vector<OutletCall> takeOutletCalls();

// Texts made by atom_gettext and not yet given back through sysmem_freeptr.
MAXHOST_API long outstandingTexts();

// Exceptions that came out of calls into externals so far (the real host would have died).
MAXHOST_API long escapedExceptions();

}  // namespace maxhost
