// Creation, destruction and assist texts of the prismlux object.
#include <cstdio>
#include <cstring>

#include "max/HostEntry.h"
#include "max/Prismlux.h"
#include "support/LString.h"
#include "support/Text.h"
#include "support/Variant.h"

t_class* prismlux_class = nullptr;

void* prismlux_new(t_symbol* s, long argc, t_atom* argv) {
  auto* x = static_cast<t_prismlux*>(object_alloc(prismlux_class));
  if (x == nullptr) return nullptr;

  // object_alloc runs no constructor: every field is set here.
  x->sendLength = 0;
  x->outlet = listout(x);
  x->sendBusy = 0;
  std::memset(x->receiveBuffer, 0, sizeof x->receiveBuffer);
  std::memset(x->sendBuffer, 0, sizeof x->sendBuffer);
  std::memset(x->outAtoms, 0, sizeof x->outAtoms);
  x->device = nullptr;

  // Tested after narrowing, so a value too small for a float (1e-50) also means 1.
  x->scale = 1.0f;
  if (argc >= 1) {
    const float scale = static_cast<float>(atom_getfloat(argv));
    x->scale = scale == 0.0f ? 1.0f : scale;
  }

  // atom_gettext prints any atom, so a serial number the host parsed as a number is found
  // as well. A null text pointer makes the host allocate the text.
  char* text = nullptr;
  long textSize = 0;
  if (argc >= 2) atom_gettext(1, argv + 1, &textSize, &text, 0);
  bool reported = false;
  if (!runHostEntry([&] { reported = prismlux_open(x, text); }) || !reported) {
    // Out of memory before anything opened (what the open built is gone again). No string
    // can be counted on now, so the post shows the host's text as it came.
    object_post(&x->header, "cannot open %s", text != nullptr ? text : "");
  }

  if (text != nullptr) sysmem_freeptr(text);
  return x;
}

bool prismlux_open(t_prismlux* x, const char* text) {
  const LString name = LString::fromAnsi(text);  // the host's text is in the ANSI code page
  // A name that did not convert (no memory for it) must not open whichever interface
  // comes first, as an empty name would.
  if (name.isEmpty() && !textIsEmpty(text)) return false;

  x->device = dmxOpen(name.text());
  if (x->device != nullptr) {
    object_post(&x->header, "open %s", name.text());
    prismlux_receive(x);
    prismlux_send(x);
  } else {
    object_post(&x->header, "cannot open %s", name.text());
  }
  return true;
}

void prismlux_free(t_prismlux* x) {
  runHostEntry([x] {
    if (x->device != nullptr) dmxClose(x->device);
  });
  x->device = nullptr;
}

void prismlux_assist(t_prismlux* x, void* box, long m, long a, char* s) {
  const char* format = m == ASSIST_INLET ? "I am inlet %ld" : "I am outlet %ld";
  runHostEntry([&] {
    if constexpr (variant::kAssistWithHostSprintf) {
      maxhost_sprintf(s, format, a);
    } else {
      std::sprintf(s, format, a);
    }
  });
}
