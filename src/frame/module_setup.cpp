// A module's creation, and its execution up to the moment its strings
// exist: the module state, the shared objects, the version check, the
// function type and the string table. A failure here adds no traceback
// entry: the names it would carry do not exist yet.
#include "frame/cyfunction.h"
#include "frame/errors.h"
#include "frame/init.h"

namespace pelmo {

ModuleState __pyx_mstate = {};
PyObject* __pyx_m = nullptr;
ModuleNames module_names = {};

namespace {

int64_t main_interpreter_id = -1;

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
                static_cast<int>(built >> 24), static_cast<int>((built >> 16) & 0xFF), kModule.full_name, "does not match",
                static_cast<int>(runtime >> 24), static_cast<int>((runtime >> 16) & 0xFF));
  return PyErr_WarnEx(nullptr, message, 1);
}

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

// `prefix`, then the dotted name with every '.' written as `sep`, then `suffix`.
void derive(char* out, size_t size, const char* prefix, const char* sep, const char* suffix) {
  size_t n = 0;
  auto put = [&](const char* s) {
    while (*s && n + 1 < size) out[n++] = *s++;
  };
  put(prefix);
  for (const char* p = kModule.full_name; *p; ++p) {
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

int __Pyx_copy_spec_to_module(PyObject* spec, PyObject* moddict, const char* from_name, const char* to_name,
                              int allow_none) {
  Ref value = Ref::steal(PyObject_GetAttrString(spec, from_name));
  if (!value) {
    if (!exception_matches(PyExc_AttributeError)) return -1;
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

int __Pyx_CreateStringTabAndInitStrings() {
  // In the order of FrameString.
  const StrSpec frame[] = {
      interned("asyncio.coroutines"),
      interned("cline_in_traceback"),
      interned("_is_coroutine"),
      interned("__main__"),
      interned("__name__"),
      interned("__test__"),
      interned("stdout"),
      interned("write"),
      interned("stdin"),
      interned("stderr"),
      interned("flush"),
      interned("fileno"),
      interned("readline"),
      interned("encoding"),
      interned("errors"),
      StrSpec{kModule.full_name, cstr_size(kModule.full_name), nullptr, 0, 1, 1},
      StrSpec{module_names.source_file, cstr_size(module_names.source_file), nullptr, 0, 1, 0},
  };
  static_assert(sizeof frame / sizeof frame[0] == kFrameStrings, "one frame string per FrameString");
  for (int i = 0; i < kFrameStrings; ++i)
    if (create_string(&__pyx_mstate.strings[i], frame[i]) < 0) return -1;
  for (int i = 0; i < kModule.strings->count; ++i)
    if (create_string(&__pyx_mstate.strings[kFrameStrings + i], kModule.strings->items[i]) < 0) return -1;
  return 0;
}

void init_module_names() {
  ModuleNames& m = module_names;
  derive(m.source_file, sizeof m.source_file, "src\\", "\\", "");
  derive(m.traceback_file, sizeof m.traceback_file, "src\\\\", "\\\\", "");
  derive(m.c_file, sizeof m.c_file, "src/", "/", "");
  derive(m.init_traceback, sizeof m.init_traceback, "init ", ".", "");
  derive(m.defaults_traceback, sizeof m.defaults_traceback, "", ".", ".__defaults__");
}

int exec_until_strings(PyObject* module) {
  init_module_names();
  ModuleState& s = __pyx_mstate;
  PyObject* d = PyModule_GetDict(module);
  if (!d) return -1;
  Py_INCREF(d);
  replace(s.__pyx_d, d);
  PyObject* b = PyImport_AddModule("builtins");
  if (!b) return -1;
  Py_INCREF(b);
  replace(s.__pyx_b, b);
  PyObject* runtime = PyImport_AddModule("cython_runtime");
  if (!runtime) return -1;
  Py_INCREF(runtime);
  replace(s.__pyx_cython_runtime, runtime);
  if (PyObject_SetAttrString(module, "__builtins__", s.__pyx_b) < 0) return -1;
  if (check_version() < 0) return -1;
  PyObject* empty;
  if (!(empty = PyTuple_New(0))) return -1;
  replace(s.__pyx_empty_tuple, empty);
  if (!(empty = PyBytes_FromStringAndSize("", 0))) return -1;
  replace(s.__pyx_empty_bytes, empty);
  if (!(empty = PyUnicode_FromStringAndSize("", 0))) return -1;
  replace(s.__pyx_empty_unicode, empty);
  if (fetch_or_register_type() < 0) return -1;
  return __Pyx_CreateStringTabAndInitStrings();
}

}  // namespace pelmo
