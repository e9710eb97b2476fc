// Direct entry into the callee kinds that take an argument vector.
#include "frame/call.h"

namespace pelmo {

namespace {

// The callee sees the same arguments as through its call slot; only the
// packing differs. Anything unusual goes through the slot with a tuple.
PyObject* call_via_tuple(PyObject* func, PyObject* const* args, Py_ssize_t nargs) {
  Ref tuple = Ref::steal(PyTuple_New(nargs));
  if (!tuple) return nullptr;
  for (Py_ssize_t i = 0; i < nargs; ++i) {
    Py_INCREF(args[i]);
    PyTuple_SET_ITEM(tuple.get(), i, args[i]);
  }
  return __Pyx_PyObject_Call(func, tuple.get(), nullptr);
}

}  // namespace

PyObject* __Pyx_PyObject_FastCall(PyObject* func, PyObject* const* args, Py_ssize_t nargs) {
  PyTypeObject* type = Py_TYPE(func);
  PyObject* result;
  if (type == &PyFunction_Type) {
    if (Py_EnterRecursiveCall(" while calling a Python object")) return nullptr;
    result = _PyFunction_FastCallDict(func, const_cast<PyObject**>(args), nargs, nullptr);
  } else if (type == &PyCFunction_Type) {
    PyMethodDef* ml = reinterpret_cast<PyCFunctionObject*>(func)->m_ml;
    PyObject* self = (ml->ml_flags & METH_STATIC) ? nullptr : PyCFunction_GET_SELF(func);
    int flags = ml->ml_flags & ~(METH_CLASS | METH_STATIC | METH_COEXIST);
    if (flags == METH_O && nargs == 1) {
      if (Py_EnterRecursiveCall(" while calling a Python object")) return nullptr;
      result = ml->ml_meth(self, args[0]);
    } else if (flags == METH_FASTCALL) {
      if (Py_EnterRecursiveCall(" while calling a Python object")) return nullptr;
      result = reinterpret_cast<_PyCFunctionFast>(ml->ml_meth)(self, const_cast<PyObject**>(args), nargs);
    } else if (flags == (METH_FASTCALL | METH_KEYWORDS)) {
      if (Py_EnterRecursiveCall(" while calling a Python object")) return nullptr;
      result = reinterpret_cast<FastKeywordsBody>(ml->ml_meth)(self, args, nargs, nullptr);
    } else {
      return call_via_tuple(func, args, nargs);
    }
  } else if (type == __pyx_mstate.__pyx_CyFunctionType && cyfunction(func)->func_vectorcall) {
    if (Py_EnterRecursiveCall(" while calling a Python object")) return nullptr;
    result = cyfunction(func)->func_vectorcall(func, args, static_cast<size_t>(nargs), nullptr);
  } else {
    return call_via_tuple(func, args, nargs);
  }
  Py_LeaveRecursiveCall();
  return check_result(result);
}

PyObject* __Pyx_PyObject_CallVectorDict(PyObject* func, PyObject* const* args, Py_ssize_t nargs,
                                        PyObject* kw) {
  // The call slots of these types pass the tuple's items and the dict on to
  // exactly these functions.
  if (Py_EnterRecursiveCall(" while calling a Python object")) return nullptr;
  PyObject** vector = const_cast<PyObject**>(args);
  PyObject* result = Py_TYPE(func) == &PyFunction_Type ? _PyFunction_FastCallDict(func, vector, nargs, kw)
                                                       : _PyCFunction_FastCallDict(func, vector, nargs, kw);
  Py_LeaveRecursiveCall();
  return check_result(result);
}

PyObject* __Pyx_PyCFunction_CallKeywords(PyObject* func, PyObject* const* args, Py_ssize_t nargs,
                                         PyObject* kwnames) {
  // Behind the slot the dict would only be unpacked into this vector and
  // names again. The rest is what the slot does for this kind of builtin:
  // its own recursion guard around the body, then the interpreter's check of
  // the body's result.
  if (Py_EnterRecursiveCall(" while calling a Python object")) return nullptr;
  PyMethodDef* ml = reinterpret_cast<PyCFunctionObject*>(func)->m_ml;
  PyObject* self = (ml->ml_flags & METH_STATIC) ? nullptr : PyCFunction_GET_SELF(func);
  PyObject* result = nullptr;
  if (!Py_EnterRecursiveCall(" while calling a Python object")) {
    result = reinterpret_cast<FastKeywordsBody>(ml->ml_meth)(self, args, nargs, kwnames);
    Py_LeaveRecursiveCall();
  }
  result = _Py_CheckFunctionResult(func, result, nullptr);
  Py_LeaveRecursiveCall();
  return check_result(result);
}

PyObject* __Pyx_PyObject_CallMethod1(PyObject* method, PyObject* arg) {
  if (Py_TYPE(method) == &PyMethod_Type && PyMethod_GET_SELF(method)) {
    PyObject* args[2] = {PyMethod_GET_SELF(method), arg};
    return __Pyx_PyObject_FastCall(PyMethod_GET_FUNCTION(method), args, 2);
  }
  return __Pyx_PyObject_FastCall(method, &arg, 1);
}

}  // namespace pelmo
