// The shared function-object type. Its instance record is a binary contract:
// modules built elsewhere create and fill instances of whichever type was
// registered first in the process, so fields and their order never change.
#pragma once
#include "frame/state.h"

namespace pelmo {

// The fast entry of a function object: (function, vector, count, keyword names).
typedef PyObject* (*FastEntry)(PyObject* func, PyObject* const* args, size_t nargs, PyObject* kwnames);

struct __pyx_CyFunctionObject {
  PyCFunctionObject func;  // m_self is the object itself, not counted
  FastEntry func_vectorcall;
  PyObject* func_dict;
  PyObject* func_name;
  PyObject* func_qualname;
  PyObject* func_doc;
  PyObject* func_globals;
  PyObject* func_code;
  PyObject* func_closure;
  PyObject* func_classobj;
  void* defaults;
  int defaults_pyobjects;
  size_t defaults_size;
  int flags;
  PyObject* defaults_tuple;
  PyObject* defaults_kwdict;
  PyObject* (*defaults_getter)(PyObject*);
  PyObject* func_annotations;
  PyObject* func_is_coroutine;
};

enum : int {
  kStaticMethod = 0x01,
  kNativeClassMethod = 0x04,
  kCoroutine = 0x08,
};

#ifndef METH_METHOD
#define METH_METHOD 0x0200
#endif

// Body conventions reached through the fast entries.
typedef PyObject* (*FastKeywordsBody)(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames);
typedef PyObject* (*MethodBody)(PyObject* self, PyTypeObject* cls, PyObject* const* args,
                                Py_ssize_t nargs, PyObject* kwnames);

inline __pyx_CyFunctionObject* cyfunction(PyObject* op) {
  return reinterpret_cast<__pyx_CyFunctionObject*>(op);
}
inline PyObject** default_slots(PyObject* op) {
  return static_cast<PyObject**>(cyfunction(op)->defaults);
}
// An optional parameter's default: a module constant, or an object kept in
// the function's dynamic-defaults storage.
inline PyObject* default_value(PyObject* func, const Default& d) {
  return d.kind == Default::kString ? str(d.index) : default_slots(func)[d.index];
}

// Registers the own type in `_cython_3_0_11`, or fetches the one registered
// by an earlier module after checking its instance size.
int fetch_or_register_type();
PyObject* __Pyx_CyFunction_New(PyMethodDef* ml, PyObject* qualname, PyObject* module,
                               PyObject* globals, PyObject* code);
// Zeroed dynamic-defaults storage; null with MemoryError.
void* attach_defaults_storage(PyObject* func, size_t size, int pyobjects);
// The getter of a function whose defaults include objects made at import:
// the pair (defaults tuple, None), the constants taken from the module state
// and the objects from the dynamic-defaults storage, in parameter order.
PyObject* defaults_from_storage(PyObject* func);

}  // namespace pelmo
