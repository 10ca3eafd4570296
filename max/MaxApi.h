// Our declarations of the Max host's binary interface: the types, constants and the
// fifteen functions that MaxAPI.dll exports to an external. Binary-compatible with the
// host in both builds: on x86 the host's structures are packed to 2 bytes and an atom's
// float is a 32-bit float; on x86-64 default packing and a double. `long` is 32 bits on
// Windows in both builds.
//
// The external only ever reserves the header's space (t_object) and handles classes,
// outlets and symbols through pointers; symbols come from gensym and compare with ==.
#pragma once

#include <cstddef>
#include <cstdint>

extern "C" {

typedef intptr_t t_ptr_int;
typedef t_ptr_int t_atom_long;
typedef t_atom_long t_max_err;
typedef void* (*method)(void*);
typedef struct _RTL_CRITICAL_SECTION* t_critical;  // a Win32 LPCRITICAL_SECTION

#if defined(_WIN64)
typedef double t_atom_float;
#else
typedef float t_atom_float;
#endif

struct t_class;   // opaque: only handled through pointers
typedef void t_outlet;

#if !defined(_WIN64)
#pragma pack(push, 2)
#endif

struct object;

typedef struct symbol {
  char* s_name;            // the text; never written
  struct object* s_thing;  // the host's binding; unused
} t_symbol;

typedef struct object {
  void* o_messlist;        // the class's method table
  t_ptr_int o_magic;       // kObjectMagic, set by object_alloc
  void* o_inlet;
  void* o_outlet;
} t_object;

union word {
  t_atom_long w_long;
  t_atom_float w_float;
  t_symbol* w_sym;
  t_object* w_obj;
};

typedef struct atom {
  short a_type;
  union word a_w;
} t_atom;

#if !defined(_WIN64)
#pragma pack(pop)
#endif

// Atom and argument type codes.
enum {
  A_NOTHING = 0,
  A_LONG = 1,
  A_FLOAT = 2,
  A_SYM = 3,
  A_OBJ = 4,
  A_DEFLONG = 5,
  A_DEFFLOAT = 6,
  A_DEFSYM = 7,
  A_GIMME = 8,
  A_CANT = 9,
};

enum { ASSIST_INLET = 1, ASSIST_OUTLET = 2 };

t_class* class_new(const char* name, method mnew, method mfree, long size, method mmenu, short type, ...);
t_max_err class_addmethod(t_class* c, method m, const char* name, ...);
t_max_err class_register(t_symbol* name_space, t_class* c);
t_symbol* gensym(const char* s);
void post(const char* fmt, ...);
void* object_alloc(t_class* c);
void* listout(void* x);
void* outlet_list(void* outlet, t_symbol* s, short ac, t_atom* av);
t_atom_float atom_getfloat(const t_atom* a);
t_max_err atom_setfloat(t_atom* a, double b);
t_max_err atom_gettext(long ac, t_atom* av, long* textsize, char** text, long flags);
void object_post(t_object* x, const char* fmt, ...);
void sysmem_freeptr(void* ptr);
void critical_enter(t_critical x);
void critical_exit(t_critical x);

// The host's own copy of the C runtime's sprintf, imported from MaxAPI.dll under this name
// so that it does not clash with <stdio.h>.
int maxhost_sprintf(char* buffer, const char* fmt, ...);

}  // extern "C"

namespace maxapi {
// The value object_alloc stores in o_magic.
inline constexpr t_ptr_int kObjectMagic = 1758379419;
}  // namespace maxapi

#if defined(_WIN64)
static_assert(sizeof(t_atom) == 16 && offsetof(t_atom, a_w) == 8, "x86-64 atom layout");
static_assert(sizeof(t_object) == 32, "x86-64 object header layout");
static_assert(sizeof(t_symbol) == 16, "x86-64 symbol layout");
#else
static_assert(sizeof(t_atom) == 6 && offsetof(t_atom, a_w) == 2, "x86 atom layout");
static_assert(sizeof(t_object) == 16, "x86 object header layout");
static_assert(sizeof(t_symbol) == 8, "x86 symbol layout");
#endif
static_assert(sizeof(long) == 4, "long is 32 bits on Windows");
