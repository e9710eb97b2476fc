// The function-object type: construction, calls, attributes and GC hooks.
#include "frame/cyfunction.h"

#include <structmember.h>

#include "frame/errors.h"
#include "frame/failure.h"

namespace pelmo {

namespace {

using Self = __pyx_CyFunctionObject;

inline Self* self_of(PyObject* op) { return cyfunction(op); }

// --- fast entries ------------------------------------------------------------

// A method of a native class that is not a static method takes `self` from
// the vector; every other function passes itself.
inline bool takes_self_from_args(Self* f) {
  return (f->flags & (kNativeClassMethod | kStaticMethod)) == kNativeClassMethod;
}

inline int pick_self(Self* f, PyObject* const*& args, Py_ssize_t& nargs, PyObject*& self) {
  if (takes_self_from_args(f)) {
    if (nargs == 0) {
      PyErr_Format(PyExc_TypeError, "%.200s() needs an argument", f->func.m_ml->ml_name);
      return -1;
    }
    self = args[0];
    ++args;
    --nargs;
  } else {
    self = f->func.m_self;
  }
  return 0;
}

// Refuses keyword arguments, for the conventions that take none.
bool refuses_keywords(const char* name, PyObject* kwnames) {
  if (!kwnames || PyTuple_GET_SIZE(kwnames) == 0) return false;
  PyErr_Format(PyExc_TypeError, "%.200s() takes no keyword arguments", name);
  return true;
}

// The calling conventions that have a fast entry.
enum class Convention { kFastKeywords, kMethod, kNoArgs, kOneArg };

// One fast entry per convention: self as the function's flags say, then the
// convention's own checks, then the body.
template <Convention C>
PyObject* fast_entry(PyObject* func, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  Self* f = self_of(func);
  Py_ssize_t nargs = static_cast<Py_ssize_t>(nargsf);
  PyObject* self;
  if (pick_self(f, args, nargs, self) < 0) return nullptr;
  PyMethodDef* ml = f->func.m_ml;
  if constexpr (C == Convention::kFastKeywords) {
    return reinterpret_cast<FastKeywordsBody>(ml->ml_meth)(self, args, nargs, kwnames);
  } else if constexpr (C == Convention::kMethod) {
    return reinterpret_cast<MethodBody>(ml->ml_meth)(self, reinterpret_cast<PyTypeObject*>(f->func_classobj),
                                                     args, nargs, kwnames);
  } else {
    if (refuses_keywords(ml->ml_name, kwnames)) return nullptr;
    if constexpr (C == Convention::kNoArgs) {
      if (nargs != 0) {
        PyErr_Format(PyExc_TypeError, "%.200s() takes no arguments (%zd given)", ml->ml_name, nargs);
        return nullptr;
      }
      return ml->ml_meth(self, nullptr);
    } else {
      if (nargs != 1) {
        PyErr_Format(PyExc_TypeError, "%.200s() takes exactly one argument (%zd given)", ml->ml_name, nargs);
        return nullptr;
      }
      return ml->ml_meth(self, args[0]);
    }
  }
}

// The fast entry for a method definition's flags: null for the tuple
// convention; false for flags the type cannot call.
bool entry_for(int ml_flags, FastEntry& entry) {
  switch (ml_flags & (METH_VARARGS | METH_KEYWORDS | METH_NOARGS | METH_O | METH_FASTCALL | METH_METHOD)) {
    case METH_FASTCALL | METH_KEYWORDS: entry = fast_entry<Convention::kFastKeywords>; return true;
    case METH_METHOD | METH_FASTCALL | METH_KEYWORDS: entry = fast_entry<Convention::kMethod>; return true;
    case METH_NOARGS: entry = fast_entry<Convention::kNoArgs>; return true;
    case METH_O: entry = fast_entry<Convention::kOneArg>; return true;
    case METH_VARARGS | METH_KEYWORDS: entry = nullptr; return true;
    default: return false;
  }
}

// --- the call operation --------------------------------------------------------

// The names tuple of a keyword call. A new tuple per call would cost an
// allocation and a deallocation; one tuple per size is kept instead and lent
// to the next call of that size while nobody else holds it. Lent, it holds
// its names as a new tuple would; between calls it holds none. It is kept
// out of the garbage collector's lists while it belongs to this cache, so
// that no one can find it between calls; a callee that keeps it gets it
// tracked, as a new tuple would be, and the cache lets go of it.
class KeywordNames {
 public:
  explicit KeywordNames(Py_ssize_t n) : n_(n) {
    bool cached = n < kCached;
    if (cached && cache_[n] && Py_REFCNT(cache_[n]) == 1) {
      tuple_ = cache_[n];
      Py_INCREF(tuple_);
      return;
    }
    tuple_ = PyTuple_New(n);
    if (tuple_ && cached && !cache_[n]) {
      PyObject_GC_UnTrack(tuple_);
      Py_INCREF(tuple_);
      cache_[n] = tuple_;
    }
  }
  KeywordNames(const KeywordNames&) = delete;
  KeywordNames& operator=(const KeywordNames&) = delete;
  ~KeywordNames() {
    if (!tuple_) return;
    if (n_ >= kCached || cache_[n_] != tuple_) {
      Py_DECREF(tuple_);
    } else if (Py_REFCNT(tuple_) == 2) {
      // Back in the cache, empty; the names go last first, as from a tuple
      // that is freed.
      for (Py_ssize_t i = n_; i-- > 0;) Py_CLEAR(PyTuple_GET_ITEM(tuple_, i));
      Py_DECREF(tuple_);
    } else {
      // The callee kept it: it is the callee's now, an ordinary tuple.
      cache_[n_] = nullptr;
      if (!_PyObject_GC_IS_TRACKED(tuple_)) PyObject_GC_Track(tuple_);
      Py_DECREF(tuple_);
      Py_DECREF(tuple_);
    }
  }
  PyObject* get() const { return tuple_; }

 private:
  static constexpr Py_ssize_t kCached = 8;
  static PyObject* cache_[kCached];
  PyObject* tuple_;
  Py_ssize_t n_;
};
PyObject* KeywordNames::cache_[kCached];

// The call operation's rule for a call with a non-empty keyword dict: the
// fast entry gets the tuple's items followed by the dict's values, and a
// tuple of the dict's keys, all in the dict's order; no call when a key is
// not a string. Kept out of line: the plain call path stays free of its
// stack frame.
__attribute__((noinline)) PyObject* call_with_keywords(Self* f, PyObject* args, PyObject* kw) {
  Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  Py_ssize_t nkw = PyDict_GET_SIZE(kw);
  // Small calls, the usual ones, build their vector on the C stack.
  PyObject* small[8];
  PyObject** stack = nargs + nkw <= 8 ? small
                                      : static_cast<PyObject**>(PyMem_Malloc((nargs + nkw) * sizeof(PyObject*)));
  if (!stack) return PyErr_NoMemory();
  for (Py_ssize_t i = 0; i < nargs; ++i) stack[i] = PyTuple_GET_ITEM(args, i);
  PyObject* result = nullptr;
  {
    KeywordNames names(nkw);
    if (names.get()) {
      Py_ssize_t pos = 0, i = 0;
      PyObject *key, *value;
      bool strings = true;
      // The dict cannot change during this walk: nothing here runs Python code.
      while (i < nkw && PyDict_Next(kw, &pos, &key, &value)) {
        if (!PyUnicode_Check(key)) strings = false;
        Py_INCREF(key);
        PyTuple_SET_ITEM(names.get(), i, key);
        stack[nargs + i] = value;
        ++i;
      }
      if (!strings) {
        PyErr_SetString(PyExc_TypeError, "keywords must be strings");
      } else {
        // The values are the dict's, and the dict may be the caller's own,
        // which the callee could change: they are held for the call.
        for (Py_ssize_t k = 0; k < nkw; ++k) Py_INCREF(stack[nargs + k]);
        result = f->func_vectorcall(reinterpret_cast<PyObject*>(f), stack, nargs, names.get());
        for (Py_ssize_t k = 0; k < nkw; ++k) Py_DECREF(stack[nargs + k]);
      }
    }
  }
  if (stack != small) PyMem_Free(stack);
  return result;
}

PyObject* cyfunction_call(PyObject* func, PyObject* args, PyObject* kw) {
  Self* f = self_of(func);
  if (f->func_vectorcall) {
    if (!kw || PyDict_GET_SIZE(kw) == 0)
      return f->func_vectorcall(func, &PyTuple_GET_ITEM(args, 0), PyTuple_GET_SIZE(args), nullptr);
    return call_with_keywords(f, args, kw);
  }
  PyCFunctionWithKeywords meth = reinterpret_cast<PyCFunctionWithKeywords>(f->func.m_ml->ml_meth);
  if (takes_self_from_args(f)) {
    Py_ssize_t n = PyTuple_GET_SIZE(args);
    if (n == 0) {
      PyErr_Format(PyExc_TypeError, "unbound method %.200S() needs an argument", f->func_qualname);
      return nullptr;
    }
    Ref rest = Ref::steal(PyTuple_GetSlice(args, 1, n));
    if (!rest) return nullptr;
    return meth(PyTuple_GET_ITEM(args, 0), rest.get(), kw);
  }
  return meth(f->func.m_self, args, kw);
}

// --- binding, repr, reduce ----------------------------------------------------

PyObject* cyfunction_descr_get(PyObject* func, PyObject* obj, PyObject*) {
  if (obj == nullptr || obj == Py_None) {
    Py_INCREF(func);
    return func;
  }
  return PyMethod_New(func, obj);
}

PyObject* cyfunction_repr(PyObject* op) {
  return PyUnicode_FromFormat("<cyfunction %U at %p>", self_of(op)->func_qualname, op);
}

PyObject* cyfunction_reduce(PyObject* op, PyObject*) {
  PyObject* q = self_of(op)->func_qualname;
  Py_INCREF(q);
  return q;
}

// --- attributes ----------------------------------------------------------------

PyObject* new_ref(PyObject* o) {
  Py_INCREF(o);
  return o;
}
PyObject* or_none(PyObject* o) { return new_ref(o ? o : Py_None); }
void store(PyObject*& field, PyObject* value) { replace(field, new_ref(value)); }

PyObject* get_doc(PyObject* op, void*) {
  Self* f = self_of(op);
  if (!f->func_doc) {
    const char* doc = f->func.m_ml->ml_doc;
    if (!doc) Py_RETURN_NONE;
    f->func_doc = PyUnicode_FromString(doc);
    if (!f->func_doc) return nullptr;
  }
  return new_ref(f->func_doc);
}
int set_doc(PyObject* op, PyObject* value, void*) {
  store(self_of(op)->func_doc, value ? value : Py_None);
  return 0;
}

PyObject* get_name(PyObject* op, void*) {
  Self* f = self_of(op);
  if (!f->func_name) {
    f->func_name = PyUnicode_InternFromString(f->func.m_ml->ml_name);
    if (!f->func_name) return nullptr;
  }
  return new_ref(f->func_name);
}
int set_name(PyObject* op, PyObject* value, void*) {
  if (!value || !PyUnicode_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "__name__ must be set to a string object");
    return -1;
  }
  store(self_of(op)->func_name, value);
  return 0;
}

PyObject* get_qualname(PyObject* op, void*) { return new_ref(self_of(op)->func_qualname); }
int set_qualname(PyObject* op, PyObject* value, void*) {
  if (!value || !PyUnicode_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "__qualname__ must be set to a string object");
    return -1;
  }
  store(self_of(op)->func_qualname, value);
  return 0;
}

PyObject* get_dict(PyObject* op, void*) {
  Self* f = self_of(op);
  if (!f->func_dict) {
    f->func_dict = PyDict_New();
    if (!f->func_dict) return nullptr;
  }
  return new_ref(f->func_dict);
}
int set_dict(PyObject* op, PyObject* value, void*) {
  if (!value) {
    PyErr_SetString(PyExc_TypeError, "function's dictionary may not be deleted");
    return -1;
  }
  if (!PyDict_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "setting function's dictionary to a non-dict");
    return -1;
  }
  store(self_of(op)->func_dict, value);
  return 0;
}

PyObject* get_globals(PyObject* op, void*) { return new_ref(self_of(op)->func_globals); }
PyObject* get_closure(PyObject*, void*) { Py_RETURN_NONE; }
PyObject* get_code(PyObject* op, void*) { return or_none(self_of(op)->func_code); }

// Fills the defaults pair from the getter, keeping values assigned earlier.
int init_defaults(Self* f) {
  Ref pair = Ref::steal(f->defaults_getter(reinterpret_cast<PyObject*>(f)));
  if (!pair) return -1;
  if (!f->defaults_tuple) store(f->defaults_tuple, PyTuple_GET_ITEM(pair.get(), 0));
  if (!f->defaults_kwdict) store(f->defaults_kwdict, PyTuple_GET_ITEM(pair.get(), 1));
  return 0;
}

// __defaults__ and __kwdefaults__: one rule over two fields. A read fills
// the field from the getter once; an assignment warns that calls keep their
// own values, then changes only what the attribute reports.
template <PyObject* Self::*Field>
PyObject* get_defaults_field(PyObject* op, void*) {
  Self* f = self_of(op);
  if (!(f->*Field) && f->defaults_getter && init_defaults(f) < 0) return nullptr;
  return or_none(f->*Field);
}

template <PyObject* Self::*Field, bool (*Accepts)(PyObject*), const char* TypeMessage, const char* Warning>
int set_defaults_field(PyObject* op, PyObject* value, void*) {
  if (!value) value = Py_None;
  if (value != Py_None && !Accepts(value)) {
    PyErr_SetString(PyExc_TypeError, TypeMessage);
    return -1;
  }
  if (PyErr_WarnEx(PyExc_RuntimeWarning, Warning, 1) < 0) return -1;
  store(self_of(op)->*Field, value);
  return 0;
}

bool is_tuple(PyObject* o) { return PyTuple_Check(o); }
bool is_dict(PyObject* o) { return PyDict_Check(o); }
constexpr char kDefaultsType[] = "__defaults__ must be set to a tuple object";
constexpr char kDefaultsWarning[] =
    "changes to cyfunction.__defaults__ will not currently affect the values used in function calls";
constexpr char kKwdefaultsType[] = "__kwdefaults__ must be set to a dict object";
constexpr char kKwdefaultsWarning[] =
    "changes to cyfunction.__kwdefaults__ will not currently affect the values used in function calls";

constexpr auto get_defaults = get_defaults_field<&Self::defaults_tuple>;
constexpr auto set_defaults = set_defaults_field<&Self::defaults_tuple, is_tuple, kDefaultsType, kDefaultsWarning>;
constexpr auto get_kwdefaults = get_defaults_field<&Self::defaults_kwdict>;
constexpr auto set_kwdefaults =
    set_defaults_field<&Self::defaults_kwdict, is_dict, kKwdefaultsType, kKwdefaultsWarning>;

PyObject* get_annotations(PyObject* op, void*) {
  Self* f = self_of(op);
  if (!f->func_annotations) {
    f->func_annotations = PyDict_New();
    if (!f->func_annotations) return nullptr;
  }
  return new_ref(f->func_annotations);
}
int set_annotations(PyObject* op, PyObject* value, void*) {
  Self* f = self_of(op);
  if (!value || value == Py_None) {
    Py_CLEAR(f->func_annotations);
    return 0;
  }
  if (!PyDict_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
    return -1;
  }
  store(f->func_annotations, value);
  return 0;
}

PyObject* get_is_coroutine(PyObject* op, void*) {
  Self* f = self_of(op);
  if (!f->func_is_coroutine) {
    PyObject* value = Py_False;
    Ref marker;
    if (f->flags & kCoroutine) {
      Ref fromlist = Ref::steal(PyList_New(1));
      if (!fromlist) return nullptr;
      PyList_SET_ITEM(fromlist.get(), 0, new_ref(str(kStrIsCoroutine)));
      Ref mod = Ref::steal(PyImport_ImportModuleLevelObject(str(kStrAsyncioCoroutines), nullptr,
                                                            nullptr, fromlist.get(), 0));
      if (mod) marker = Ref::steal(PyObject_GetAttr(mod.get(), str(kStrIsCoroutine)));
      if (!marker) PyErr_Clear();
      value = marker ? marker.get() : Py_True;
    }
    store(f->func_is_coroutine, value);
  }
  return new_ref(f->func_is_coroutine);
}

PyGetSetDef getsets[] = {
    {"func_doc", get_doc, set_doc, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"func_name", get_name, set_name, nullptr, nullptr},
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"func_dict", get_dict, set_dict, nullptr, nullptr},
    {"__dict__", get_dict, set_dict, nullptr, nullptr},
    {"func_globals", get_globals, nullptr, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"func_closure", get_closure, nullptr, nullptr, nullptr},
    {"__closure__", get_closure, nullptr, nullptr, nullptr},
    {"func_code", get_code, nullptr, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"func_defaults", get_defaults, set_defaults, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, set_kwdefaults, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"_is_coroutine", get_is_coroutine, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef members[] = {
    {const_cast<char*>("__module__"), T_OBJECT, offsetof(Self, func.m_module), 0, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef methods[] = {
    {"__reduce__", reinterpret_cast<PyCFunction>(cyfunction_reduce), METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// --- garbage collection ---------------------------------------------------------

// Calls fn on every owned object field, storage slots included, until one
// returns non-zero: traversal and clearing must cover exactly the same set.
template <typename Fn>
int each_field(Self* f, Fn&& fn) {
  PyObject** fields[] = {&f->func_closure,   &f->func.m_module,  &f->func_dict,       &f->func_name,
                         &f->func_qualname,  &f->func_doc,       &f->func_globals,    &f->func_code,
                         &f->func_classobj,  &f->defaults_tuple, &f->defaults_kwdict, &f->func_annotations,
                         &f->func_is_coroutine};
  for (PyObject** field : fields)
    if (int r = fn(*field)) return r;
  PyObject** slots = static_cast<PyObject**>(f->defaults);
  for (int i = 0; slots && i < f->defaults_pyobjects; ++i)
    if (int r = fn(slots[i])) return r;
  return 0;
}

int cyfunction_clear(PyObject* op) {
  Self* f = self_of(op);
  each_field(f, [](PyObject*& field) {
    Py_CLEAR(field);
    return 0;
  });
  if (f->defaults) {
    PyObject_Free(f->defaults);
    f->defaults = nullptr;
  }
  return 0;
}

int cyfunction_traverse(PyObject* op, visitproc visit, void* arg) {
  return each_field(self_of(op), [&](PyObject*& field) {
    Py_VISIT(field);
    return 0;
  });
}

void cyfunction_dealloc(PyObject* op) {
  PyObject_GC_UnTrack(op);
  // `__doc__` and `__module__` take any object, so function objects can hold
  // one another in a chain of any length; the trashcan frees a long chain
  // in bounded C stack depth instead of one nested call per link.
  Py_TRASHCAN_SAFE_BEGIN(op)
  if (self_of(op)->func.m_weakreflist) PyObject_ClearWeakRefs(op);
  cyfunction_clear(op);
  PyObject_GC_Del(op);
  Py_TRASHCAN_SAFE_END(op)
}

PyTypeObject own_type = {
    PyVarObject_HEAD_INIT(nullptr, 0)
    "_cython_3_0_11.cython_function_or_method",  // tp_name
    sizeof(Self), 0,
    cyfunction_dealloc,
    0, nullptr, nullptr, nullptr,  // print, getattr, setattr, async
    cyfunction_repr,
    nullptr, nullptr, nullptr,  // number, sequence, mapping
    nullptr,                    // hash: identity
    cyfunction_call,
    nullptr,                    // str
    nullptr, nullptr, nullptr,  // getattro, setattro, buffer
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_BASETYPE,
    nullptr,  // doc
    cyfunction_traverse,
    cyfunction_clear,
    nullptr,  // richcompare: identity
    offsetof(Self, func.m_weakreflist),
    nullptr, nullptr,  // iter, iternext
    methods, members, getsets,
    nullptr, nullptr,  // base, dict
    cyfunction_descr_get,
    nullptr,  // descr_set
    offsetof(Self, func_dict),
};

}  // namespace

int fetch_or_register_type() {
  Ref shared = Ref::borrow(PyImport_AddModule("_cython_3_0_11"));
  if (!shared) return -1;
  const char* attr = own_type.tp_name;
  for (const char* p = attr; *p; ++p)
    if (*p == '.') attr = p + 1;
  PyTypeObject* chosen;
  Ref found = Ref::steal(PyObject_GetAttrString(shared.get(), attr));
  if (found) {
    if (!PyType_Check(found.get())) {
      PyErr_Format(PyExc_TypeError, "Shared Cython type %.200s is not a type object", attr);
      return -1;
    }
    chosen = reinterpret_cast<PyTypeObject*>(found.get());
    if (chosen->tp_basicsize != own_type.tp_basicsize) {
      PyErr_Format(PyExc_TypeError, "Shared Cython type %.200s has the wrong size, try recompiling", attr);
      return -1;
    }
  } else {
    if (!exception_matches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    if (PyType_Ready(&own_type) < 0) return -1;
    if (PyObject_SetAttrString(shared.get(), attr, reinterpret_cast<PyObject*>(&own_type)) < 0) return -1;
    chosen = &own_type;
  }
  Py_INCREF(chosen);
  PyTypeObject* old = __pyx_mstate.__pyx_CyFunctionType;
  __pyx_mstate.__pyx_CyFunctionType = chosen;
  Py_XDECREF(old);
  return 0;
}

PyObject* __Pyx_CyFunction_New(PyMethodDef* ml, PyObject* qualname, PyObject* module,
                               PyObject* globals, PyObject* code) {
  // The flags are checked before anything is allocated.
  FastEntry entry;
  if (!entry_for(ml->ml_flags, entry)) {
    PyErr_SetString(PyExc_SystemError, "Bad call flags for CyFunction");
    return nullptr;
  }
  Self* f = PyObject_GC_New(Self, __pyx_mstate.__pyx_CyFunctionType);
  if (!f) return nullptr;
  PyObject* op = reinterpret_cast<PyObject*>(f);
  f->func.m_ml = ml;
  f->func.m_self = op;
  f->func.m_weakreflist = nullptr;
  f->func_closure = nullptr;
  f->flags = 0;
  Py_XINCREF(module);
  f->func.m_module = module;
  f->func_dict = f->func_name = f->func_doc = f->func_classobj = nullptr;
  Py_XINCREF(qualname);
  f->func_qualname = qualname;
  Py_XINCREF(globals);
  f->func_globals = globals;
  Py_XINCREF(code);
  f->func_code = code;
  f->defaults = nullptr;
  f->defaults_pyobjects = 0;
  f->defaults_size = 0;
  f->defaults_tuple = f->defaults_kwdict = nullptr;
  f->defaults_getter = nullptr;
  f->func_annotations = f->func_is_coroutine = nullptr;
  f->func_vectorcall = entry;
  PyObject_GC_Track(op);
  return op;
}

void* attach_defaults_storage(PyObject* func, size_t size, int pyobjects) {
  Self* f = self_of(func);
  void* storage = PyObject_Malloc(size);
  if (!storage) return PyErr_NoMemory();
  unsigned char* bytes = static_cast<unsigned char*>(storage);
  for (size_t i = 0; i < size; ++i) bytes[i] = 0;
  f->defaults = storage;
  f->defaults_pyobjects = pyobjects;
  f->defaults_size = size;
  return storage;
}

PyObject* defaults_from_storage(PyObject* func) {
  const FunctionDesc* desc = reinterpret_cast<const FunctionDesc*>(cyfunction(func)->func.m_ml);
  const Signature& sig = *desc->sig;
  Ref defaults = Ref::steal(PyTuple_New(sig.nparams - sig.min));
  if (defaults) {
    for (int i = sig.min; i < sig.nparams; ++i) {
      PyObject* value = default_value(func, sig.defaults[i]);
      Py_INCREF(value);
      PyTuple_SET_ITEM(defaults.get(), i - sig.min, value);
    }
    PyObject* pair = PyTuple_Pack(2, defaults.get(), Py_None);
    if (pair) return pair;
  }
  return fail_at(module_names.defaults_traceback, sig.def_line, c_line(sig, FunctionPoint::kDefaultsGetter));
}

}  // namespace pelmo
