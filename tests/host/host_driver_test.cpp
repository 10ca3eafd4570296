// The driver side: box text, objects of a class registered the way an external does it,
// and methods called the way the host calls them.
#include <gtest/gtest.h>

#include "host/HostDriver.h"
#include "max/MaxApi.h"

namespace {

struct Probe {
  t_object header;
  void* outlet;
  long argc;  // raw host memory: plain fields only, zero after object_alloc
  bool freed;
};

t_class* probeClass = nullptr;
Probe* lastFreed = nullptr;
std::string lastNewArgs;
long listCount = -1;

void* probe_new(t_symbol* s, long argc, t_atom* argv) {
  auto* x = static_cast<Probe*>(object_alloc(probeClass));
  x->outlet = listout(x);
  char* text = nullptr;
  long size = 0;
  atom_gettext(argc, argv, &size, &text, 0);
  lastNewArgs = std::string(s->s_name) + ":" + text;
  for (long i = 0; i < argc; ++i) lastNewArgs += " " + std::to_string(argv[i].a_type);
  sysmem_freeptr(text);
  return x;
}

void probe_free(Probe* x) { lastFreed = x; }

void probe_list(Probe* x, t_symbol* s, long argc, t_atom* argv) {
  listCount = argc;
  if (s == gensym("list")) outlet_list(x->outlet, nullptr, static_cast<short>(argc), argv);
}

void probe_assist(Probe* x, void* b, long m, long a, char* s) {
  std::snprintf(s, 512, "m=%ld a=%ld", m, a);
}

class HostDriver : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    probeClass = class_new("probe", reinterpret_cast<method>(probe_new), reinterpret_cast<method>(probe_free),
                           static_cast<long>(sizeof(Probe)), nullptr, A_GIMME, 0);
    class_addmethod(probeClass, reinterpret_cast<method>(probe_list), "list", A_GIMME, 0);
    class_addmethod(probeClass, reinterpret_cast<method>(probe_assist), "assist", A_CANT, 0);
    ASSERT_EQ(class_register(gensym("box"), probeClass), 0);
  }
};

TEST_F(HostDriver, BoxTextBecomesIntsFloatsAndSymbols) {
  using K = maxhost::Value::Kind;
  const std::vector<maxhost::Value> v = maxhost::parseValues("prismlux 1 0000123 -2 2.5 1e-50 -3. x1 +4");
  ASSERT_EQ(v.size(), 9u);
  EXPECT_EQ(v[0].kind, K::Symbol);
  EXPECT_EQ(v[0].s, "prismlux");
  EXPECT_EQ(v[2].kind, K::Int);
  EXPECT_EQ(v[2].i, 123);
  EXPECT_EQ(v[3].i, -2);
  EXPECT_EQ(v[4].kind, K::Float);
  EXPECT_EQ(v[5].kind, K::Float);
  EXPECT_EQ(v[5].f, 1e-50);
  EXPECT_EQ(v[6].f, -3.0);
  EXPECT_EQ(v[7].kind, K::Symbol);
  EXPECT_EQ(v[8].kind, K::Int);
}

TEST_F(HostDriver, ObjectsAreZeroedHostMemoryWithAHeader) {
  auto* x = static_cast<Probe*>(maxhost::newObject("probe 7 0.5 name"));
  ASSERT_NE(x, nullptr);
  EXPECT_EQ(lastNewArgs, "probe:7 0.5 name 1 2 3");
  EXPECT_EQ(x->header.o_magic, maxapi::kObjectMagic);
  EXPECT_NE(x->header.o_messlist, nullptr);
  EXPECT_EQ(x->argc, 0);
  EXPECT_FALSE(x->freed);
  maxhost::freeObject(x);
  EXPECT_EQ(lastFreed, x);
  EXPECT_EQ(maxhost::newObject("nosuchclass 1"), nullptr);
  EXPECT_EQ(class_register(gensym("box"), probeClass), -3);
}

TEST_F(HostDriver, ListsReachTheMethodAndOutletCallsAreRecorded) {
  auto* x = static_cast<Probe*>(maxhost::newObject("probe"));
  maxhost::takeOutletCalls();
  ASSERT_TRUE(maxhost::sendList(x, maxhost::parseValues("1 2.5 word")));
  EXPECT_EQ(listCount, 3);
  const std::vector<maxhost::OutletCall> calls = maxhost::takeOutletCalls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].object, x);
  EXPECT_EQ(calls[0].outlet, x->outlet);
  EXPECT_EQ(calls[0].values, (std::vector<double>{1, 2.5, 0}));
  EXPECT_TRUE(maxhost::takeOutletCalls().empty());
  EXPECT_EQ(maxhost::assist(x, 2, 4), "m=2 a=4");
  maxhost::freeObject(x);
}

}  // namespace
