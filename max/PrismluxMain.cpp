// The external's one export. The host calls it once, on its main thread, when a box first
// names the class.
#include "max/HostEntry.h"
#include "max/Prismlux.h"

namespace {

void registerClass() {
  t_class* c = class_new("prismlux", reinterpret_cast<method>(prismlux_new),
                         reinterpret_cast<method>(prismlux_free), static_cast<long>(sizeof(t_prismlux)),
                         nullptr, A_GIMME, 0);
  class_addmethod(c, reinterpret_cast<method>(prismlux_assist), "assist", A_CANT, 0);
  class_addmethod(c, reinterpret_cast<method>(prismlux_list), "list", A_GIMME, 0);
  class_register(gensym("box"), c);
  prismlux_class = c;
  post("I am the prismlux object");
}

}  // namespace

extern "C" __declspec(dllexport) int main(void) {
  runHostEntry(registerClass);
  return 0;
}
