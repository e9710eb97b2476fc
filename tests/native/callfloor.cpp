// callfloor: a test-only module whose one function, make(), returns an object
// whose call operation returns None without looking at its arguments. It is
// the cheapest object the interpreter can call through a type's call slot:
// the benchmark's reference for what any call of a function object costs
// (the interpreter still builds the argument tuple and the keyword dict).
#include "frame/module.h"

namespace {

using namespace pelmo;

constexpr StringTable kStrings = strings(interned("make"));

PyObject* floor_call(PyObject*, PyObject*, PyObject*) { Py_RETURN_NONE; }

void floor_dealloc(PyObject* op) { PyObject_Free(op); }

PyTypeObject floor_type = {
    PyVarObject_HEAD_INIT(nullptr, 0)
    "callfloor.Floor",  // tp_name
    sizeof(PyObject), 0,
    floor_dealloc,
    0, nullptr, nullptr, nullptr,  // print, getattr, setattr, async
    nullptr,                       // repr
    nullptr, nullptr, nullptr,     // number, sequence, mapping
    nullptr,                       // hash
    floor_call,
};

// Line 1: def make():
PyObject* make(Call& a) {
  if (!(floor_type.tp_flags & Py_TPFLAGS_READY)) {
    floor_type.tp_flags = Py_TPFLAGS_DEFAULT;
    if (PyType_Ready(&floor_type) < 0) PELMO_FAIL(a, 2);
  }
  PyObject* op = PyObject_New(PyObject, &floor_type);
  if (!op) PELMO_FAIL(a, 2);
  return op;
}

constexpr Signature kMakeSig = kStrings.def("make", 1);
const FunctionDesc kMake = function<kMakeSig, make>();
constexpr FunctionList kFunctions = functions(kMake);

}  // namespace

PELMO_MODULE(kStrings, kNoBuiltins, kFunctions)
