// pelmo.list.count: elemcount(ls) -> {element: ls.count(element)}, keys in
// order of first occurrence.
#include "frame/module.h"
#include "pelmo/list/count_plain.h"

namespace {

using namespace pelmo;

constexpr StringTable kStrings = strings(interned("count"), interned("elemcount"), interned("l"),
                                         interned("ls"), interned("v"), interned("vis"));

// Line 1: def elemcount(ls):
PyObject* elemcount(Call& a);
constexpr Signature kElemcountSig = kStrings.def("elemcount", 1).param("ls").locals("vis", "l", "v");
const FunctionDesc kElemcount = function<kElemcountSig, elemcount>();
constexpr FunctionList kFunctions = functions(kElemcount);

PyObject* elemcount(Call& a) {
  PyObject* ls = a[0];
  // Exact lists and tuples of plain values, strings and bytes are counted by
  // hashing, with the result the statements below give (see count_plain.h).
  if (PyObject* counted = count_plain(ls)) return counted;
  if (PyErr_Occurred()) PELMO_FAIL(a, 4);
  // The local l, which keeps the last element through the count pass; it
  // goes after vis, as a frame's locals go in their order.
  Ref l;
  // Line 2: vis = []
  Ref vis = Ref::steal(PyList_New(0));
  if (!vis) PELMO_FAIL(a, 2);
  // Lines 3-5: for l in ls: if l not in vis: vis.append(l)
  Step walked = for_each(Ref::borrow(ls), l, PELMO_HERE(3),
                         PELMO_HERE(3),
                         [&](PyObject* l) -> Step {
                           int seen = PySequence_Contains(vis.get(), l);
                           if (seen < 0) return PELMO_HERE(4);
                           if (!seen && append_fast(vis.get(), l) < 0) return PELMO_HERE(5);
                           return kOk;
                         });
  if (walked.failed()) return a.fail(walked);
  // Line 6: return {v: ls.count(v) for v in vis}
  Ref result = Ref::steal(PyDict_New());
  if (!result) PELMO_FAIL(a, 6);
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(vis.get()); ++i) {
    Ref v = Ref::borrow(PyList_GET_ITEM(vis.get(), i));
    Ref count = Ref::steal(get_attr(ls, PELMO_STR("count")));
    if (!count) PELMO_FAIL(a, 6);
    Ref n = Ref::steal(call_method_one(count.get(), v.get()));
    if (!n) PELMO_FAIL(a, 6);
    if (PyDict_SetItem(result.get(), v.get(), n.get()) < 0) PELMO_FAIL(a, 6);
  }
  return result.release();
}

}  // namespace

PELMO_MODULE(kStrings, kNoBuiltins, kFunctions)
