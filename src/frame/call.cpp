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
  return call_object(func, tuple.get(), nullptr);
}

}  // namespace

PyObject* call_vector(PyObject* func, PyObject* const* args, Py_ssize_t nargs) {
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

PyObject* call_method_one(PyObject* method, PyObject* arg) {
  if (Py_TYPE(method) == &PyMethod_Type && PyMethod_GET_SELF(method)) {
    PyObject* args[2] = {PyMethod_GET_SELF(method), arg};
    return call_vector(PyMethod_GET_FUNCTION(method), args, 2);
  }
  return call_vector(method, &arg, 1);
}

PyObject* DictLookup::look(PyObject* dict, PyObject* key) {
  PyObject* value = PyDict_GetItem(dict, key);
  uint64_t version = reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
  bool unchanged = dict == dict_ && version == version_;
  dict_ = dict;
  version_ = version;
  value_ = value;
  // Remembered only where no comparison can run code: exact str keys.
  remembered_ = false;
  if (!unchanged) return value;
  Py_ssize_t pos = 0;
  PyObject* k;
  while (PyDict_Next(dict, &pos, &k, nullptr))
    if (!PyUnicode_CheckExact(k)) return value;
  remembered_ = true;
  return value;
}

PyObject* Method::misbehaved(PyObject* result) const {
  Ref bound = Ref::steal(PyCFunction_NewEx(def_, self_, nullptr));
  if (!bound) {
    Py_XDECREF(result);
    return nullptr;
  }
  return _Py_CheckFunctionResult(bound.get(), result, nullptr);
}

PyObject* call_method_noargs(PyThreadState* ts, PyObject* obj, PyObject* name, DictLookup* shadow) {
  Method method;
  if (!method.look_up(obj, name, shadow)) return nullptr;
  return method(ts, nullptr, 0);
}

namespace callee {

namespace {

// The tuple (first,); null with `failed` at the tuple's point when it
// cannot be made.
Ref one_tuple(PyObject* first, const CallFailures& failures, Step& failed) {
  Ref one = Ref::steal(PyTuple_New(1));
  if (!one) {
    failed = failures.tuple;
    return one;
  }
  Py_INCREF(first);
  PyTuple_SET_ITEM(one.get(), 0, first);
  return one;
}

}  // namespace

PyObject* initialise_result(PyObject* result, PyObject* first, CallStyle style, const CallFailures& failures,
                            Step& failed) {
  Ref obj = Ref::steal(result);
  Ref args = one_tuple(first, failures, failed);
  if (!args) return nullptr;
  Ref kw;
  if (style == CallStyle::kSlot) {
    kw = Ref::steal(PyDict_New());
    if (!kw) {
      failed = failures.copy;
      return nullptr;
    }
  }
  failed = failures.call;
  if (Py_TYPE(obj.get())->tp_init(obj.get(), args.get(), kw.get()) < 0) return nullptr;
  return obj.release();
}

template <CallStyle S>
PyObject* Generic<S>::operator()(PyObject* first) {
  Ref one = one_tuple(first, failures_, failed_);
  if (!one) return nullptr;
  if (S == CallStyle::kPositional) {
    PyObject* result = call_object(func_, one.get(), nullptr);
    failed_ = failures_.call;
    return result;
  }
  Ref positional = Ref::steal(PyNumber_Add(one.get(), extra_));
  if (!positional) {
    failed_ = failures_.concat;
    return nullptr;
  }
  // Every call gets its own keywords, an empty dict when there are none: a
  // callee that changes its dict must not change the next call's.
  Ref keywords = Ref::steal(kw_ ? PyDict_Copy(kw_) : PyDict_New());
  if (!keywords) {
    failed_ = failures_.copy;
    return nullptr;
  }
  PyObject* result = call_object(func_, positional.get(), keywords.get());
  failed_ = failures_.call;
  return result;
}

template class Generic<CallStyle::kSlot>;
template class Generic<CallStyle::kPositional>;

}  // namespace callee

}  // namespace pelmo
