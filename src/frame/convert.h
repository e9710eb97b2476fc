// The builtin types int, float, str, bool and complex as converters: what
// each type computes for one positional argument, without the call of the
// type. The call itself (its recursion guard, its result check, the
// initialiser of the result) is the prepared callee's, in call.h.
#pragma once
#include "frame/ref.h"

namespace pelmo {

// What the type's tp_new returns when called with the tuple (x,) and no
// keywords, step for step: a new reference, or null with an exception set.
//  int(x)     PyNumber_Long(x)  (long_new, one argument)
//  float(x)   PyFloat_FromString(x) for an exact str, PyNumber_Float(x) for
//             anything else  (float_new)
//  str(x)     PyObject_Str(x)  (unicode_new, one argument); also the
//             conversion of print and input
//  bool(x)    PyObject_IsTrue(x) as True or False  (bool_new)
//  complex(x) complex_new with the real part only
// int and float read the simplest decimal strings themselves, and str
// writes ints below 2**60 itself, where the result is provably the same
// (convert.cpp says why), and leave the rest to the interpreter's own
// routines.

// The characters of a str stored compactly as ASCII: one byte each, right
// after the header.
inline const char* ascii_data(PyObject* s) {
  return reinterpret_cast<const char*>(reinterpret_cast<PyASCIIObject*>(s) + 1);
}

// int(x) and float(x) for an exact str x whose characters are the ASCII
// s[:n], where the readings above take it: true, with `value` the result
// (or null with the exception of making it); false, with nothing done,
// where they leave it to the interpreter.
bool read_int(const char* s, Py_ssize_t n, PyObject*& value);
bool read_float(const char* s, Py_ssize_t n, PyObject*& value);

// The same readings as types, for templates that take one.
struct IntText {
  static bool read(const char* s, Py_ssize_t n, PyObject*& value) { return read_int(s, n, value); }
};
struct FloatText {
  static bool read(const char* s, Py_ssize_t n, PyObject*& value) { return read_float(s, n, value); }
};

PyObject* convert_int(PyObject* x);
PyObject* convert_float(PyObject* x);
PyObject* convert_str(PyObject* x);
PyObject* convert_bool(PyObject* x);
PyObject* convert_complex(PyObject* x);

// Whether type_call, having made `result` by calling `type`, would run an
// initialiser that can do anything: tp_init of the result's type, when the
// result is an instance of `type`, unless it is object's own, which given
// arguments does nothing as long as the type's tp_new is not object's
// (object_init). The types above give instances of their own (str(x) may
// give an instance of a str subclass), whose initialiser is object's.
inline bool runs_initialiser(PyTypeObject* type, PyObject* result) {
  PyTypeObject* t = Py_TYPE(result);
  initproc init = t->tp_init;
  if (!init || (init == PyBaseObject_Type.tp_init && t->tp_new != PyBaseObject_Type.tp_new)) return false;
  return PyType_IsSubtype(t, type) != 0;
}

}  // namespace pelmo
