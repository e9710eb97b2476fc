// pelmo.list.read: read(n, s="", func=...) reads n lines through `input` and
// converts each as soon as it is read; read_split(s="", spl=" ", func=...)
// reads one line, splits it with its own `split` and converts every piece.
// The default `func` of each is an identity function object of its own.
#include "frame/module.h"

namespace {

using namespace pelmo;

#define MODULE "pelmo.list.read"

enum : int16_t {
  S_func = kFrameStrings,
  S_i,
  S_input,
  S_n,
  S_range,
  S_read,
  S_read_lambda,
  S_read_split,
  S_read_split_lambda,
  S_s,
  S_spl,
  S_split,
  S_empty,
  S_space
};
constexpr StrSpec kStrings[] = {interned("func"),
                                interned("i"),
                                interned("input"),
                                interned("n"),
                                interned("range"),
                                interned("read"),
                                interned("read.<locals>.<lambda>"),
                                interned("read_split"),
                                interned("read_split.<locals>.<lambda>"),
                                interned("s"),
                                interned("spl"),
                                interned("split"),
                                literal(""),
                                literal(" ")};
static_assert(count_of(kStrings) == S_space + 1 - kFrameStrings, "string table and names disagree");

// Both captured at import: later rebinding in builtins changes nothing here.
enum : int { B_range, B_input };
constexpr Builtin kBuiltins[] = {{S_range, true}, {S_input, true}};
static_assert(count_of(kBuiltins) == B_input + 1, "builtins table and names disagree");

// The default converters, `lambda s: s`, written in place on lines 1 and 3.
// They hand back the very object they were given.
PyObject* identity(Call& a) {
  Py_INCREF(a[0]);
  return a[0];
}

// Line 1: the default of read's func.
constexpr Signature kLambdaSig = {"lambda", MODULE ".lambda", 1, __LINE__, 1, 1, false, false,
                                  {S_s}, {required()}};
const FunctionDesc kLambda = {method<kLambdaSig, identity>("lambda"), &kLambdaSig, S_read_lambda,
                              S_read_lambda, false, 1, {S_s}};

// Line 3: the default of read_split's func.
constexpr Signature kLambda1Sig = {"lambda1", MODULE ".lambda1", 3, __LINE__, 1, 1, false, false,
                                   {S_s}, {required()}};
const FunctionDesc kLambda1 = {method<kLambda1Sig, identity>("lambda1"), &kLambda1Sig, S_read_split_lambda,
                               S_read_split_lambda, false, 1, {S_s}};

// Line 1: def read(n, s="", func=lambda s: s):
PyObject* read(Call& a);
constexpr Signature kReadSig = {"read", MODULE ".read", 1, __LINE__, 3, 1, false, false,
                                {S_n, S_s, S_func},
                                {required(), string_default(S_empty), object_default(&kLambda, 0)}};
const FunctionDesc kRead = {method<kReadSig, read>("read"), &kReadSig, S_read,
                            S_read, true, 4, {S_n, S_s, S_func, S_i}};

// Line 3: def read_split(s="", spl=" ", func=lambda s: s):
PyObject* read_split(Call& a);
constexpr Signature kReadSplitSig = {"read_split", MODULE ".read_split", 3, __LINE__, 3, 0, false, false,
                                     {S_s, S_spl, S_func},
                                     {string_default(S_empty), string_default(S_space),
                                      object_default(&kLambda1, 0)}};
const FunctionDesc kReadSplit = {method<kReadSplitSig, read_split>("read_split"), &kReadSplitSig, S_read_split,
                                 S_read_split, true, 4, {S_s, S_spl, S_func, S_i}};

const FunctionDesc* const kFunctions[] = {&kRead, &kReadSplit};

PyObject* read(Call& a) {
  PyObject* n = a[0];
  PyObject* s = a[1];
  PyObject* func = a[2];
  // Line 2: return [func(input(s)) for i in range(n)]
  Ref result = Ref::steal(PyList_New(0));
  if (!result) PELMO_FAIL(a, 2);
  // Each line is converted before the next is read, so a failing conversion
  // leaves the rest of the input unread.
  auto read_one = [&](PyObject*) -> Step {
    Ref line = Ref::steal(__Pyx_PyObject_CallOneArg(builtin(B_input), s));
    if (!line) return PELMO_HERE(2);
    Ref value = Ref::steal(__Pyx_PyObject_CallOneArg(func, line.get()));
    if (!value) return PELMO_HERE(2);
    if (__Pyx_ListAppend(result.get(), value.get()) < 0) return PELMO_HERE(2);
    return kOk;
  };
  // range(n) of an exact int, through the interpreter's own range, runs no
  // code and hands out numbers nobody sees: only their count matters, so
  // neither the range nor its iterator is made.
  bool plain_range = builtin(B_range) == reinterpret_cast<PyObject*>(&PyRange_Type) && PyLong_CheckExact(n);
  int overflow = 0;
  long count = plain_range ? PyLong_AsLongAndOverflow(n, &overflow) : 0;
  if (plain_range && !overflow) {
    for (long i = 0; i < count; ++i) {
      Step s = read_one(nullptr);
      if (s.failed()) return a.fail(s);
    }
    return result.release();
  }
  Ref lines = Ref::steal(__Pyx_PyObject_CallOneArg(builtin(B_range), n));
  if (!lines) PELMO_FAIL(a, 2);
  Step walked = for_each(lines.get(), PELMO_HERE(2), PELMO_HERE(2), read_one);
  if (walked.failed()) return a.fail(walked);
  return result.release();
}

PyObject* read_split(Call& a) {
  PyObject* s = a[0];
  PyObject* spl = a[1];
  PyObject* func = a[2];
  // Line 4: return [func(i) for i in input(s).split(spl)]
  Ref result = Ref::steal(PyList_New(0));
  if (!result) PELMO_FAIL(a, 4);
  Ref line = Ref::steal(__Pyx_PyObject_CallOneArg(builtin(B_input), s));
  if (!line) PELMO_FAIL(a, 4);
  Ref split = Ref::steal(__Pyx_PyObject_GetAttrStr(line.get(), str(S_split)));
  if (!split) PELMO_FAIL(a, 4);
  line.reset();
  Ref pieces = Ref::steal(__Pyx_PyObject_CallMethod1(split.get(), spl));
  if (!pieces) PELMO_FAIL(a, 4);
  split.reset();
  Step walked = for_each(pieces.get(), PELMO_HERE(4),
                         PELMO_HERE(4),
                         [&](PyObject* piece) -> Step {
                           Ref value = Ref::steal(__Pyx_PyObject_CallOneArg(func, piece));
                           if (!value) return PELMO_HERE(4);
                           if (__Pyx_ListAppend(result.get(), value.get()) < 0) return PELMO_HERE(4);
                           return kOk;
                         });
  if (walked.failed()) return a.fail(walked);
  return result.release();
}

}  // namespace

PELMO_MODULE(read, pelmo__list__read, MODULE, kStrings, kBuiltins, kFunctions)
