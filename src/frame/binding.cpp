// Binding a call's vector and keyword names to a function's parameters.
#include "frame/binding.h"

#include <string.h>

#include "frame/cyfunction.h"

namespace pelmo {

namespace {

// Equality of a keyword name and a parameter name: the cheap tests decide
// for exact strings; anything else asks the objects.
int names_equal(PyObject* a, PyObject* b) {
  if (a == b) return 1;
  if (PyUnicode_CheckExact(a) && PyUnicode_CheckExact(b)) {
    Py_ssize_t len = PyUnicode_GET_LENGTH(a);
    if (len != PyUnicode_GET_LENGTH(b)) return 0;
    Py_hash_t ha = reinterpret_cast<PyASCIIObject*>(a)->hash;
    Py_hash_t hb = reinterpret_cast<PyASCIIObject*>(b)->hash;
    if (ha != -1 && hb != -1 && ha != hb) return 0;
    int kind = PyUnicode_KIND(a);
    if (kind != PyUnicode_KIND(b)) return 0;
    if (len == 0) return 1;
    const void* da = PyUnicode_DATA(a);
    const void* db = PyUnicode_DATA(b);
    if (PyUnicode_READ(kind, da, 0) != PyUnicode_READ(kind, db, 0)) return 0;
    return memcmp(da, db, static_cast<size_t>(len) * kind) == 0;
  }
  if ((a == Py_None && PyUnicode_CheckExact(b)) || (b == Py_None && PyUnicode_CheckExact(a))) return 0;
  Ref r = Ref::steal(PyObject_RichCompare(a, b, Py_EQ));
  if (!r) return -1;
  return PyObject_IsTrue(r.get());
}

// The keyword parser's comparison: unequal lengths decide, else the code points.
int same_text(PyObject* key, PyObject* name) {
  if (key == name) return 1;
  if (PyUnicode_GET_LENGTH(key) != PyUnicode_GET_LENGTH(name)) return 0;
  int r = PyUnicode_Compare(key, name);
  if (r == -1 && PyErr_Occurred()) return -1;
  return r == 0;
}

}  // namespace

PyObject* Call::find_keyword(PyObject* name, PyObject* const* kwvalues, PyObject* kwnames) const {
  Py_ssize_t n = PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t i = 0; i < n; ++i)
    if (PyTuple_GET_ITEM(kwnames, i) == name) return kwvalues[i];
  for (Py_ssize_t i = 0; i < n; ++i) {
    int eq = names_equal(PyTuple_GET_ITEM(kwnames, i), name);
    if (eq < 0) return nullptr;
    if (eq) return kwvalues[i];
  }
  return nullptr;
}

void Call::count_error(bool too_many, Py_ssize_t given) const {
  bool exact = !sig_.star_args && sig_.min == sig_.nparams;
  Py_ssize_t expected = too_many ? sig_.nparams : sig_.min;
  PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", sig_.name,
               exact ? "exactly" : (too_many ? "at most" : "at least"), expected, expected == 1 ? "" : "s",
               given);
}

int Call::bind(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  int r = bind_arguments(args, nargs, kwnames);
  if (r > 0) {
    args_.reset();
    kwargs_.reset();
    fail_at(sig_.traceback, sig_.def_line, r);
  }
  return r == kBound ? 0 : -1;
}

int Call::take_extra_positionals(PyObject* const* args, Py_ssize_t nargs) {
  const Signature& s = sig_;
  if (nargs <= s.nparams) {
    args_ = Ref::borrow(__pyx_mstate.__pyx_empty_tuple);
    return 0;
  }
  Py_ssize_t extra = nargs - s.nparams;
  args_ = Ref::steal(PyTuple_New(extra));
  if (!args_) return kNoMemory;
  for (Py_ssize_t i = 0; i < extra; ++i) {
    Py_INCREF(args[s.nparams + i]);
    PyTuple_SET_ITEM(args_.get(), i, args[s.nparams + i]);
  }
  return 0;
}

int Call::bind_arguments(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  const Signature& s = sig_;
  for (PyObject*& v : values_) v = nullptr;  // an unset slot is one still to bind
  Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  if (s.star_kwargs && nkw != 0) {
    kwargs_ = Ref::steal(PyDict_New());
    if (!kwargs_) return kNoMemory;
  }
  if (s.star_args) {
    if (take_extra_positionals(args, nargs) < 0) return kNoMemory;
  } else if (nargs > s.nparams) {
    count_error(true, nargs);
    return failed(FunctionPoint::kCount);
  }
  Py_ssize_t npos = nargs < s.nparams ? nargs : s.nparams;
  for (Py_ssize_t i = 0; i < npos; ++i) values_[i] = args[i];
  if (nkw == 0) {
    if (nargs < s.min) {
      count_error(false, nargs);
      return failed(FunctionPoint::kCount);
    }
  } else {
    PyObject* const* kwvalues = args + nargs;
    Py_ssize_t left = nkw;
    for (Py_ssize_t i = npos; i < s.nparams; ++i) {
      bool required = i < s.min;
      if (!required && left == 0) break;
      PyObject* v = find_keyword(str(s.params[i]), kwvalues, kwnames);
      if (v) {
        values_[i] = v;
        --left;
      } else if (PyErr_Occurred()) {
        return failed(FunctionPoint::kComparison, static_cast<int>(i));
      } else if (required) {
        // Reported with the count of the parameters before it; the first
        // parameter missing is the count error itself.
        count_error(false, i);
        return i == 0 ? failed(FunctionPoint::kCount) : failed(FunctionPoint::kMissing, static_cast<int>(i));
      }
    }
    if (left > 0)
      if (int at = __Pyx_ParseOptionalKeywords(kwnames, kwvalues, s, kwargs_.get(), values_, npos, s.name)) return at;
  }
  for (Py_ssize_t i = s.min; i < s.nparams; ++i)
    if (!values_[i]) values_[i] = default_value(s.defaults[i]);
  return kBound;
}

int __Pyx_ParseOptionalKeywords(PyObject* kwnames, PyObject* const* kwvalues, const Signature& sig,
                                PyObject* kwargs, PyObject** values, Py_ssize_t num_pos_args,
                                const char* function_name) {
  // Whatever goes wrong here is one failure point: the examination of the
  // keywords left over.
  int failed = c_line(sig, FunctionPoint::kKeywords);
  Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    PyObject* value = kwvalues[k];
    Py_ssize_t i = num_pos_args;
    for (; i < sig.nparams; ++i)
      if (str(sig.params[i]) == key) break;
    if (i < sig.nparams) {
      values[i] = value;
      continue;
    }
    if (!PyUnicode_Check(key)) {
      PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", function_name);
      return failed;
    }
    for (i = num_pos_args; i < sig.nparams; ++i) {
      int eq = same_text(key, str(sig.params[i]));
      if (eq < 0) return failed;
      if (eq) break;
    }
    if (i < sig.nparams) {
      values[i] = value;
      continue;
    }
    for (i = 0; i < num_pos_args; ++i) {
      int eq = same_text(key, str(sig.params[i]));
      if (eq < 0) return failed;
      if (eq) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", function_name, key);
        return failed;
      }
    }
    if (kwargs) {
      if (PyDict_SetItem(kwargs, key, value) < 0) return failed;
    } else {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", function_name, key);
      return failed;
    }
  }
  return 0;
}

}  // namespace pelmo
