// pelmo.list.write: write(ls, sep=" ", end="\n") prints the elements of a
// sequence one per `print` call, each but the last ended by `sep`, the last
// by `end`; an empty sequence prints nothing.
#include "frame/module.h"

namespace {

using namespace pelmo;

constexpr StringTable kStrings = strings(interned("end"), interned("i"), interned("ls"), interned("print"),
                                         interned("range"), interned("sep"), interned("write"), literal(" "),
                                         literal("\n"));

// `range` must exist at import but is never called; `print` is captured then,
// so rebinding it in builtins later does not redirect the output.
constexpr BuiltinTable kBuiltins = builtins(kStrings, require("range"), capture("print"));

// Line 1: def write(ls, sep=" ", end="\n"):
PyObject* write(Call& a);
constexpr Signature kWriteSig = kStrings.def("write", 1)
                                    .param("ls")
                                    .param("sep", default_string(" "))
                                    .param("end", default_string("\n"))
                                    .locals("i");
const FunctionDesc kWrite = function<kWriteSig, write>();
constexpr FunctionList kFunctions = functions(kWrite);

// ls[j] as subscription does it, with the cheap paths taken first. Only the
// exact list and tuple types are read directly: a subclass may define its own
// __getitem__, which must be honoured.
PyObject* get_item(PyObject* ls, Py_ssize_t j) {
  bool is_list = PyList_CheckExact(ls);
  if (is_list || PyTuple_CheckExact(ls)) {
    Py_ssize_t n = is_list ? PyList_GET_SIZE(ls) : PyTuple_GET_SIZE(ls);
    Py_ssize_t k = j < 0 ? j + n : j;
    if (k >= 0 && k < n) {
      PyObject* item = is_list ? PyList_GET_ITEM(ls, k) : PyTuple_GET_ITEM(ls, k);
      Py_INCREF(item);
      return item;
    }
    // Out of range: let the container raise its own IndexError.
    Ref index = Ref::steal(PyLong_FromSsize_t(j));
    return index ? PyObject_GetItem(ls, index.get()) : nullptr;
  }
  PyTypeObject* t = Py_TYPE(ls);
  if (t->tp_as_mapping && t->tp_as_mapping->mp_subscript) {
    Ref index = Ref::steal(PyLong_FromSsize_t(j));
    return index ? t->tp_as_mapping->mp_subscript(ls, index.get()) : nullptr;
  }
  if (t->tp_as_sequence && t->tp_as_sequence->sq_item) {
    if (j < 0 && t->tp_as_sequence->sq_length) {
      Py_ssize_t n = t->tp_as_sequence->sq_length(ls);
      if (n >= 0) {
        j += n;
      } else if (PyErr_ExceptionMatches(PyExc_OverflowError)) {
        // A length too large to report: the item slot gets the index as is.
        PyErr_Clear();
      } else {
        return nullptr;
      }
    }
    return t->tp_as_sequence->sq_item(ls, j);
  }
  Ref index = Ref::steal(PyLong_FromSsize_t(j));
  return index ? PyObject_GetItem(ls, index.get()) : nullptr;
}

// print(item, end=end) through the captured print: the interpreter's own
// print is done in place, any other object is called through its call slot
// with a fresh argument tuple and keyword dict per call. The two failure
// points are the caller's.
Step print_one(InlinePrint& print, PyObject* item, PyObject* end, Step build_failed, Step call_failed) {
  if (print.is_builtin()) return print(item, end) < 0 ? call_failed : kOk;
  Ref args = Ref::steal(PyTuple_New(1));
  if (!args) return build_failed;
  Py_INCREF(item);
  PyTuple_SET_ITEM(args.get(), 0, item);
  Ref kw = Ref::steal(PyDict_New());
  if (!kw) return build_failed;
  if (PyDict_SetItem(kw.get(), PELMO_STR("end"), end) < 0) return build_failed;
  Ref result = Ref::steal(call_object(PELMO_BUILTIN("print"), args.get(), kw.get()));
  if (!result) return call_failed;
  return kOk;
}

PyObject* write(Call& a) {
  PyObject* ls = a[0];
  PyObject* sep = a[1];
  PyObject* end = a[2];
  InlinePrint print(PELMO_BUILTIN("print"));
  // Line 2: for i in range(len(ls) - 1):
  Py_ssize_t n = PyObject_Size(ls);
  if (n < 0) PELMO_FAIL(a, 2);
  // The bound is fixed here: a sequence changed by the printing is not re-measured.
  for (Py_ssize_t i = 0; i < n - 1; ++i) {
    // Line 3: print(ls[i], end=sep)
    Ref item = Ref::steal(get_item(ls, i));
    if (!item) PELMO_FAIL(a, 3);
    Step s = print_one(print, item.get(), sep, PELMO_HERE(3),
                       PELMO_HERE(3));
    if (s.failed()) return a.fail(s);
  }
  // Line 4: if len(ls) == 0: return
  Py_ssize_t again = PyObject_Size(ls);
  if (again < 0) PELMO_FAIL(a, 4);
  if (again == 0) Py_RETURN_NONE;
  // Line 5: print(ls[len(ls) - 1], end=end)
  Py_ssize_t k = PyObject_Size(ls);
  if (k < 0) PELMO_FAIL(a, 5);
  Ref last = Ref::steal(get_item(ls, k - 1));
  if (!last) PELMO_FAIL(a, 5);
  Step s = print_one(print, last.get(), end, PELMO_HERE(5),
                     PELMO_HERE(5));
  if (s.failed()) return a.fail(s);
  Py_RETURN_NONE;
}

}  // namespace

PELMO_MODULE(kStrings, kBuiltins, kFunctions)
