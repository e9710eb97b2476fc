// Calling Python objects from function bodies: the interpreter's recursion
// guard around every call, and a SystemError for a callee that returns null
// without an exception. Common callee kinds are entered directly so that a
// call costs no argument tuple where the callee does not need one.
#pragma once
#include "frame/convert.h"
#include "frame/cyfunction.h"
#include "frame/failure.h"

namespace pelmo {

inline PyObject* check_result(PyObject* result) {
  if (!result && !PyErr_Occurred())
    PyErr_SetString(PyExc_SystemError, "NULL result without error in PyObject_Call");
  return result;
}

// func(*args, **kw) through the type's call slot.
inline PyObject* call_object(PyObject* func, PyObject* args, PyObject* kw) {
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
PyObject* call_vector(PyObject* func, PyObject* const* args, Py_ssize_t nargs);

inline PyObject* call_one(PyObject* func, PyObject* arg) {
  return call_vector(func, &arg, 1);
}

// A bound method's function with its instance prepended: the same effect as
// calling the bound method, one object fewer.
PyObject* call_method_one(PyObject* method, PyObject* arg);

// Whether `f` is the builtins module's function `name`, of the calling
// convention `flags`: builtin functions carry the module whose method table
// made them as their self.
inline bool is_builtins_function(PyObject* f, const char* name, int flags) {
  if (Py_TYPE(f) != &PyCFunction_Type) return false;
  PyCFunctionObject* func = reinterpret_cast<PyCFunctionObject*>(f);
  return func->m_self == __pyx_mstate.__pyx_b && func->m_ml->ml_flags == flags && same_text(func->m_ml->ml_name, name);
}

// Attribute lookup through the type's slot.
inline PyObject* get_attr(PyObject* obj, PyObject* name) {
  getattrofunc getattro = Py_TYPE(obj)->tp_getattro;
  if (getattro) return getattro(obj, name);
  return PyObject_GetAttr(obj, name);
}

// Appends into spare capacity when there is some.
inline int append_fast(PyObject* list, PyObject* item) {
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

// --- the calling thread's state, fetched once ---------------------------------------

// The interpreter's recursion guard (Py_EnterRecursiveCall and
// Py_LeaveRecursiveCall, the same accounting and the same RecursionError)
// for a caller that already holds its thread's state. The state of the
// calling thread stays the same object for as long as the call runs, even
// if a callee releases the interpreter lock meanwhile.
inline bool enter_call(PyThreadState* ts, const char* where = " while calling a Python object") {
  return _Py_MakeRecCheck(ts->recursion_depth) && _Py_CheckRecursiveCall(where);
}
inline void leave_call(PyThreadState* ts) {
  if (_Py_MakeEndRecCheck(ts->recursion_depth)) ts->overflowed = 0;
}

// Whether `levels` more nested guarded calls from here would all stay within
// the recursion limit, with no recovery from an overflow under way. A
// shortcut that leaves out guarded calls runs only then: nearer the limit
// the calls are made, and fail exactly where they fail.
inline bool within_recursion_limit(PyThreadState* ts, int levels) {
  return !ts->overflowed && ts->recursion_depth + levels <= _Py_CheckRecursionLimit;
}

inline PyObject* check_result(PyThreadState* ts, PyObject* result) {
  if (!result && !ts->curexc_type)
    PyErr_SetString(PyExc_SystemError, "NULL result without error in PyObject_Call");
  return result;
}

// What the interpreter checks after a builtin's body returns: a null result
// needs an exception, a result must come without one (_Py_CheckFunctionResult,
// whose messages name `callee`).
inline PyObject* check_builtin_result(PyThreadState* ts, PyObject* callee, PyObject* result) {
  if (result && !ts->curexc_type) return result;
  return _Py_CheckFunctionResult(callee, result, nullptr);
}

// body() under call_object's recursion guard, with its result check.
template <typename Body>
PyObject* guarded_call(PyThreadState* ts, Body&& body) {
  if (enter_call(ts)) return nullptr;
  PyObject* result = body();
  leave_call(ts);
  return check_result(ts, result);
}

// --- builtin methods found on a type --------------------------------------------------

// PyDict_GetItem(dict, key) for a key of exact type str, remembered for
// calls that look up the same key again and again. Every change of a dict's
// contents gives it a new version tag (no two dicts ever share one), and a
// lookup in a dict whose keys are all of exact type str compares strings
// only and runs no code: while the same such dict keeps its tag, the lookup
// would find the same, and is not made again. Only a dict found unchanged
// from one lookup to the next has its keys looked at, once.
class DictLookup {
 public:
  // (The tag and value are read only once a lookup has set them.)
  DictLookup() : dict_(nullptr), remembered_(false) {}
  // Borrowed; null when absent (no exception, as PyDict_GetItem).
  PyObject* get(PyObject* dict, PyObject* key) {
    if (remembered_ && dict == dict_ && reinterpret_cast<PyDictObject*>(dict)->ma_version_tag == version_)
      return value_;
    return look(dict, key);
  }

 private:
  PyObject* look(PyObject* dict, PyObject* key);

  PyObject* dict_;  // the dict of the last lookup, and its tag then
  uint64_t version_;
  PyObject* value_;
  bool remembered_;  // whether the last lookup stands for the next ones
};

// A method of an object, looked up by name for a call with positional
// arguments, as the interpreter looks one up and calls it: generic attribute
// lookup, then a call of what it found. When the lookup would bind a builtin
// method of the object's type (a method descriptor that applies to it, no
// instance attribute of that name in the way), only the method's definition
// is kept and the call enters it directly: no bound method is made. The
// object is borrowed and must outlive the Method.
class Method {
 public:
  Method() : self_(nullptr), def_(nullptr) {}
  Method(const Method&) = delete;
  Method& operator=(const Method&) = delete;
  // False, with the lookup's exception set, when the lookup fails. With
  // `shadow`, the instance dict is looked at through it.
  bool look_up(PyObject* obj, PyObject* name, DictLookup* shadow = nullptr) {
    self_ = obj;
    def_ = lookup_method(obj, name, attr_, shadow);
    return def_ || attr_;
  }
  // The call, without keywords: as calling the bound method (the
  // builtin's recursion guard and result check) or the attribute.
  PyObject* operator()(PyThreadState* ts, PyObject* const* args, Py_ssize_t nargs) const {
    if (!def_) return _PyObject_FastCallDict(attr_.get(), args, nargs, nullptr);
    // The bound method's call: its definition entered with the instance,
    // the two commonest conventions here, the others by the interpreter.
    PyObject* result;
    int flags = def_->ml_flags & ~METH_COEXIST;
    if ((flags == METH_NOARGS && nargs == 0) || (flags == METH_O && nargs == 1)) {
      if (enter_call(ts)) return nullptr;
      result = def_->ml_meth(self_, nargs ? args[0] : nullptr);
      leave_call(ts);
    } else {
      result = _PyMethodDef_RawFastCallDict(def_, self_, args, nargs, nullptr);
    }
    if (result ? !ts->curexc_type : ts->curexc_type != nullptr) return result;
    return misbehaved(result);
  }
  // Drops the attribute, as the interpreter drops it after the call.
  void release() { attr_.reset(); }

 private:
  // The builtin method of obj's type that generic lookup of `name` would
  // bind, or null (and then `attr` holds what the lookup finds, or is empty
  // with its exception set).
  static PyMethodDef* lookup_method(PyObject* obj, PyObject* name, Ref& attr, DictLookup* shadow);
  // A result with an exception set, or none without: the interpreter's
  // SystemError, which names the bound method.
  PyObject* misbehaved(PyObject* result) const;

  PyObject* self_;
  PyMethodDef* def_;  // the builtin method; else attr_ holds the attribute
  Ref attr_;
};

inline PyMethodDef* Method::lookup_method(PyObject* obj, PyObject* name, Ref& attr, DictLookup* shadow) {
  PyTypeObject* type = Py_TYPE(obj);
  // With an exception pending, a type lookup that misses the interpreter's
  // method cache clears it and finds nothing: only the interpreter's own
  // lookup, made once, does exactly that.
  if (type->tp_getattro == PyObject_GenericGetAttr && type->tp_dict && !PyErr_Occurred()) {
    // What generic lookup does, up to the binding: the type's attribute, a
    // method descriptor (not a data descriptor, so an instance attribute of
    // the same name comes first, the descriptor held while looking, which
    // may run code), then the instance dict, then the descriptor's binding.
    PyObject* descr = _PyType_Lookup(type, name);
    if (descr && Py_TYPE(descr) == &PyMethodDescr_Type) {
      Ref held;
      PyObject** dictptr = _PyObject_GetDictPtr(obj);
      if (dictptr && *dictptr) {
        held = Ref::borrow(descr);
        Ref dict = Ref::borrow(*dictptr);
        if (PyObject* in_dict = shadow ? shadow->get(dict.get(), name) : PyDict_GetItem(dict.get(), name)) {
          attr = Ref::borrow(in_dict);
          return nullptr;
        }
      }
      PyMethodDescrObject* method = reinterpret_cast<PyMethodDescrObject*>(descr);
      // The binding makes the bound method, the one thing left out (the
      // definition belongs to the type, not to the descriptor); a
      // descriptor of another type (copied into a class) refuses it.
      if (PyObject_TypeCheck(obj, method->d_common.d_type)) return method->d_method;
      attr = Ref::steal(Py_TYPE(descr)->tp_descr_get(descr, obj, reinterpret_cast<PyObject*>(Py_TYPE(obj))));
      return nullptr;
    }
  }
  attr = Ref::steal(get_attr(obj, name));
  return nullptr;
}

// obj.name(): the method call by name without arguments, the attribute
// dropped before the result is returned. (The interpreter's method calls
// by format also refuse an attribute that cannot be called, with a message
// of their own, before calling: where the builtins make those, they ignore
// the failure either way.)
PyObject* call_method_noargs(PyThreadState* ts, PyObject* obj, PyObject* name, DictLookup* shadow = nullptr);

// --- one callee, many calls --------------------------------------------------------------

// Where a call of func(first, *extra, **kw) can fail, one failure point
// each: making the tuple (first,), adding `extra` to it, copying `kw` (these
// three only for callees that are given a tuple and a dict), and the call.
struct CallFailures {
  Step tuple;
  Step concat;
  Step copy;
  Step call;
};

// How the calls of a prepared callee are made:
// - kSlot: func(first, *extra, **kw) through the callee's call slot, with a
//   new tuple (first,) + extra and a new copy of kw (an empty dict when there
//   are none) for every call, under call_object's recursion guard;
// - kPositional: func(first) as call_one makes it, one positional argument
//   and no keyword dict at all (call_vector's kinds and recursion guards).
enum class CallStyle { kSlot, kPositional };

// Extra positional arguments up to this many are passed from a vector on the
// stack to callees that take one; more go through the generic call.
constexpr Py_ssize_t kMaxVectorExtra = 7;

namespace callee {

// (self,) first, *extra as a vector: set up once, with the slot of `first`
// filled per call. `extra` is a tuple, or null for none. Borrows everything;
// not copied once made.
class Vector {
 public:
  Vector(PyObject* self, PyObject* extra) {
    Py_ssize_t k = 0;
    if (self) slots_[k++] = self;
    first_ = k++;
    Py_ssize_t nextra = extra ? PyTuple_GET_SIZE(extra) : 0;
    for (Py_ssize_t i = 0; i < nextra; ++i) slots_[k++] = PyTuple_GET_ITEM(extra, i);
    n_ = k;
  }
  Vector(const Vector&) = delete;
  Vector& operator=(const Vector&) = delete;
  PyObject** with(PyObject* first) {
    slots_[first_] = first;
    return slots_;
  }
  Py_ssize_t size() const { return n_; }

 private:
  PyObject* slots_[kMaxVectorExtra + 2];
  Py_ssize_t first_;
  Py_ssize_t n_;
};

// Each kind below makes exactly the call that its style says, under the same
// recursion guards, with the same result checks. Calling one returns a new
// reference, or null with an exception set and failed() naming the failure
// point.

// The kinds entered with a vector and a keyword dict (or none):
// - a Python function, or a bound method whose function is one (its call
//   slot prepends the instance and hands over to the function's); the
//   keywords are copied by the callee's frame set-up, never kept;
// - a builtin function that does not take its arguments as a tuple, through
//   the interpreter's own vector call, which unpacks the dict for the body or
//   reports what does not fit the builtin's convention;
// - a function object of the shared type with a fast entry, without
//   keywords: its call slot hands the tuple's items to that entry.
// Each is one call under the call slot's recursion guard and result check,
// in either style (call_vector enters them the same way, or goes through the
// same call slot with a tuple).
inline PyObject* enter_fast_entry(PyObject* func, PyObject* const* args, Py_ssize_t nargs, PyObject*) {
  return cyfunction(func)->func_vectorcall(func, args, static_cast<size_t>(nargs), nullptr);
}

template <PyObject* (*Enter)(PyObject* func, PyObject* const* args, Py_ssize_t nargs, PyObject* kw)>
class VectorCall {
 public:
  VectorCall(PyThreadState* ts, PyObject* func, PyObject* self, PyObject* extra, PyObject* kw, Step failed)
      : ts_(ts), func_(func), kw_(kw), args_(self, extra), failed_(failed) {}
  PyObject* operator()(PyObject* first) {
    PyObject** args = args_.with(first);
    return guarded_call(ts_, [&] { return Enter(func_, args, args_.size(), kw_); });
  }
  Step failed() const { return failed_; }

 private:
  PyThreadState* ts_;
  PyObject* func_;
  PyObject* kw_;  // null when there are none
  Vector args_;
  Step failed_;
};

using PyFunction = VectorCall<_PyFunction_FastCallDict>;
using BuiltinDict = VectorCall<_PyCFunction_FastCallDict>;
using CyFunction = VectorCall<enter_fast_entry>;

// The calling conventions of builtins that take a vector and no keywords.
enum class Convention { kO, kFast, kFastKeywords };

// A builtin function of such a convention, called without keywords (and,
// for kO, with exactly one argument). Through its call slot (kSlot) there is
// the builtin's own recursion guard around its body, then the interpreter's
// result check; call_one enters the body under one guard (kPositional).
template <Convention C, CallStyle S>
class Builtin {
 public:
  Builtin(PyThreadState* ts, PyObject* func, PyObject* extra, Step failed)
      : ts_(ts),
        func_(func),
        self_(PyCFunction_GET_SELF(func)),
        meth_(PyCFunction_GET_FUNCTION(func)),
        args_(nullptr, extra),
        failed_(failed) {}
  PyObject* operator()(PyObject* first) {
    if (S == CallStyle::kPositional) return guarded_call(ts_, [&] { return body(first); });
    if (enter_call(ts_)) return nullptr;
    PyObject* result = nullptr;
    if (!enter_call(ts_)) {
      result = body(first);
      leave_call(ts_);
    }
    result = check_builtin_result(ts_, func_, result);
    leave_call(ts_);
    return result;
  }
  Step failed() const { return failed_; }

 private:
  PyObject* body(PyObject* first) {
    if (C == Convention::kO) return meth_(self_, first);
    if (C == Convention::kFast)
      return reinterpret_cast<_PyCFunctionFast>(meth_)(self_, args_.with(first), args_.size());
    return reinterpret_cast<_PyCFunctionFastWithKeywords>(meth_)(self_, args_.with(first), args_.size(), nullptr);
  }

  PyThreadState* ts_;
  PyObject* func_;
  PyObject* self_;
  PyCFunction meth_;
  Vector args_;
  Step failed_;
};

// type_call's last step for a result whose type has an initialiser that can
// do something (runs_initialiser): that initialiser, given the arguments of
// the call, made here: the tuple (first,) and, in the slot style, an empty
// dict. Takes over `result`; returns it, or null with `failed` set.
PyObject* initialise_result(PyObject* result, PyObject* first, CallStyle style, const CallFailures& failures,
                            Step& failed);

// One of the builtin types int, float, str, bool and complex, called with
// one argument and no keywords: what its call slot (type_call) does, in the
// same order and under call_object's recursion guard, either style: what
// the type's tp_new computes (Convert, see convert.h), the result check that
// names the type, and the initialiser of the result's type where it can do
// anything (an instance of a str subclass from __str__), which is given an
// argument tuple made only then.
// Whether a converter reads text where it lies (read()): its `Text` is a
// reading of convert.h (IntText, FloatText), or void for none.
template <typename Text>
constexpr bool kHasText = true;
template <>
constexpr bool kHasText<void> = false;

template <PyObject* (*Convert)(PyObject* x), typename Text, CallStyle S>
class Converter {
 public:
  Converter(PyThreadState* ts, PyObject* type, const CallFailures& failures)
      : ts_(ts), type_(type), failures_(failures), failed_(failures.call) {}
  PyObject* operator()(PyObject* first) {
    return guarded_call(ts_, [&] {
      PyObject* result = check_builtin_result(ts_, type_, Convert(first));
      if (result && runs_initialiser(reinterpret_cast<PyTypeObject*>(type_), result))
        result = initialise_result(result, first, S, failures_, failed_);
      return result;
    });
  }
  // What the call with the exact str of the ASCII characters s[:n] would
  // do, where the type reads them itself (its result, an int or a float,
  // runs no initialiser) and its guard is not near the limit: true, with
  // `value` the result, or null and failed() the call's point. False, with
  // nothing done, where the str must be made and called with.
  bool read(const char* s, Py_ssize_t n, PyObject*& value) {
    if constexpr (kHasText<Text>) {
      if (within_recursion_limit(ts_, 1) && Text::read(s, n, value)) {
        value = check_builtin_result(ts_, type_, value);
        return true;
      }
    }
    return false;
  }
  Step failed() const { return failed_; }

 private:
  PyThreadState* ts_;
  PyObject* type_;
  const CallFailures& failures_;
  Step failed_;
};

// Anything else, through the call slot: in the slot style a new tuple
// (first,) + extra and a new copy of kw for every call, in the positional
// style the tuple (first,) and no dict. The callee may keep either.
template <CallStyle S>
class Generic {
 public:
  Generic(PyObject* func, PyObject* extra, PyObject* kw, const CallFailures& failures)
      : func_(func), extra_(extra), kw_(kw), failures_(failures), failed_(failures.call) {}
  PyObject* operator()(PyObject* first);
  Step failed() const { return failed_; }

 private:
  PyObject* func_;
  PyObject* extra_;
  PyObject* kw_;
  const CallFailures& failures_;
  Step failed_;
};

extern template class Generic<CallStyle::kSlot>;
extern template class Generic<CallStyle::kPositional>;

}  // namespace callee

// --- preparing a callee ------------------------------------------------------------------

// visit(call) with `type` as a converter.
template <PyObject* (*Convert)(PyObject* x), typename Text, CallStyle S, typename Visit>
auto visit_converter(PyThreadState* ts, PyObject* type, const CallFailures& failures, Visit& visit) {
  callee::Converter<Convert, Text, S> call(ts, type, failures);
  return visit(call);
}

// Whether a prepared callee (or a reference to one, as in decltype(call))
// reads text where it lies (Converter::read): only the converters that read
// decimal strings do.
template <typename Callee>
constexpr bool kReadsText = false;
template <typename Callee>
constexpr bool kReadsText<Callee&> = kReadsText<Callee>;
template <PyObject* (*Convert)(PyObject* x), typename Text, CallStyle S>
constexpr bool kReadsText<callee::Converter<Convert, Text, S>> = callee::kHasText<Text>;

// prepare_call in either style; `extra` may be null for none.
template <CallStyle S, typename Visit>
auto prepare_callee(PyObject* func, PyObject* extra, PyObject* kw, const CallFailures& failures, Visit& visit) {
  PyThreadState* ts = PyThreadState_Get();
  Py_ssize_t nextra = extra ? PyTuple_GET_SIZE(extra) : 0;
  PyObject* kw_or_null = kw && PyDict_GET_SIZE(kw) != 0 ? kw : nullptr;
  PyTypeObject* type = Py_TYPE(func);
  if (type == &PyType_Type && nextra == 0 && !kw_or_null) {
    // The builtin types themselves, never a subclass.
    PyTypeObject* t = reinterpret_cast<PyTypeObject*>(func);
    if (t == &PyLong_Type) return visit_converter<convert_int, IntText, S>(ts, func, failures, visit);
    if (t == &PyFloat_Type) return visit_converter<convert_float, FloatText, S>(ts, func, failures, visit);
    if (t == &PyUnicode_Type) return visit_converter<convert_str, void, S>(ts, func, failures, visit);
    if (t == &PyBool_Type) return visit_converter<convert_bool, void, S>(ts, func, failures, visit);
    if (t == &PyComplex_Type) return visit_converter<convert_complex, void, S>(ts, func, failures, visit);
  }
  if (nextra <= kMaxVectorExtra) {
    if (type == &PyFunction_Type) {
      callee::PyFunction call(ts, func, nullptr, extra, kw_or_null, failures.call);
      return visit(call);
    }
    if (type == &PyMethod_Type && Py_TYPE(PyMethod_GET_FUNCTION(func)) == &PyFunction_Type) {
      callee::PyFunction call(ts, PyMethod_GET_FUNCTION(func), PyMethod_GET_SELF(func), extra, kw_or_null,
                              failures.call);
      return visit(call);
    }
    if (type == &PyCFunction_Type && !(PyCFunction_GET_FLAGS(func) & METH_VARARGS)) {
      int flags = PyCFunction_GET_FLAGS(func) & ~(METH_CLASS | METH_STATIC | METH_COEXIST);
      if (!kw_or_null && flags == METH_O && nextra == 0) {
        callee::Builtin<callee::Convention::kO, S> call(ts, func, extra, failures.call);
        return visit(call);
      }
      if (!kw_or_null && flags == METH_FASTCALL) {
        callee::Builtin<callee::Convention::kFast, S> call(ts, func, extra, failures.call);
        return visit(call);
      }
      if (!kw_or_null && flags == (METH_FASTCALL | METH_KEYWORDS)) {
        callee::Builtin<callee::Convention::kFastKeywords, S> call(ts, func, extra, failures.call);
        return visit(call);
      }
      callee::BuiltinDict call(ts, func, nullptr, extra, kw_or_null, failures.call);
      return visit(call);
    }
    if (type == __pyx_mstate.__pyx_CyFunctionType && cyfunction(func)->func_vectorcall && !kw_or_null) {
      callee::CyFunction call(ts, func, nullptr, extra, nullptr, failures.call);
      return visit(call);
    }
  }
  callee::Generic<S> call(func, extra, kw, failures);
  return visit(call);
}

// Calls visit(call) with a callable `call` such that call(first) does what
// call_object(func, (first,) + extra, dict(kw)) does, and returns
// what visit returns. `extra` is a tuple, `kw` a dict with string keys (or
// null); both must stay unchanged while `call` is used. The callee's kind is
// decided here, once: each kind is a type of its own, so a loop in `visit`
// is compiled for it and does not look at the callee again.
template <typename Visit>
auto prepare_call(PyObject* func, PyObject* extra, PyObject* kw, const CallFailures& failures, Visit&& visit) {
  return prepare_callee<CallStyle::kSlot>(func, extra, kw, failures, visit);
}

// The same for calls of func(first) as call_one makes them: one positional
// argument, no keyword dict; such a call fails in making the tuple (first,)
// (for the callees given one) or in the call.
template <typename Visit>
auto prepare_call(PyObject* func, Step tuple_failed, Step call_failed, Visit&& visit) {
  const CallFailures failures = {tuple_failed, tuple_failed, tuple_failed, call_failed};
  return prepare_callee<CallStyle::kPositional>(func, nullptr, nullptr, failures, visit);
}

}  // namespace pelmo
