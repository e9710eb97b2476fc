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

PyMethodDef* lookup_method_o(PyObject* obj, PyObject* name, Ref& attr) {
  PyTypeObject* type = Py_TYPE(obj);
  if (type->tp_getattro == PyObject_GenericGetAttr && type->tp_dict) {
    // What generic lookup does, up to the binding: the type's attribute, a
    // method descriptor (not a data descriptor, so an instance attribute of
    // the same name comes first), then the instance dict.
    PyObject* descr = _PyType_Lookup(type, name);
    if (descr && Py_TYPE(descr) == &PyMethodDescr_Type) {
      PyMethodDescrObject* method = reinterpret_cast<PyMethodDescrObject*>(descr);
      PyMethodDef* def = method->d_method;
      // A descriptor of another type (copied into a class) refuses to bind:
      // generic lookup raises its TypeError.
      if ((def->ml_flags & ~METH_COEXIST) == METH_O && PyObject_TypeCheck(obj, method->d_common.d_type)) {
        PyObject** dictptr = _PyObject_GetDictPtr(obj);
        if (dictptr && *dictptr) {
          Ref dict = Ref::borrow(*dictptr);
          if (PyObject* shadow = PyDict_GetItem(dict.get(), name)) {
            attr = Ref::borrow(shadow);
            return nullptr;
          }
        }
        // The definition stays valid: it belongs to the type's module, not
        // to the descriptor, which the dict lookup above may have released.
        return def;
      }
    }
  }
  attr = Ref::steal(get_attr(obj, name));
  return nullptr;
}

PyObject* call_method_o(PyThreadState* ts, PyMethodDef* def, PyObject* self, PyObject* arg) {
  PyObject* result = nullptr;
  if (!enter_call(ts)) {
    result = def->ml_meth(self, arg);
    leave_call(ts);
  }
  if (result ? !ts->curexc_type : ts->curexc_type != nullptr) return result;
  // A result with an exception, or none without: the interpreter's message
  // names the bound method, made here for it.
  Ref bound = Ref::steal(PyCFunction_NewEx(def, self, nullptr));
  if (!bound) {
    Py_XDECREF(result);
    return nullptr;
  }
  return _Py_CheckFunctionResult(bound.get(), result, nullptr);
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
