// pelmo.list.ambrel: ambrel(ls, func, *args, **kwargs) -> a new list of
// func(l, *args, **kwargs) for every element l of ls, in iteration order.
#include "frame/module.h"

namespace {

using namespace pelmo;

constexpr StringTable kStrings = strings(interned("ambrel"), interned("args"), interned("func"),
                                         interned("kwargs"), interned("l"), interned("ls"));

// Line 1: def ambrel(ls, func, *args, **kwargs):
PyObject* ambrel(Call& a);
constexpr Signature kAmbrelSig =
    kStrings.def("ambrel", 1).param("ls").param("func").varargs("args").varkw("kwargs").locals("l");
const FunctionDesc kAmbrel = function<kAmbrelSig, ambrel>();
constexpr FunctionList kFunctions = functions(kAmbrel);

PyObject* ambrel(Call& a) {
  PyObject* ls = a[0];
  PyObject* func = a[1];
  PyObject* args = a.args();
  PyObject* kwargs = a.kwargs();
  // Line 2: return [func(l, *args, **kwargs) for l in ls]
  Ref result = Ref::steal(PyList_New(0));
  if (!result) PELMO_FAIL(a, 2);
  // func is not even looked at when there is nothing to call it for.
  if (walks_nothing(ls)) return result.release();
  // Where one call of func can fail: making (l,), adding args to it, copying
  // kwargs, and the call.
  const CallFailures call_failed = {PELMO_HERE(2),
                                    PELMO_HERE(2),
                                    PELMO_HERE(2),
                                    PELMO_HERE(2)};
  // The comprehension's l: the last element is released after the walk.
  Ref l;
  Step walked = prepare_call(func, args, kwargs, call_failed, [&](auto& call) {
    return for_each(Ref::borrow(ls), l, PELMO_HERE(2),
                    PELMO_HERE(2),
                    [&](PyObject* l) -> Step {
                      Ref value = Ref::steal(call(l));
                      if (!value) return call.failed();
                      if (append_fast(result.get(), value.get()) < 0) return PELMO_HERE(2);
                      return kOk;
                    });
  });
  if (walked.failed()) return a.fail(walked);
  return result.release();
}

}  // namespace

PELMO_MODULE(kStrings, kNoBuiltins, kFunctions)
