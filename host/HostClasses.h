// The host's records of classes, objects and outlets, and the registry of classes that
// object boxes can name. Records of classes and symbols live until the process ends, as
// in the host; object memory and outlets live until the driver frees the object.
//
// Threads: the registry is guarded by a lock; a class's method table is filled by the
// external's main (on the main thread) before any object of the class exists and is
// only read afterwards.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "max/MaxApi.h"

struct HostMethod {
  method fn = nullptr;
  std::vector<short> types;  // the argument-type list, without its terminating 0
};

// What t_class points to in this host.
struct t_class {
  std::string name;
  method mnew = nullptr;
  method mfree = nullptr;
  long size = 0;
  std::vector<short> newTypes;
  std::map<std::string, HostMethod> methods;
  t_symbol* nameSpace = nullptr;  // set by class_register
};

// One outlet; an object's outlets hang from its header's o_outlet, newest first.
struct HostOutlet {
  void* owner;
  HostOutlet* next;
};

namespace hostclasses {

// Makes a class visible in `nameSpace`. -3 (duplicate) when a class of that name is
// already registered there; the first one stays.
t_max_err registerClass(t_symbol* nameSpace, t_class* c);

// The class named `name` in the "box" name space, or null.
t_class* findBoxClass(const std::string& name);

// The class of an object made by object_alloc.
inline t_class* classOf(void* object) {
  return static_cast<t_class*>(static_cast<t_object*>(object)->o_messlist);
}

// A method of the object's class, or null.
const HostMethod* findMethod(void* object, const char* name);

}  // namespace hostclasses
