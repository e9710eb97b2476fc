// frametest: a test-only module on the same frame. It exposes the calling
// conventions of the function type that no module of the package uses:
// make(kind, flags, cls) builds a function object with the method definition
// `kind` (see kKinds), its `flags` field and defining class set as given.
// Each body reports what it received, so tests can see self, the class and
// the arguments as the fast entries hand them over. builtin(kind) and
// cfile(items) make objects of the interpreter's own kinds that break the
// rules of their calling convention on request (see misbehave). stand_in() makes a
// function type with a call operation of its own, to register in place of
// the frame's. builtin(f) of a builtin function is a twin of it: the same
// definition in another function object (which a body that recognises the
// interpreter's own builtins calls as any other); cstream(hook) is a file
// whose methods are builtin.
#include "frame/module.h"

namespace {

using namespace pelmo;

constexpr StringTable kStrings = strings(interned("make"), interned("kind"), interned("flags"), interned("cls"),
                                         interned("vcall"), interned("f"), interned("vector"), interned("kwnames"),
                                         interned("builtin"), interned("cfile"), interned("stand_in"),
                                         interned("items"), literal(""), interned("cstream"), interned("hook"));

PyObject* or_none(PyObject* o) { return o ? o : Py_None; }

PyObject* noargs(PyObject* self, PyObject* arg) { return Py_BuildValue("(sOO)", "noargs", self, or_none(arg)); }
PyObject* one(PyObject* self, PyObject* arg) { return Py_BuildValue("(sOO)", "o", self, arg); }
PyObject* varargs(PyObject* self, PyObject* args, PyObject* kw) {
  return Py_BuildValue("(sOOO)", "varargs", self, args, or_none(kw));
}
PyObject* vector(PyObject* const* args, Py_ssize_t n) {
  PyObject* t = PyTuple_New(n);
  if (!t) return nullptr;
  for (Py_ssize_t i = 0; i < n; ++i) {
    Py_INCREF(args[i]);
    PyTuple_SET_ITEM(t, i, args[i]);
  }
  return t;
}
PyObject* fastcall(PyObject* self, PyObject* const* args, Py_ssize_t n, PyObject* kwnames) {
  Ref all = Ref::steal(vector(args, n + (kwnames ? PyTuple_GET_SIZE(kwnames) : 0)));
  if (!all) return nullptr;
  return Py_BuildValue("(sOnOO)", "fastcall", self, n, all.get(), or_none(kwnames));
}
PyObject* with_class(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t n, PyObject* kwnames) {
  Ref all = Ref::steal(vector(args, n + (kwnames ? PyTuple_GET_SIZE(kwnames) : 0)));
  if (!all) return nullptr;
  return Py_BuildValue("(sOOnOO)", "method", self, or_none(reinterpret_cast<PyObject*>(cls)), n, all.get(),
                       or_none(kwnames));
}
PyObject* null_without_error(PyObject*, PyObject*) { return nullptr; }

template <typename F>
PyCFunction as_meth(F f) { return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(f)); }

PyMethodDef kKinds[] = {
    {"noargs", as_meth(noargs), METH_NOARGS, "takes nothing"},
    {"one", as_meth(one), METH_O, nullptr},
    {"varargs", as_meth(varargs), METH_VARARGS | METH_KEYWORDS, nullptr},
    {"fastcall", as_meth(fastcall), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"method", as_meth(with_class), METH_METHOD | METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"bad", as_meth(one), METH_VARARGS, nullptr},
    {"nullresult", as_meth(null_without_error), METH_O, nullptr},
};

// Given "0" (or 0) returns null without an exception, given "1" (or 1) a
// result with an exception set; anything else comes back unchanged.
PyObject* misbehave(PyObject* arg) {
  Ref text = Ref::steal(PyObject_Str(arg));
  if (!text) return nullptr;
  if (PyUnicode_CompareWithASCIIString(text.get(), "0") == 0) return nullptr;
  if (PyUnicode_CompareWithASCIIString(text.get(), "1") == 0) {
    PyErr_SetString(PyExc_ValueError, "left pending");
    Py_RETURN_NONE;
  }
  Py_INCREF(arg);
  return arg;
}
PyObject* misbehave_o(PyObject*, PyObject* arg) { return misbehave(arg); }
PyObject* misbehave_fast(PyObject*, PyObject* const* args, Py_ssize_t n) { return misbehave(n ? args[0] : Py_None); }
PyObject* misbehave_fastkw(PyObject*, PyObject* const* args, Py_ssize_t n, PyObject*) {
  return misbehave(n ? args[0] : Py_None);
}

// A static type of this module, ready to be made ready.
PyTypeObject static_type(const char* name, Py_ssize_t size, PyMethodDef* methods, destructor dealloc = nullptr) {
  PyTypeObject t = {PyVarObject_HEAD_INIT(nullptr, 0)};
  t.tp_name = name;
  t.tp_basicsize = size;
  t.tp_flags = Py_TPFLAGS_DEFAULT;
  t.tp_dealloc = dealloc;
  t.tp_methods = methods;
  return t;
}

// A number whose conversions misbehave as misbehave() does for its mode (0:
// null without an exception, 1: a result with an exception set): int(),
// float(), str(), bool() (-1 without an exception for 0, true with one for
// 1) and complex() (its __complex__) of it. misbehave_number(mode) makes one.
struct Number {
  PyObject_HEAD
  PyObject* mode;
};
PyObject* number_mode(PyObject* self) { return reinterpret_cast<Number*>(self)->mode; }
// misbehave() of the mode, where it gives a result with an exception set
// that result being Make(): the conversion's own kind of result.
template <PyObject* (*Make)()>
PyObject* number_conversion(PyObject* self) {
  PyObject* result = misbehave(number_mode(self));
  if (result != Py_None) return result;
  Py_DECREF(result);
  return Make();
}
PyObject* make_int() { return PyLong_FromLong(1); }
PyObject* make_float() { return PyFloat_FromDouble(1.5); }
PyObject* make_str() { return PyUnicode_FromString("1"); }
PyObject* make_complex() { return PyComplex_FromDoubles(1, 2); }
PyObject* number_complex(PyObject* self, PyObject*) { return number_conversion<make_complex>(self); }
int number_bool(PyObject* self) {
  Ref result = Ref::steal(misbehave(number_mode(self)));
  return result ? 1 : -1;
}
void number_dealloc(PyObject* self) {
  Py_DECREF(number_mode(self));
  PyObject_Del(self);
}
PyNumberMethods number_methods = [] {
  PyNumberMethods m = {};
  m.nb_int = number_conversion<make_int>;
  m.nb_float = number_conversion<make_float>;
  m.nb_bool = number_bool;
  return m;
}();
PyMethodDef kNumberMethods[] = {{"__complex__", as_meth(number_complex), METH_NOARGS, nullptr},
                                {nullptr, nullptr, 0, nullptr}};
PyTypeObject number_type = [] {
  PyTypeObject t = static_type("frametest.Number", sizeof(Number), kNumberMethods);
  t.tp_dealloc = number_dealloc;
  t.tp_as_number = &number_methods;
  t.tp_str = number_conversion<make_str>;
  return t;
}();

PyObject* misbehave_number(PyObject*, PyObject* mode) {
  if (!number_type.tp_dict && PyType_Ready(&number_type) < 0) return nullptr;
  Number* n = PyObject_New(Number, &number_type);
  if (!n) return nullptr;
  Py_INCREF(mode);
  n->mode = mode;
  return reinterpret_cast<PyObject*>(n);
}

PyMethodDef kMisbehaving[] = {
    {"misbehave_o", as_meth(misbehave_o), METH_O, nullptr},
    {"misbehave_fast", as_meth(misbehave_fast), METH_FASTCALL, nullptr},
    {"misbehave_fastkw", as_meth(misbehave_fastkw), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"misbehave_number", as_meth(misbehave_number), METH_O, nullptr},
};

// A type whose instances have a builtin `write` of one argument that
// misbehaves, and are sequences of the items they were made with, whose item
// slot (which subscription calls without checking what it returns) hands
// each item through misbehave as well.
struct CFile {
  PyObject_HEAD
  PyObject* items;
};
PyObject* file_items(PyObject* self) { return reinterpret_cast<CFile*>(self)->items; }
Py_ssize_t file_length(PyObject* self) { return PyObject_Size(file_items(self)); }
PyObject* file_item(PyObject* self, Py_ssize_t i) {
  Ref item = Ref::steal(PySequence_GetItem(file_items(self), i));
  return item ? misbehave(item.get()) : nullptr;
}
void file_dealloc(PyObject* self) {
  Py_DECREF(file_items(self));
  PyObject_Del(self);
}
PyMethodDef kFileMethods[] = {{"write", as_meth(misbehave_o), METH_O, nullptr}, {nullptr, nullptr, 0, nullptr}};
PySequenceMethods kFileSequence = {file_length, nullptr, nullptr, file_item};
PyTypeObject file_type = [] {
  PyTypeObject t = static_type("frametest.CFile", sizeof(CFile), kFileMethods, file_dealloc);
  t.tp_as_sequence = &kFileSequence;
  return t;
}();

// A file whose flush, fileno, readline and write are builtin methods (of
// the conventions the interpreter's own files use) that hand their name and
// arguments to a hook: the hook's result is the method's, except that
// ("null",) makes the method return null without an exception and
// ("pending", value) return value with an exception set.
struct CStream {
  PyObject_HEAD
  PyObject* hook;
};

PyObject* through_hook(PyObject* self, const char* name, PyObject* const* args, Py_ssize_t n) {
  Ref call = Ref::steal(PyTuple_New(n + 1));
  if (!call) return nullptr;
  PyObject* text = PyUnicode_FromString(name);
  if (!text) return nullptr;
  PyTuple_SET_ITEM(call.get(), 0, text);
  for (Py_ssize_t i = 0; i < n; ++i) {
    Py_INCREF(args[i]);
    PyTuple_SET_ITEM(call.get(), i + 1, args[i]);
  }
  Ref got = Ref::steal(PyObject_Call(reinterpret_cast<CStream*>(self)->hook, call.get(), nullptr));
  if (!got || !PyTuple_CheckExact(got.get()) || PyTuple_GET_SIZE(got.get()) == 0) return got.release();
  PyObject* how = PyTuple_GET_ITEM(got.get(), 0);
  if (PyTuple_GET_SIZE(got.get()) == 1 && PyUnicode_Check(how) && PyUnicode_CompareWithASCIIString(how, "null") == 0)
    return nullptr;
  if (PyTuple_GET_SIZE(got.get()) == 2 && PyUnicode_Check(how) &&
      PyUnicode_CompareWithASCIIString(how, "pending") == 0) {
    PyErr_SetString(PyExc_ValueError, "left pending");
    PyObject* value = PyTuple_GET_ITEM(got.get(), 1);
    Py_INCREF(value);
    return value;
  }
  return got.release();
}
PyObject* stream_flush(PyObject* self, PyObject*) { return through_hook(self, "flush", nullptr, 0); }
PyObject* stream_fileno(PyObject* self, PyObject*) { return through_hook(self, "fileno", nullptr, 0); }
PyObject* stream_readline(PyObject* self, PyObject* const* args, Py_ssize_t n) {
  return through_hook(self, "readline", args, n);
}
PyObject* stream_write(PyObject* self, PyObject* arg) { return through_hook(self, "write", &arg, 1); }

PyMethodDef kStreamMethods[] = {{"flush", as_meth(stream_flush), METH_NOARGS, nullptr},
                                {"fileno", as_meth(stream_fileno), METH_NOARGS, nullptr},
                                {"readline", as_meth(stream_readline), METH_FASTCALL, nullptr},
                                {"write", as_meth(stream_write), METH_O, nullptr},
                                {nullptr, nullptr, 0, nullptr}};
void stream_dealloc(PyObject* self) {
  Py_XDECREF(reinterpret_cast<CStream*>(self)->hook);
  PyObject_Del(self);
}
PyTypeObject stream_type = static_type("frametest.CStream", sizeof(CStream), kStreamMethods, stream_dealloc);

PyObject* make(Call& a) {
  Py_ssize_t kind = PyLong_AsSsize_t(a[0]);
  if (kind == -1 && PyErr_Occurred()) PELMO_FAIL(a, 2);
  if (kind < 0 || kind >= static_cast<Py_ssize_t>(sizeof kKinds / sizeof kKinds[0])) {
    PyErr_SetString(PyExc_ValueError, "no such kind");
    PELMO_FAIL(a, 2);
  }
  long flags = PyLong_AsLong(a[1]);
  if (flags == -1 && PyErr_Occurred()) PELMO_FAIL(a, 2);
  Ref qualname = Ref::steal(PyUnicode_FromFormat("make.<locals>.%s", kKinds[kind].ml_name));
  if (!qualname) PELMO_FAIL(a, 2);
  Ref f = Ref::steal(__Pyx_CyFunction_New(&kKinds[kind], qualname.get(), str(kStrModuleName),
                                          __pyx_mstate.__pyx_d, nullptr));
  if (!f) PELMO_FAIL(a, 3);
  cyfunction(f.get())->flags = static_cast<int>(flags);
  if (a[2] != Py_None) {
    Py_INCREF(a[2]);
    cyfunction(f.get())->func_classobj = a[2];
  }
  return f.release();
}

// vcall(f, vector, kwnames): enters the fast entry of `f` the way a native
// caller does, with `vector` holding the positional arguments followed by the
// keyword values and `kwnames` (a tuple, or None) the keyword names. Binding
// can thus be given names that the call operation refuses (non-strings) or
// that a dict cannot carry (the same name twice). The callee's result or
// exception is passed through untouched, without an entry of this function.
PyObject* vcall(Call& a) {
  PyObject* f = a[0];
  PyObject* vec = a[1];
  PyObject* names = a[2];
  if (!PyObject_TypeCheck(f, __pyx_mstate.__pyx_CyFunctionType) || !cyfunction(f)->func_vectorcall ||
      !PyTuple_CheckExact(vec) || (names != Py_None && !PyTuple_CheckExact(names))) {
    PyErr_SetString(PyExc_TypeError, "vcall(function with a fast entry, tuple, tuple or None)");
    PELMO_FAIL(a, 5);
  }
  Py_ssize_t n = PyTuple_GET_SIZE(vec);
  Py_ssize_t nkw = names == Py_None ? 0 : PyTuple_GET_SIZE(names);
  if (nkw > n) {
    PyErr_SetString(PyExc_ValueError, "more keyword names than values");
    PELMO_FAIL(a, 5);
  }
  return cyfunction(f)->func_vectorcall(f, &PyTuple_GET_ITEM(vec, 0), static_cast<size_t>(n - nkw),
                                        names == Py_None ? nullptr : names);
}

// A stand-in for a function type that another library registered first:
// the registered type with a call operation of its own, which makes the
// call as the shared type's rule says it is made, and nothing more.
PyObject* stand_in_call(PyObject* func, PyObject* args, PyObject* kw) {
  auto* f = cyfunction(func);
  Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  if (!kw || PyDict_GET_SIZE(kw) == 0) return f->func_vectorcall(func, &PyTuple_GET_ITEM(args, 0), nargs, nullptr);
  Py_ssize_t nkw = PyDict_GET_SIZE(kw);
  Ref vector = Ref::steal(PyTuple_New(nargs + nkw));
  Ref names = Ref::steal(PyTuple_New(nkw));
  if (!vector || !names) return nullptr;
  for (Py_ssize_t i = 0; i < nargs; ++i) {
    Py_INCREF(PyTuple_GET_ITEM(args, i));
    PyTuple_SET_ITEM(vector.get(), i, PyTuple_GET_ITEM(args, i));
  }
  Py_ssize_t pos = 0, i = 0;
  PyObject *key, *value;
  while (PyDict_Next(kw, &pos, &key, &value)) {
    if (!PyUnicode_Check(key)) {
      PyErr_SetString(PyExc_TypeError, "keywords must be strings");
      return nullptr;
    }
    Py_INCREF(key);
    PyTuple_SET_ITEM(names.get(), i, key);
    Py_INCREF(value);
    PyTuple_SET_ITEM(vector.get(), nargs + i, value);
    ++i;
  }
  return f->func_vectorcall(func, &PyTuple_GET_ITEM(vector.get(), 0), nargs, names.get());
}

PyTypeObject stand_in_type = [] {
  PyTypeObject t = {PyVarObject_HEAD_INIT(nullptr, 0)};
  t.tp_name = "frametest.cython_function_or_method";
  t.tp_flags = Py_TPFLAGS_DEFAULT;  // the collector's flag and slots come from the base
  t.tp_call = stand_in_call;
  return t;
}();

// stand_in(): the stand-in type, made from the type registered now.
PyObject* stand_in(Call& a) {
  if (!stand_in_type.tp_dict) {
    stand_in_type.tp_base = __pyx_mstate.__pyx_CyFunctionType;
    stand_in_type.tp_basicsize = stand_in_type.tp_base->tp_basicsize;
    if (PyType_Ready(&stand_in_type) < 0) PELMO_FAIL(a, 12);
  }
  Py_INCREF(&stand_in_type);
  return reinterpret_cast<PyObject*>(&stand_in_type);
}

// builtin(kind): a builtin function (the interpreter's type) of
// kMisbehaving[kind]; given a builtin function, another one of the same
// definition (its twin).
PyObject* builtin(Call& a) {
  PyMethodDef* def;
  if (PyCFunction_Check(a[0])) {
    def = reinterpret_cast<PyCFunctionObject*>(a[0])->m_ml;
  } else {
    Py_ssize_t kind = PyLong_AsSsize_t(a[0]);
    if (kind == -1 && PyErr_Occurred()) PELMO_FAIL(a, 8);
    if (kind < 0 || kind >= static_cast<Py_ssize_t>(sizeof kMisbehaving / sizeof kMisbehaving[0])) {
      PyErr_SetString(PyExc_ValueError, "no such kind");
      PELMO_FAIL(a, 8);
    }
    def = &kMisbehaving[kind];
  }
  PyObject* f = PyCFunction_NewEx(def, nullptr, nullptr);
  if (!f) PELMO_FAIL(a, 8);
  return f;
}

// cfile(items=""): a new instance of CFile.
PyObject* cfile(Call& a) {
  if (!file_type.tp_dict && PyType_Ready(&file_type) < 0) PELMO_FAIL(a, 10);
  CFile* f = PyObject_New(CFile, &file_type);
  if (!f) PELMO_FAIL(a, 10);
  Py_INCREF(a[0]);
  f->items = a[0];
  return reinterpret_cast<PyObject*>(f);
}

// cstream(hook): a new CStream calling `hook`.
PyObject* cstream(Call& a) {
  if (!stream_type.tp_dict && PyType_Ready(&stream_type) < 0) PELMO_FAIL(a, 14);
  CStream* s = PyObject_New(CStream, &stream_type);
  if (!s) PELMO_FAIL(a, 14);
  Py_INCREF(a[0]);
  s->hook = a[0];
  return reinterpret_cast<PyObject*>(s);
}

// Line 1: def make(kind, flags, cls):
constexpr Signature kMakeSig = kStrings.def("make", 1).param("kind").param("flags").param("cls");
const FunctionDesc kMake = function<kMakeSig, make>();
// Line 4: def vcall(f, vector, kwnames):
constexpr Signature kVcallSig = kStrings.def("vcall", 4).param("f").param("vector").param("kwnames");
const FunctionDesc kVcall = function<kVcallSig, vcall>();
// Line 7: def builtin(kind):
constexpr Signature kBuiltinSig = kStrings.def("builtin", 7).param("kind");
const FunctionDesc kBuiltin = function<kBuiltinSig, builtin>();
// Line 9: def cfile(items=""):
constexpr Signature kCfileSig = kStrings.def("cfile", 9).param("items", default_string(""));
const FunctionDesc kCfile = function<kCfileSig, cfile>();
// Line 11: def stand_in():
constexpr Signature kStandInSig = kStrings.def("stand_in", 11);
const FunctionDesc kStandIn = function<kStandInSig, stand_in>();
// Line 13: def cstream(hook):
constexpr Signature kCstreamSig = kStrings.def("cstream", 13).param("hook");
const FunctionDesc kCstream = function<kCstreamSig, cstream>();
constexpr FunctionList kFunctions = functions(kMake, kVcall, kBuiltin, kCfile, kStandIn, kCstream);

}  // namespace

PELMO_MODULE(kStrings, kNoBuiltins, kFunctions)
