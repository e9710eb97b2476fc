// The frame's per-library state. Every library links its own copy of the
// frame, so these fields are per module, and live for the whole process.
#pragma once
#include "frame/desc.h"

namespace pelmo {

// The module's constant objects, in the classic order.
struct ModuleState {
  PyObject* __pyx_d;               // the module's dictionary
  PyObject* __pyx_b;               // builtins
  PyObject* __pyx_cython_runtime;  // shared runtime switches
  PyObject* __pyx_empty_tuple;
  PyObject* __pyx_empty_bytes;
  PyObject* __pyx_empty_unicode;
  PyTypeObject* __pyx_CyFunctionType;
  PyObject* strings[kMaxStrings];
  PyObject* varnames[kMaxFunctions];
  PyObject* code[kMaxFunctions];
  PyObject* defaults[kMaxFunctions];  // constant defaults tuples
  PyObject* builtins[kMaxBuiltins];
};

extern ModuleState __pyx_mstate;
extern PyObject* __pyx_m;
// Defined by the module source.
extern const ModuleDesc kModule;

// The names a module's traceback entries and code objects carry, all
// derived from its dotted name (shown here for "pelmo.list.read").
struct ModuleNames {
  char source_file[128];         // "src\pelmo\list\read": code objects
  char traceback_file[192];      // "src\\pelmo\\list\\read": traceback entries
  char c_file[128];              // "src/pelmo/list/read": C-line mode names
  char init_traceback[128];      // "init pelmo.list.read"
  char defaults_traceback[128];  // "pelmo.list.read.__defaults__"
};
extern ModuleNames module_names;
void init_module_names();

inline PyObject* str(int i) { return __pyx_mstate.strings[i]; }
inline PyObject* builtin(int i) { return __pyx_mstate.builtins[i]; }

}  // namespace pelmo
