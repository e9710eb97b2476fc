// Argument binding, written once and driven by each function's Signature.
#pragma once
#include "frame/cyfunction.h"
#include "frame/failure.h"
#include "frame/walk.h"

namespace pelmo {

// One call's bound arguments. Named parameters are borrowed (from the
// caller's vector, the module's constants or the function's defaults
// storage); `*args` and `**kwargs` are owned and released with the Call.
class Call {
 public:
  Call(const Signature& sig, PyObject* self) : sig_(sig), self_(self) {}
  Call(const Call&) = delete;
  Call& operator=(const Call&) = delete;

  PyObject* operator[](int i) const { return values_[i]; }
  PyObject* args() const { return args_.get(); }
  // The `**kwargs` dict; null when the call passed no keyword that goes
  // there (an empty dict would never be seen, so none is made).
  PyObject* kwargs() const { return kwargs_.get(); }

  // Reports a failure of the body at a source line, and returns null.
  PyObject* fail(int py_line, int c_line) const { return fail_at(sig_.traceback, py_line, c_line); }
  PyObject* fail(Step at) const { return fail(at.py_line, at.c_line); }

  // 0, or -1 with the exception set and (except for allocation failures of
  // `*args`/`**kwargs`) the traceback entry at the def line added.
  int bind(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

  // The common call, with the signature known at compile time: positional
  // arguments within the counts and no keywords, which binding comes to a
  // few compares and moves (and the `*args` tuple). 1: bound; 0: the call
  // needs bind(); -1: the `*args` tuple could not be made (MemoryError, no
  // traceback entry, as in bind()).
  template <const Signature& S>
  int bind_positional(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if ((kwnames && PyTuple_GET_SIZE(kwnames) != 0) || nargs < S.min || (nargs > S.nparams && !S.star_args))
      return 0;
    for (int i = 0; i < S.nparams; ++i) values_[i] = i < nargs ? args[i] : default_value(S.defaults[i]);
    if (S.star_args) return take_extra_positionals(args, nargs) < 0 ? -1 : 1;
    return 1;
  }

 private:
  // bind_arguments: kBound, kNoMemory (no traceback entry), or the C line of
  // the failure point.
  enum { kBound = 0, kNoMemory = -1 };
  int bind_arguments(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
  // `*args`: the positional arguments beyond the named parameters, or the
  // empty tuple. 0, or kNoMemory.
  int take_extra_positionals(PyObject* const* args, Py_ssize_t nargs);
  void count_error(bool too_many, Py_ssize_t given) const;
  int failed(FunctionPoint point, int k = 0) const { return c_line(sig_, point, k); }
  PyObject* default_value(const Default& d) const { return pelmo::default_value(self_, d); }
  PyObject* find_keyword(PyObject* name, PyObject* const* kwvalues, PyObject* kwnames) const;

  const Signature& sig_;
  PyObject* self_;
  PyObject* values_[kMaxParams];  // filled by bind_positional, or cleared first by bind()
  Ref args_;
  Ref kwargs_;
};

// 0, or with the exception set the C line of the failure point: a keyword
// that is not a string, names a parameter bound by position or no parameter,
// a comparison with a parameter's name that raised, a failed store in kwargs.
int __Pyx_ParseOptionalKeywords(PyObject* kwnames, PyObject* const* kwvalues, const Signature& sig,
                                PyObject* kwargs, PyObject** values, Py_ssize_t num_pos_args,
                                const char* function_name);

// The method entry of a function: binds by its signature, then runs the body.
template <const Signature& S, PyObject* (*Body)(Call&)>
PyObject* entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  Call call(S, self);
  int bound = call.bind_positional<S>(args, nargs, kwnames);
  if (bound < 0 || (bound == 0 && call.bind(args, nargs, kwnames) < 0)) return nullptr;
  return Body(call);
}

// A call with a keyword dict whose keys are all identical to named
// parameters not bound positionally (Python code names keywords with the
// interned names the parameters have) binds exactly as the positional call
// of every named parameter, in order, with the defaults of those not given:
// the general rules compare no keyword for equality, leave none to the
// keyword parser and make no `**kwargs` entry for it. Fills `vector` with
// that call and returns true, or returns false for any other call. Nothing
// here runs Python code, so the dict cannot change during the walk.
template <const Signature& S>
bool keywords_as_positional(PyObject* self, PyObject* args, PyObject* kw, PyObject** vector) {
  Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  if (nargs > S.nparams) return false;
  for (int i = 0; i < S.nparams; ++i) vector[i] = i < nargs ? PyTuple_GET_ITEM(args, i) : nullptr;
  Py_ssize_t pos = 0;
  PyObject *key, *value;
  for (Py_ssize_t k = PyDict_GET_SIZE(kw); k > 0; --k) {
    PyDict_Next(kw, &pos, &key, &value);
    int i = 0;
    while (i < S.nparams && str(S.params[i]) != key) ++i;
    // Not a parameter's name, or one bound positionally.
    if (i == S.nparams || vector[i]) return false;
    vector[i] = value;
  }
  for (int i = 0; i < S.nparams; ++i) {
    if (vector[i]) continue;
    if (i < S.min) return false;
    vector[i] = default_value(self, S.defaults[i]);
  }
  return true;
}

// The call entry of a function (see MethodDef): the call made positional
// where keywords_as_positional allows, else as the function type makes it
// through the fast entry.
template <const Signature& S, PyObject* (*Body)(Call&)>
__attribute__((noinline)) PyObject* call_unpacked_entry(PyObject* self, PyObject* args, PyObject* kw) {
  return call_unpacked(args, kw, [self](PyObject* const* stack, Py_ssize_t nargs, PyObject* names) {
    return entry<S, Body>(self, stack, nargs, names);
  });
}

template <const Signature& S, PyObject* (*Body)(Call&)>
PyObject* call_entry(PyObject* self, PyObject* args, PyObject* kw) {
  PyObject* vector[kMaxParams];
  if (!keywords_as_positional<S>(self, args, kw, vector)) return call_unpacked_entry<S, Body>(self, args, kw);
  // The values from the dict are held: it may be the caller's own dict,
  // which the body could change.
  Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  for (int i = 0; i < S.nparams; ++i)
    if (i >= nargs) Py_INCREF(vector[i]);
  PyObject* result = entry<S, Body>(self, vector, S.nparams, nullptr);
  for (int i = 0; i < S.nparams; ++i)
    if (i >= nargs) Py_DECREF(vector[i]);
  return result;
}

template <const Signature& S, PyObject* (*Body)(Call&)>
MethodDef method() {
  return MethodDef{
      PyMethodDef{S.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(entry<S, Body>)),
                  METH_FASTCALL | METH_KEYWORDS | kWithCallEntry, nullptr},
      call_entry<S, Body>};
}

}  // namespace pelmo
