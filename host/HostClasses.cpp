#include "host/HostClasses.h"

#include <mutex>

namespace {

std::mutex registryLock;
std::map<std::pair<t_symbol*, std::string>, t_class*> registry;

}  // namespace

namespace hostclasses {

t_max_err registerClass(t_symbol* nameSpace, t_class* c) {
  std::lock_guard<std::mutex> hold(registryLock);
  auto [it, added] = registry.emplace(std::make_pair(nameSpace, c->name), c);
  if (!added) return -3;
  c->nameSpace = nameSpace;
  return 0;
}

t_class* findBoxClass(const std::string& name) {
  t_symbol* box = gensym("box");
  std::lock_guard<std::mutex> hold(registryLock);
  auto it = registry.find(std::make_pair(box, name));
  return it == registry.end() ? nullptr : it->second;
}

const HostMethod* findMethod(void* object, const char* name) {
  const t_class* c = classOf(object);
  auto it = c->methods.find(name);
  return it == c->methods.end() ? nullptr : &it->second;
}

}  // namespace hostclasses
