// Module creation and execution: everything every module does identically
// from the interpreter's first call until its functions are published.
#include "frame/module.h"

namespace pelmo {

ModuleState __pyx_mstate = {};
PyObject* __pyx_m = nullptr;

namespace {

int64_t main_interpreter_id = -1;

const ModuleDesc& M = __pyx_module_desc;

// --- create ----------------------------------------------------------------------

int check_interpreter() {
  int64_t current = PyInterpreterState_GetID(PyThreadState_Get()->interp);
  if (main_interpreter_id == -1) {
    main_interpreter_id = current;
    return current == -1 ? -1 : 0;
  }
  if (current != main_interpreter_id) {
    PyErr_SetString(PyExc_ImportError,
                    "Interpreter change detected - this module can only be loaded into one interpreter per process.");
    return -1;
  }
  return 0;
}

}  // namespace

int __Pyx_copy_spec_to_module(PyObject* spec, PyObject* moddict, const char* from_name, const char* to_name,
                              int allow_none) {
  Ref value = Ref::steal(PyObject_GetAttrString(spec, from_name));
  if (!value) {
    if (!__Pyx_PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    return 0;
  }
  if (value.get() != Py_None || allow_none) return PyDict_SetItemString(moddict, to_name, value.get());
  return 0;
}

PyObject* __pyx_pymod_create(PyObject* spec, PyModuleDef*) {
  if (check_interpreter() < 0) return nullptr;
  if (__pyx_m) {
    Py_INCREF(__pyx_m);
    return __pyx_m;
  }
  Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
  if (!name) return nullptr;
  Ref module = Ref::steal(PyModule_NewObject(name.get()));
  name.reset();
  if (!module) return nullptr;
  PyObject* moddict = PyModule_GetDict(module.get());
  if (!moddict) return nullptr;
  if (__Pyx_copy_spec_to_module(spec, moddict, "loader", "__loader__", 1) < 0 ||
      __Pyx_copy_spec_to_module(spec, moddict, "origin", "__file__", 1) < 0 ||
      __Pyx_copy_spec_to_module(spec, moddict, "parent", "__package__", 1) < 0 ||
      __Pyx_copy_spec_to_module(spec, moddict, "submodule_search_locations", "__path__", 0) < 0)
    return nullptr;
  return module.release();
}

// --- exec helpers ------------------------------------------------------------------

namespace {

unsigned long packed_version(const char* s) {
  static constexpr unsigned long kFactor[4] = {0x1000000, 0x10000, 0x100, 1};
  unsigned long version = 0;
  for (int i = 0; i < 4; ++i) {
    unsigned long component = 0;
    while (*s >= '0' && *s <= '9') component = component * 10 + static_cast<unsigned long>(*s++ - '0');
    version += component * kFactor[i];
    if (*s != '.') break;
    ++s;
  }
  return version;
}

int check_version() {
  unsigned long runtime = packed_version(Py_GetVersion());
  unsigned long built = PY_VERSION_HEX;
  if ((runtime >> 16) == (built >> 16)) return 0;
  char message[200];
  PyOS_snprintf(message, sizeof message, "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                static_cast<int>(built >> 24), static_cast<int>((built >> 16) & 0xFF), M.full_name, "does not match",
                static_cast<int>(runtime >> 24), static_cast<int>((runtime >> 16) & 0xFF));
  return PyErr_WarnEx(nullptr, message, 1);
}

template <size_t N>
constexpr size_t length(const char (&)[N]) { return N; }

int create_string(PyObject** p, const StrSpec& e) {
  PyObject* o;
  if (e.is_unicode || e.is_str) {
    o = e.encoding ? PyUnicode_Decode(e.s, e.n - 1, e.encoding, nullptr)
                   : PyUnicode_FromStringAndSize(e.s, e.n - 1);
    if (o && e.intern) PyUnicode_InternInPlace(&o);
  } else {
    o = PyBytes_FromStringAndSize(e.s, e.n - 1);
  }
  if (!o) return -1;
  replace(*p, o);
  return PyObject_Hash(o) == -1 ? -1 : 0;
}

Py_ssize_t cstr_size(const char* s) {
  Py_ssize_t n = 1;
  while (*s++) ++n;
  return n;
}

}  // namespace

int __Pyx_CreateStringTabAndInitStrings() {
  const StrSpec frame[kFrameStrings] = {
      interned("asyncio.coroutines"),
      interned("cline_in_traceback"),
      interned("_is_coroutine"),
      interned("__main__"),
      interned("__name__"),
      interned("__test__"),
      interned("stdout"),
      interned("write"),
      StrSpec{M.full_name, cstr_size(M.full_name), nullptr, 0, 1, 1},
      StrSpec{__pyx_names.source_file, cstr_size(__pyx_names.source_file), nullptr, 0, 1, 0},
  };
  for (int i = 0; i < kFrameStrings; ++i)
    if (create_string(&__pyx_mstate.strings[i], frame[i]) < 0) return -1;
  for (int i = 0; i < M.nstrings; ++i)
    if (create_string(&__pyx_mstate.strings[kFrameStrings + i], M.strings[i]) < 0) return -1;
  return 0;
}

PyObject* __Pyx_GetBuiltinName(PyObject* name) {
  PyObject* result = PyObject_GetAttr(__pyx_mstate.__pyx_b, name);
  if (!result) {
    if (__Pyx_PyErr_ExceptionMatches(PyExc_AttributeError)) PyErr_Clear();
    if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
  }
  return result;
}

namespace {

// The defaults pair of a function with dynamic defaults, built on first read
// of __defaults__: constants from the module state, objects from its storage.
PyObject* defaults_getter(PyObject* func) {
  const FunctionDesc* desc = reinterpret_cast<const FunctionDesc*>(cyfunction(func)->func.m_ml);
  const Signature& sig = *desc->sig;
  Ref defaults = Ref::steal(PyTuple_New(sig.nparams - sig.min));
  if (defaults) {
    for (int i = sig.min; i < sig.nparams; ++i) {
      const Default& d = sig.defaults[i];
      PyObject* value = d.kind == Default::kString ? str(d.index) : default_slots(func)[d.index];
      Py_INCREF(value);
      PyTuple_SET_ITEM(defaults.get(), i - sig.min, value);
    }
    PyObject* pair = PyTuple_Pack(2, defaults.get(), Py_None);
    if (pair) return pair;
  }
  // One failure point of the frame, shared by every getter of the module.
  return fail_at(__pyx_names.defaults_traceback, sig.def_line, __LINE__);
}

bool has_object_defaults(const Signature& sig) {
  for (int i = sig.min; i < sig.nparams; ++i)
    if (sig.defaults[i].kind == Default::kObject) return true;
  return false;
}

PyObject* new_function(const FunctionDesc& f, PyObject* code) {
  return __Pyx_CyFunction_New(const_cast<PyMethodDef*>(&f.method.def), str(f.qualname), str(kStrModuleName),
                              __pyx_mstate.__pyx_d, code);
}

// Builds the variable names, the code object and any constant defaults tuple.
int make_constants(int i) {
  const FunctionDesc& f = *M.functions[i];
  const Signature& sig = *f.sig;
  if (f.has_code) {
    PyObject* names = PyTuple_New(f.nvarnames);
    if (!names) return -1;
    replace(__pyx_mstate.varnames[i], names);
    for (int k = 0; k < f.nvarnames; ++k) {
      Py_INCREF(str(f.varnames[k]));
      PyTuple_SET_ITEM(names, k, str(f.varnames[k]));
    }
    PyObject* e = __pyx_mstate.__pyx_empty_tuple;
    PyObject* b = __pyx_mstate.__pyx_empty_bytes;
    int flags = CO_OPTIMIZED | CO_NEWLOCALS | (sig.star_args ? CO_VARARGS : 0) | (sig.star_kwargs ? CO_VARKEYWORDS : 0);
    PyObject* code = reinterpret_cast<PyObject*>(PyCode_New(sig.nparams, 0, f.nvarnames, 0, flags, b, e, e, names, e, e,
                                                            str(kStrSourceFile), str(f.name), sig.def_line, b));
    if (!code) return -1;
    replace(__pyx_mstate.code[i], code);
  }
  if (sig.nparams > sig.min && !has_object_defaults(sig)) {
    PyObject* t = PyTuple_New(sig.nparams - sig.min);
    if (!t) return -1;
    replace(__pyx_mstate.defaults[i], t);
    for (int k = sig.min; k < sig.nparams; ++k) {
      Py_INCREF(str(sig.defaults[k].index));
      PyTuple_SET_ITEM(t, k - sig.min, str(sig.defaults[k].index));
    }
  }
  return 0;
}

int publish_function(int i) {
  const FunctionDesc& f = *M.functions[i];
  const Signature& sig = *f.sig;
  Ref func = Ref::steal(new_function(f, f.has_code ? __pyx_mstate.code[i] : nullptr));
  if (!func) return -1;
  if (has_object_defaults(sig)) {
    int nslots = 0;
    for (int k = sig.min; k < sig.nparams; ++k)
      if (sig.defaults[k].kind == Default::kObject) ++nslots;
    if (!__Pyx_CyFunction_InitDefaults(func.get(), nslots * sizeof(PyObject*), nslots)) return -1;
    for (int k = sig.min; k < sig.nparams; ++k) {
      const Default& d = sig.defaults[k];
      if (d.kind != Default::kObject) continue;
      PyObject* value = new_function(*d.object, nullptr);
      if (!value) return -1;
      default_slots(func.get())[d.index] = value;
    }
    cyfunction(func.get())->defaults_getter = defaults_getter;
  } else if (__pyx_mstate.defaults[i]) {
    Py_INCREF(__pyx_mstate.defaults[i]);
    cyfunction(func.get())->defaults_tuple = __pyx_mstate.defaults[i];
  }
  return PyDict_SetItem(__pyx_mstate.__pyx_d, str(f.name), func.get());
}

// Every failure from the string table on adds the init entry; all failures
// drop the module so that a later import starts again.
int exec_failed(int py_line, int c_line) {
  if (py_line) __Pyx_AddTraceback(__pyx_names.init_traceback, c_line, py_line, __pyx_names.traceback_file);
  Py_CLEAR(__pyx_m);
  return -1;
}
#define PELMO_INIT_FAIL(line) return exec_failed(line, __LINE__)
#define PELMO_EARLY_FAIL() return exec_failed(0, 0)

}  // namespace

ModuleNames __pyx_names = {};

namespace {

// `prefix`, then the dotted name with every '.' written as `sep`, then `suffix`.
void derive(char* out, size_t size, const char* prefix, const char* sep, const char* suffix) {
  size_t n = 0;
  auto put = [&](const char* s) {
    while (*s && n + 1 < size) out[n++] = *s++;
  };
  put(prefix);
  for (const char* p = M.full_name; *p; ++p) {
    if (*p == '.') {
      put(sep);
    } else if (n + 1 < size) {
      out[n++] = *p;
    }
  }
  put(suffix);
  out[n] = 0;
}

}  // namespace

void __Pyx_InitModuleNames() {
  ModuleNames& m = __pyx_names;
  derive(m.source_file, sizeof m.source_file, "src\\", "\\", "");
  derive(m.traceback_file, sizeof m.traceback_file, "src\\\\", "\\\\", "");
  derive(m.c_file, sizeof m.c_file, "src/", "/", "");
  derive(m.init_traceback, sizeof m.init_traceback, "init ", ".", "");
  derive(m.defaults_traceback, sizeof m.defaults_traceback, "", ".", ".__defaults__");
}

int __pyx_pymod_exec(PyObject* module) {
  if (__pyx_m) {
    if (__pyx_m == module) return 0;
    PyErr_Format(PyExc_RuntimeError,
                 "Module '%s' has already been imported. Re-initialisation is not supported.", M.short_name);
    return -1;
  }
  Py_INCREF(module);
  __pyx_m = module;
  __Pyx_InitModuleNames();
  ModuleState& s = __pyx_mstate;
  PyObject* d = PyModule_GetDict(module);
  if (!d) PELMO_EARLY_FAIL();
  Py_INCREF(d);
  replace(s.__pyx_d, d);
  PyObject* b = PyImport_AddModule("builtins");
  if (!b) PELMO_EARLY_FAIL();
  Py_INCREF(b);
  replace(s.__pyx_b, b);
  PyObject* runtime = PyImport_AddModule("cython_runtime");
  if (!runtime) PELMO_EARLY_FAIL();
  Py_INCREF(runtime);
  replace(s.__pyx_cython_runtime, runtime);
  if (PyObject_SetAttrString(module, "__builtins__", s.__pyx_b) < 0) PELMO_EARLY_FAIL();
  if (check_version() < 0) PELMO_EARLY_FAIL();
  PyObject* empty;
  if (!(empty = PyTuple_New(0))) PELMO_EARLY_FAIL();
  replace(s.__pyx_empty_tuple, empty);
  if (!(empty = PyBytes_FromStringAndSize("", 0))) PELMO_EARLY_FAIL();
  replace(s.__pyx_empty_bytes, empty);
  if (!(empty = PyUnicode_FromStringAndSize("", 0))) PELMO_EARLY_FAIL();
  replace(s.__pyx_empty_unicode, empty);
  if (__Pyx_CyFunction_InitType() < 0) PELMO_EARLY_FAIL();
  if (__Pyx_CreateStringTabAndInitStrings() < 0) PELMO_EARLY_FAIL();

  if (*M.main_flag && PyObject_SetAttr(module, str(kStrName), str(kStrMain)) < 0) PELMO_INIT_FAIL(1);
  PyObject* modules = PyImport_GetModuleDict();
  PyObject* existing = PyDict_GetItemWithError(modules, str(kStrModuleName));
  if (!existing) {
    if (PyErr_Occurred()) PELMO_INIT_FAIL(1);
    if (PyDict_SetItem(modules, str(kStrModuleName), module) < 0) PELMO_INIT_FAIL(1);
  }
  for (int i = 0; i < M.nbuiltins; ++i) {
    PyObject* value = __Pyx_GetBuiltinName(str(M.builtins[i].name));
    if (!value) PELMO_INIT_FAIL(1);
    if (M.builtins[i].keep) replace(s.builtins[i], value);
    else Py_DECREF(value);
  }
  for (int i = 0; i < M.nfunctions; ++i)
    if (make_constants(i) < 0) PELMO_INIT_FAIL(1);
  for (int i = 0; i < M.nfunctions; ++i)
    if (publish_function(i) < 0) PELMO_INIT_FAIL(M.functions[i]->sig->def_line);
  Ref test = Ref::steal(PyDict_New());
  if (!test) PELMO_INIT_FAIL(1);
  if (PyDict_SetItem(s.__pyx_d, str(kStrTest), test.get()) < 0) PELMO_INIT_FAIL(1);
  return 0;
}

}  // namespace pelmo
