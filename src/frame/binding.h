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

  // The common calls, with the signature known at compile time: positional
  // arguments within the counts, and keywords each identical to the name of
  // a different parameter not bound by position (Python code names keywords
  // with the interned names the parameters have). For them the general rules
  // compare no keyword for equality, leave none to the keyword parser and
  // store none in `**kwargs`, so binding comes to a few compares and moves
  // (and the `*args` tuple). 1: bound; 0: the call needs bind(); -1: the
  // `*args` tuple could not be made (MemoryError, no traceback entry, as in
  // bind()).
  template <const Signature& S>
  int bind_common(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (nargs > S.nparams && !S.star_args) return 0;
    if (!kwnames) {
      if (nargs < S.min) return 0;
      for (int i = 0; i < S.nparams; ++i) values_[i] = i < nargs ? args[i] : default_value(S.defaults[i]);
    } else if (!bind_identical_keywords<S>(args, nargs, kwnames)) {
      return 0;
    }
    if (S.star_args) return take_extra_positionals(args, nargs) < 0 ? -1 : 1;
    return 1;
  }

 private:
  // The keywords of bind_common: false when one is not identical to the name
  // of a parameter, names one already bound (by position or by an earlier
  // keyword), or a required parameter is left unbound. Out of line: the
  // positional calls stay free of its stack frame.
  template <const Signature& S>
  __attribute__((noinline)) bool bind_identical_keywords(PyObject* const* args, Py_ssize_t nargs,
                                                         PyObject* kwnames) {
    if constexpr (S.nparams == 0) {
      return PyTuple_GET_SIZE(kwnames) == 0;
    } else {
      for (int i = 0; i < S.nparams; ++i) values_[i] = i < nargs ? args[i] : nullptr;
      PyObject* const* kwvalues = args + nargs;
      for (Py_ssize_t k = 0, nkw = PyTuple_GET_SIZE(kwnames); k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        int i = 0;
        while (i < S.nparams && str(S.params[i]) != key) ++i;
        if (i == S.nparams || values_[i]) return false;
        values_[i] = kwvalues[k];
      }
      for (int i = 0; i < S.nparams; ++i) {
        if (values_[i]) continue;
        if (i < S.min) return false;
        values_[i] = default_value(S.defaults[i]);
      }
      return true;
    }
  }

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
  PyObject* values_[kMaxParams];  // filled by bind_common, or cleared first by bind()
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
  int bound = call.bind_common<S>(args, nargs, kwnames);
  if (bound < 0 || (bound == 0 && call.bind(args, nargs, kwnames) < 0)) return nullptr;
  return Body(call);
}

template <const Signature& S, PyObject* (*Body)(Call&)>
PyMethodDef method() {
  return PyMethodDef{S.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(entry<S, Body>)),
                     METH_FASTCALL | METH_KEYWORDS, nullptr};
}

}  // namespace pelmo
