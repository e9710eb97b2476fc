// pelmo.list.read: read(n, s="", func=...) reads n lines through `input` and
// converts each as soon as it is read; read_split(s="", spl=" ", func=...)
// reads one line, splits it with its own `split` and converts every piece.
// The default `func` of each is an identity function object of its own.
#include "frame/module.h"

namespace {

using namespace pelmo;

constexpr StringTable kStrings = strings(interned("func"), interned("i"), interned("input"), interned("n"),
                                         interned("range"), interned("read"), interned("read.<locals>.<lambda>"),
                                         interned("read_split"), interned("read_split.<locals>.<lambda>"),
                                         interned("s"), interned("spl"), interned("split"), literal(""), literal(" "));

// Both captured at import: later rebinding in builtins changes nothing here.
constexpr BuiltinTable kBuiltins = builtins(kStrings, capture("range"), capture("input"));

// The default converters, `lambda s: s`, written in place on lines 1 and 3.
// They hand back the very object they were given.
PyObject* identity(Call& a) {
  Py_INCREF(a[0]);
  return a[0];
}

// Line 1: the default of read's func.
constexpr Signature kLambdaSig = kStrings.lambda("lambda", 1, "read.<locals>.<lambda>").param("s");
const FunctionDesc kLambda = function<kLambdaSig, identity>();

// Line 3: the default of read_split's func.
constexpr Signature kLambda1Sig = kStrings.lambda("lambda1", 3, "read_split.<locals>.<lambda>").param("s");
const FunctionDesc kLambda1 = function<kLambda1Sig, identity>();

// Line 1: def read(n, s="", func=lambda s: s):
PyObject* read(Call& a);
constexpr Signature kReadSig = kStrings.def("read", 1)
                                   .param("n")
                                   .param("s", default_string(""))
                                   .param("func", default_object(kLambda))
                                   .locals("i");
const FunctionDesc kRead = function<kReadSig, read>();

// Line 3: def read_split(s="", spl=" ", func=lambda s: s):
PyObject* read_split(Call& a);
constexpr Signature kReadSplitSig = kStrings.def("read_split", 3)
                                        .param("s", default_string(""))
                                        .param("spl", default_string(" "))
                                        .param("func", default_object(kLambda1))
                                        .locals("i");
const FunctionDesc kReadSplit = function<kReadSplitSig, read_split>();

constexpr FunctionList kFunctions = functions(kRead, kReadSplit);

PyObject* read(Call& a) {
  PyObject* n = a[0];
  PyObject* s = a[1];
  PyObject* func = a[2];
  // Line 2: return [func(input(s)) for i in range(n)]
  Ref result = Ref::steal(PyList_New(0));
  if (!result) PELMO_FAIL(a, 2);
  InlineInput input(PELMO_BUILTIN("input"));
  const Step input_failed = PELMO_HERE(2);
  // Where a call of func can fail: making (line,), and the call.
  const Step tuple_failed = PELMO_HERE(2), call_failed = PELMO_HERE(2);
  // Each line is converted before the next is read, so a failing conversion
  // leaves the rest of the input unread. `call` is func, prepared.
  auto read_one = [&](auto& call) -> Step {
    Ref line;
    Ref value;
    if constexpr (kReadsText<decltype(call)>) {
      // A converter that reads decimal text itself reads the line where it
      // lies in what readline returned: the line is made only where the
      // converter leaves it to the interpreter.
      Py_ssize_t length;
      line = Ref::steal(input.text(s, length));
      if (!line) return input_failed;
      PyObject* read;
      if (length >= 0 && call.read(ascii_data(line.get()), length, read)) {
        value = Ref::steal(read);
      } else {
        if (length >= 0) {
          line = Ref::steal(PyUnicode_Substring(line.get(), 0, length));
          if (!line) return input_failed;
        }
        value = Ref::steal(call(line.get()));
      }
    } else {
      line = Ref::steal(input(s));
      if (!line) return input_failed;
      value = Ref::steal(call(line.get()));
    }
    if (!value) return call.failed();
    if (append_fast(result.get(), value.get()) < 0) return PELMO_HERE(2);
    return kOk;
  };
  // range(n) of an exact int, through the interpreter's own range, runs no
  // code and hands out numbers nobody sees: only their count matters, so
  // neither the range nor its iterator is made, unless the call of range
  // would meet the recursion limit.
  bool plain_range = PELMO_BUILTIN("range") == reinterpret_cast<PyObject*>(&PyRange_Type) && PyLong_CheckExact(n) &&
                     within_recursion_limit(PyThreadState_GET(), 2);
  int overflow = 0;
  long count = plain_range ? PyLong_AsLongAndOverflow(n, &overflow) : 0;
  if (plain_range && !overflow) {
    Step counted = prepare_call(func, tuple_failed, call_failed, [&](auto& call) {
      for (long i = 0; i < count; ++i) {
        Step s = read_one(call);
        if (s.failed()) return s;
      }
      return kOk;
    });
    if (counted.failed()) return a.fail(counted);
    return result.release();
  }
  Ref lines = Ref::steal(call_one(PELMO_BUILTIN("range"), n));
  if (!lines) PELMO_FAIL(a, 2);
  Ref i;
  Step walked = prepare_call(func, tuple_failed, call_failed, [&](auto& call) {
    return for_each(static_cast<Ref&&>(lines), i, PELMO_HERE(2), PELMO_HERE(2),
                    [&](PyObject*) { return read_one(call); });
  });
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
  Ref line = Ref::steal(InlineInput(PELMO_BUILTIN("input"))(s));
  if (!line) PELMO_FAIL(a, 4);
  const Step lookup_failed = PELMO_HERE(4), split_failed = PELMO_HERE(4);
  // Where a call of func can fail: making (piece,), and the call.
  const Step tuple_failed = PELMO_HERE(4), call_failed = PELMO_HERE(4);
  auto append = [&](auto& call, PyObject* value) -> Step {
    if (!value) return call.failed();
    Ref held = Ref::steal(value);
    if (append_fast(result.get(), value) < 0) return PELMO_HERE(4);
    return kOk;
  };
  // The comprehension's i, and its iterable, which only the walk holds: once
  // walked, the pieces go, all but the last one, which i holds.
  Ref i;
  Step walked = prepare_call(func, tuple_failed, call_failed, [&](auto& call) -> Step {
    // A converter that reads decimal text itself reads the pieces of an
    // ASCII line where they lie: a piece, which nothing else would see, is
    // made only for one that it leaves to the interpreter.
    if constexpr (kReadsText<decltype(call)>) {
      if (AsciiSplit split{line.get(), spl}) {
        return split.for_each([&](Py_ssize_t start, Py_ssize_t end) -> Step {
          PyObject* value;
          if (!call.read(split.text() + start, end - start, value)) {
            Ref piece = Ref::steal(PyUnicode_Substring(line.get(), start, end));
            if (!piece) return split_failed;
            value = call(piece.get());
          }
          return append(call, value);
        });
      }
    }
    Ref split = Ref::steal(get_attr(line.get(), PELMO_STR("split")));
    if (!split) return lookup_failed;
    line.reset();
    Ref pieces = Ref::steal(call_method_one(split.get(), spl));
    if (!pieces) return split_failed;
    split.reset();
    return for_each(static_cast<Ref&&>(pieces), i, PELMO_HERE(4), PELMO_HERE(4),
                    [&](PyObject* piece) { return append(call, call(piece)); });
  });
  if (walked.failed()) return a.fail(walked);
  return result.release();
}

}  // namespace

PELMO_MODULE(kStrings, kBuiltins, kFunctions)
