// Exception matching: a type matches its own classes and their bases, or
// any class of a tuple; the end of an iteration is StopIteration or nothing.
#include "frame/errors.h"

namespace pelmo {

namespace {

bool in_bases(PyTypeObject* a, PyTypeObject* b) {
  while (a) {
    if (a == b) return true;
    a = a->tp_base;
  }
  return b == &PyBaseObject_Type;
}

bool is_subtype(PyTypeObject* a, PyTypeObject* b) {
  PyObject* mro = a->tp_mro;
  if (!mro) return in_bases(a, b);
  Py_ssize_t n = PyTuple_GET_SIZE(mro);
  for (Py_ssize_t i = 0; i < n; ++i)
    if (PyTuple_GET_ITEM(mro, i) == reinterpret_cast<PyObject*>(b)) return true;
  return false;
}

bool class_matches(PyObject* err, PyObject* cls) {
  return is_subtype(reinterpret_cast<PyTypeObject*>(err), reinterpret_cast<PyTypeObject*>(cls));
}

}  // namespace

int given_exception_matches(PyObject* err, PyObject* exc_type) {
  if (err == exc_type) return 1;
  if (err && PyExceptionClass_Check(err)) {
    if (PyExceptionClass_Check(exc_type)) return class_matches(err, exc_type);
    if (PyTuple_Check(exc_type)) {
      Py_ssize_t n = PyTuple_GET_SIZE(exc_type);
      for (Py_ssize_t i = 0; i < n; ++i)
        if (PyTuple_GET_ITEM(exc_type, i) == err) return 1;
      for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PyTuple_GET_ITEM(exc_type, i);
        if (PyExceptionClass_Check(item) && class_matches(err, item)) return 1;
      }
      return 0;
    }
  }
  return PyErr_GivenExceptionMatches(err, exc_type);
}

int exception_matches(PyObject* exc_type) {
  PyObject* current = PyThreadState_GET()->curexc_type;
  if (!current) return 0;
  return given_exception_matches(current, exc_type);
}

int end_of_iteration() {
  PyObject* current = PyThreadState_GET()->curexc_type;
  if (!current) return 0;
  if (!given_exception_matches(current, PyExc_StopIteration)) return -1;
  PyErr_Clear();
  return 0;
}

}  // namespace pelmo
