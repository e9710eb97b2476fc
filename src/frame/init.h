// A module's creation and execution, as the module definition calls them,
// and the steps the two parts of execution share.
#pragma once
#include "frame/state.h"

namespace pelmo {

// The create step: (spec, definition) -> the module, new reference.
PyObject* __pyx_pymod_create(PyObject* spec, PyModuleDef* def);
// The exec step: 0, or -1 with the exception set.
int exec_module(PyObject* module);

// Execution up to and including the string table, for a module not yet
// executed: -1 when a step failed (no traceback entry is added).
int exec_until_strings(PyObject* module);

int __Pyx_copy_spec_to_module(PyObject* spec, PyObject* moddict, const char* from_name, const char* to_name,
                              int allow_none);
int __Pyx_CreateStringTabAndInitStrings();
PyObject* __Pyx_GetBuiltinName(PyObject* name);

}  // namespace pelmo
