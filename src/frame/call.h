// Calling Python objects from function bodies: the interpreter's recursion
// guard around every call, and a SystemError for a callee that returns null
// without an exception. Common callee kinds are entered directly so that a
// call costs no argument tuple where the callee does not need one.
#pragma once
#include "frame/cyfunction.h"

namespace pelmo {

inline PyObject* check_result(PyObject* result) {
  if (!result && !PyErr_Occurred())
    PyErr_SetString(PyExc_SystemError, "NULL result without error in PyObject_Call");
  return result;
}

// func(*args, **kw) through the type's call slot.
inline PyObject* __Pyx_PyObject_Call(PyObject* func, PyObject* args, PyObject* kw) {
  ternaryfunc call = Py_TYPE(func)->tp_call;
  if (!call) return PyObject_Call(func, args, kw);
  if (Py_EnterRecursiveCall(" while calling a Python object")) return nullptr;
  PyObject* result = call(func, args, kw);
  Py_LeaveRecursiveCall();
  return check_result(result);
}

// func(*args[:nargs]) where the callee accepts a vector; null `tuple_ok`
// means the caller has no tuple to offer.
PyObject* __Pyx_PyObject_FastCall(PyObject* func, PyObject* const* args, Py_ssize_t nargs);

inline PyObject* __Pyx_PyObject_CallOneArg(PyObject* func, PyObject* arg) {
  return __Pyx_PyObject_FastCall(func, &arg, 1);
}

// A bound method's function with its instance prepended: the same effect as
// calling the bound method, one object fewer.
PyObject* __Pyx_PyObject_CallMethod1(PyObject* method, PyObject* arg);

// Attribute lookup through the type's slot.
inline PyObject* __Pyx_PyObject_GetAttrStr(PyObject* obj, PyObject* name) {
  getattrofunc getattro = Py_TYPE(obj)->tp_getattro;
  if (getattro) return getattro(obj, name);
  return PyObject_GetAttr(obj, name);
}

// Appends into spare capacity when there is some.
inline int __Pyx_ListAppend(PyObject* list, PyObject* item) {
  PyListObject* l = reinterpret_cast<PyListObject*>(list);
  Py_ssize_t n = Py_SIZE(l);
  if (n < l->allocated && n > (l->allocated >> 1)) {
    Py_INCREF(item);
    PyList_SET_ITEM(list, n, item);
    Py_SIZE(l) = n + 1;
    return 0;
  }
  return PyList_Append(list, item);
}

}  // namespace pelmo
