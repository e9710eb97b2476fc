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

// func(*args[:nargs]): Python functions, vector-taking builtins and this
// type are entered with the vector; anything else through its call slot
// with a tuple built here.
PyObject* __Pyx_PyObject_FastCall(PyObject* func, PyObject* const* args, Py_ssize_t nargs);

inline PyObject* __Pyx_PyObject_CallOneArg(PyObject* func, PyObject* arg) {
  return __Pyx_PyObject_FastCall(func, &arg, 1);
}

// A bound method's function with its instance prepended: the same effect as
// calling the bound method, one object fewer.
PyObject* __Pyx_PyObject_CallMethod1(PyObject* method, PyObject* arg);

// Whether calling `func` through its type's call slot with a tuple and a
// dict does no more than hand the tuple's items and the dict to one of the
// interpreter's vector calls that take a keyword dict: Python functions, and
// builtin functions that do not take their arguments as a tuple. Neither kind
// lets the callee hold the tuple or the dict itself.
inline bool __Pyx_CallSlotTakesVector(PyObject* func) {
  PyTypeObject* type = Py_TYPE(func);
  if (type == &PyFunction_Type) return true;
  return type == &PyCFunction_Type && !(PyCFunction_GET_FLAGS(func) & METH_VARARGS);
}

// For a callee of those kinds: the same call as __Pyx_PyObject_Call with a
// tuple of args[:nargs] and a copy of `kw`, without building either. `kw` is
// a dict (possibly empty) or null.
PyObject* __Pyx_PyObject_CallVectorDict(PyObject* func, PyObject* const* args, Py_ssize_t nargs,
                                        PyObject* kw);

// Whether `func` is a builtin function whose call slot, given a tuple and a
// keyword dict, unpacks them into a vector and keyword names for its body.
inline bool __Pyx_IsFastKeywordsBuiltin(PyObject* func) {
  return Py_TYPE(func) == &PyCFunction_Type &&
         (PyCFunction_GET_FLAGS(func) & ~(METH_CLASS | METH_STATIC | METH_COEXIST)) ==
             (METH_FASTCALL | METH_KEYWORDS);
}

// For such a callee: the same call as __Pyx_PyObject_Call with a tuple of
// args[:nargs] and a dict mapping the names in `kwnames` to the values that
// follow them in `args`, without building either.
PyObject* __Pyx_PyCFunction_CallKeywords(PyObject* func, PyObject* const* args, Py_ssize_t nargs,
                                         PyObject* kwnames);

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
