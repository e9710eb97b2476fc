// pelmo.list.strutils.sprell: multi_str_sprell(sep, *args) splits every
// further argument with its own `split` method at `sep` and returns all the
// pieces in one new list; str_sprell(sep, s) binds a separator and a string.
#include "frame/module.h"

namespace {

using namespace pelmo;

constexpr StringTable kStrings = strings(interned("a"), interned("args"), interned("ls"), interned("multi_str_sprell"),
                                         interned("s"), interned("sep"), interned("split"), interned("str_sprell"));

// Line 1: def str_sprell(sep, s):
PyObject* str_sprell(Call& a);
constexpr Signature kStrSprellSig = kStrings.def("str_sprell", 1).param("sep").param("s");
const FunctionDesc kStrSprell = function<kStrSprellSig, str_sprell>();

// Line 3: def multi_str_sprell(sep, *args):
PyObject* multi_str_sprell(Call& a);
constexpr Signature kMultiStrSprellSig =
    kStrings.def("multi_str_sprell", 3).param("sep").varargs("args").locals("ls", "a");
const FunctionDesc kMultiStrSprell = function<kMultiStrSprellSig, multi_str_sprell>();

constexpr FunctionList kFunctions = functions(kStrSprell, kMultiStrSprell);

// The arguments are bound and nothing more: no attribute of either is read,
// nothing is called, so the call cannot fail once binding has succeeded.
PyObject* str_sprell(Call&) { Py_RETURN_NONE; }

PyObject* multi_str_sprell(Call& a) {
  PyObject* sep = a[0];
  PyObject* args = a.args();
  // Line 4: ls = []
  Ref ls = Ref::steal(PyList_New(0));
  if (!ls) PELMO_FAIL(a, 4);
  // Lines 5-6: for a in args: ls.extend(a.split(sep))
  // `args` is a tuple the call owns, so its items stay put while `split`
  // runs arbitrary code.
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(args); ++i) {
    PyObject* item = PyTuple_GET_ITEM(args, i);
    // Looked up afresh for every item: an earlier `split` may have changed a
    // later item's class.
    Ref split = Ref::steal(get_attr(item, PELMO_STR("split")));
    if (!split) PELMO_FAIL(a, 6);
    Ref pieces = Ref::steal(call_method_one(split.get(), sep));
    if (!pieces) PELMO_FAIL(a, 6);
    // The list's own extension: lists and tuples are copied in one step,
    // anything else is iterated; `ls` (partly filled) is dropped on failure.
    Ref done = Ref::steal(_PyList_Extend(reinterpret_cast<PyListObject*>(ls.get()), pieces.get()));
    if (!done) PELMO_FAIL(a, 6);
  }
  // Line 7: return ls
  return ls.release();
}

}  // namespace

PELMO_MODULE(kStrings, kNoBuiltins, kFunctions)
