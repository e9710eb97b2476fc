// pelmo.list.ambrel: ambrel(ls, func, *args, **kwargs) -> a new list of
// func(l, *args, **kwargs) for every element l of ls, in iteration order.
#include "frame/module.h"

namespace {

using namespace pelmo;

#define MODULE "pelmo.list.ambrel"

enum : int16_t { S_ambrel = kFrameStrings, S_args, S_func, S_kwargs, S_l, S_ls };
constexpr StrSpec kStrings[] = {interned("ambrel"), interned("args"), interned("func"),
                                interned("kwargs"), interned("l"),    interned("ls")};
static_assert(count_of(kStrings) == S_ls + 1 - kFrameStrings, "string table and names disagree");

// Line 1: def ambrel(ls, func, *args, **kwargs):
PyObject* ambrel(Call& a);
constexpr Signature kAmbrelSig = {"ambrel", MODULE ".ambrel", 1, __LINE__, 2, 2, true, true,
                                  {S_ls, S_func}, {required(), required()}};
const FunctionDesc kAmbrel = {method<kAmbrelSig, ambrel>("ambrel"), &kAmbrelSig, S_ambrel,
                              S_ambrel, true, 5, {S_ls, S_func, S_args, S_kwargs, S_l}};
const FunctionDesc* const kFunctions[] = {&kAmbrel};

// Extra positional arguments up to this many are passed from a vector on the
// stack to callees that take one.
constexpr Py_ssize_t kDirectArgs = 7;

PyObject* ambrel(Call& a) {
  PyObject* ls = a[0];
  PyObject* func = a[1];
  PyObject* args = a.args();
  PyObject* kwargs = a.kwargs();
  // Line 2: return [func(l, *args, **kwargs) for l in ls]
  Ref result = Ref::steal(PyList_New(0));
  if (!result) PELMO_FAIL(a, 2);
  Step walked = for_each(ls, PELMO_HERE(2),
                         PELMO_HERE(2),
                         [&](PyObject* l) -> Step {
                           // A callee that only ever sees the items of the
                           // tuple and of the keyword copy gets them directly.
                           Py_ssize_t nextra = PyTuple_GET_SIZE(args);
                           if (nextra <= kDirectArgs && __Pyx_CallSlotTakesVector(func)) {
                             PyObject* vector[kDirectArgs + 1];
                             vector[0] = l;
                             for (Py_ssize_t i = 0; i < nextra; ++i) vector[i + 1] = PyTuple_GET_ITEM(args, i);
                             Ref value = Ref::steal(__Pyx_PyObject_CallVectorDict(func, vector, nextra + 1, kwargs));
                             if (!value) return PELMO_HERE(2);
                             if (__Pyx_ListAppend(result.get(), value.get()) < 0) return PELMO_HERE(2);
                             return kOk;
                           }
                           Ref one = Ref::steal(PyTuple_New(1));
                           if (!one) return PELMO_HERE(2);
                           Py_INCREF(l);
                           PyTuple_SET_ITEM(one.get(), 0, l);
                           Ref positional = Ref::steal(PyNumber_Add(one.get(), args));
                           if (!positional) return PELMO_HERE(2);
                           // Every call gets its own keywords: a callee that
                           // changes its dict must not change the next call's.
                           Ref keywords = Ref::steal(kwargs ? PyDict_Copy(kwargs) : PyDict_New());
                           if (!keywords) return PELMO_HERE(2);
                           Ref value = Ref::steal(__Pyx_PyObject_Call(func, positional.get(), keywords.get()));
                           if (!value) return PELMO_HERE(2);
                           positional.reset();
                           keywords.reset();
                           if (__Pyx_ListAppend(result.get(), value.get()) < 0) return PELMO_HERE(2);
                           return kOk;
                         });
  if (walked.failed()) return a.fail(walked);
  return result.release();
}

}  // namespace

PELMO_MODULE(ambrel, pelmo__list__ambrel, MODULE, kStrings, kNoBuiltins, kFunctions)
