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
  PyObject* kwargs() const { return kwargs_.get(); }

  // Reports a failure of the body at a source line, and returns null.
  PyObject* fail(int py_line, int c_line) const { return fail_at(sig_.traceback, py_line, c_line); }
  PyObject* fail(Step at) const { return fail(at.py_line, at.c_line); }

  // 0, or -1 with the exception set and (except for allocation failures of
  // `*args`/`**kwargs`) the traceback entry at the def line added.
  int bind(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

  // The common call: positional arguments within the counts of a function
  // without `*args` and `**kwargs`. With the signature known at compile time
  // this is a few compares and moves; false sends the call to bind().
  template <const Signature& S>
  bool bind_positional(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (S.star_args || S.star_kwargs || (kwnames && PyTuple_GET_SIZE(kwnames) != 0) || nargs < S.min ||
        nargs > S.nparams)
      return false;
    for (int i = 0; i < S.nparams; ++i) values_[i] = i < nargs ? args[i] : default_value(S.defaults[i]);
    return true;
  }

 private:
  // bind_arguments: kBound, kNoMemory (no traceback entry), or the C line of
  // the failure point.
  enum { kBound = 0, kNoMemory = -1 };
  int bind_arguments(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
  void count_error(bool too_many, Py_ssize_t given) const;
  int failed(FunctionPoint point, int k = 0) const { return c_line(sig_, point, k); }
  // An optional parameter's default: a module constant, or an object kept in
  // the function's dynamic-defaults storage.
  PyObject* default_value(const Default& d) const {
    return d.kind == Default::kString ? str(d.index) : default_slots(self_)[d.index];
  }
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
  if (!call.bind_positional<S>(args, nargs, kwnames) && call.bind(args, nargs, kwnames) < 0) return nullptr;
  return Body(call);
}

template <const Signature& S, PyObject* (*Body)(Call&)>
PyMethodDef method() {
  return PyMethodDef{S.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(entry<S, Body>)),
                     METH_FASTCALL | METH_KEYWORDS, nullptr};
}

}  // namespace pelmo
