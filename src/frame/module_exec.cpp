// A module's execution once its strings exist: the name it is run under,
// its entry in sys.modules, the builtins it captures, its constants and its
// function objects. Every failure here adds the init traceback entry, with
// the failing step's own C line.
#include "frame/cyfunction.h"
#include "frame/errors.h"
#include "frame/failure.h"
#include "frame/init.h"

namespace pelmo {

namespace {

PyObject* new_function(const FunctionDesc& f, PyObject* code) {
  return __Pyx_CyFunction_New(const_cast<PyMethodDef*>(&f.method), str(f.sig->qualname_str), str(kStrModuleName),
                              __pyx_mstate.__pyx_d, code);
}

// Builds the variable names, the code object and any constant defaults
// tuple of the i-th function: 0, or the C line of the step that failed.
int make_constants(int i) {
  const Signature& sig = *kModule.functions->items[i]->sig;
  if (sig.has_code) {
    PyObject* names = PyTuple_New(sig.nvarnames);
    if (!names) return c_line(sig, FunctionPoint::kVarnames);
    replace(__pyx_mstate.varnames[i], names);
    for (int k = 0; k < sig.nvarnames; ++k) {
      Py_INCREF(str(sig.varnames[k]));
      PyTuple_SET_ITEM(names, k, str(sig.varnames[k]));
    }
    PyObject* e = __pyx_mstate.__pyx_empty_tuple;
    PyObject* b = __pyx_mstate.__pyx_empty_bytes;
    int flags = CO_OPTIMIZED | CO_NEWLOCALS | (sig.star_args ? CO_VARARGS : 0) | (sig.star_kwargs ? CO_VARKEYWORDS : 0);
    PyObject* code = reinterpret_cast<PyObject*>(PyCode_New(sig.nparams, 0, sig.nvarnames, 0, flags, b, e, e, names, e, e,
                                                            str(kStrSourceFile), str(sig.name_str), sig.def_line, b));
    if (!code) return c_line(sig, FunctionPoint::kCode);
    replace(__pyx_mstate.code[i], code);
  }
  if (sig.nparams > sig.min && sig.nobjects == 0) {
    PyObject* t = PyTuple_New(sig.nparams - sig.min);
    if (!t) return c_line(sig, FunctionPoint::kConstantDefaults);
    replace(__pyx_mstate.defaults[i], t);
    for (int k = sig.min; k < sig.nparams; ++k) {
      Py_INCREF(str(sig.defaults[k].index));
      PyTuple_SET_ITEM(t, k - sig.min, str(sig.defaults[k].index));
    }
  }
  return 0;
}

// Makes the i-th function object with its defaults and binds its name in the
// module: 0, or the C line of the step that failed.
int publish_function(int i) {
  const FunctionDesc& f = *kModule.functions->items[i];
  const Signature& sig = *f.sig;
  Ref func = Ref::steal(new_function(f, sig.has_code ? __pyx_mstate.code[i] : nullptr));
  if (!func) return c_line(sig, FunctionPoint::kFunctionObject);
  if (sig.nobjects) {
    if (!attach_defaults_storage(func.get(), sig.nobjects * sizeof(PyObject*), sig.nobjects))
      return c_line(sig, FunctionPoint::kDefaultsStorage);
    for (int k = sig.min; k < sig.nparams; ++k) {
      const Default& d = sig.defaults[k];
      if (d.kind != Default::kObject) continue;
      PyObject* value = new_function(*d.object, nullptr);
      if (!value) return c_line(sig, FunctionPoint::kDefaultObject, d.index);
      default_slots(func.get())[d.index] = value;
    }
    cyfunction(func.get())->defaults_getter = defaults_from_storage;
  } else if (__pyx_mstate.defaults[i]) {
    Py_INCREF(__pyx_mstate.defaults[i]);
    cyfunction(func.get())->defaults_tuple = __pyx_mstate.defaults[i];
  }
  if (PyDict_SetItem(__pyx_mstate.__pyx_d, str(sig.name_str), func.get()) < 0)
    return c_line(sig, FunctionPoint::kPublish);
  return 0;
}

// Every failure from the string table on adds the init entry; all failures
// drop the module so that a later import starts again.
int exec_failed(int py_line, int c_line) {
  if (py_line) __Pyx_AddTraceback(module_names.init_traceback, c_line, py_line, module_names.traceback_file);
  Py_CLEAR(__pyx_m);
  return -1;
}

// The steps after the strings exist: 0, or -1 with the init entry added.
int exec_module_steps(PyObject* module) {
  ModuleState& s = __pyx_mstate;
  if (*kModule.main_flag && PyObject_SetAttr(module, str(kStrName), str(kStrMain)) < 0)
    return exec_failed(1, c_line(ModulePoint::kRenameToMain));
  PyObject* modules = PyImport_GetModuleDict();
  PyObject* existing = PyDict_GetItemWithError(modules, str(kStrModuleName));
  if (!existing) {
    if (PyErr_Occurred()) return exec_failed(1, c_line(ModulePoint::kModulesLookup));
    if (PyDict_SetItem(modules, str(kStrModuleName), module) < 0)
      return exec_failed(1, c_line(ModulePoint::kModulesStore));
  }
  for (int i = 0; i < kModule.builtins->count; ++i) {
    const Builtin& wanted = kModule.builtins->items[i];
    PyObject* value = __Pyx_GetBuiltinName(str(wanted.name));
    if (!value) return exec_failed(1, c_line(ModulePoint::kBuiltin, i));
    if (wanted.keep) replace(s.builtins[i], value);
    else Py_DECREF(value);
  }
  for (int i = 0; i < kModule.functions->count; ++i)
    if (int failed_at = make_constants(i)) return exec_failed(1, failed_at);
  for (int i = 0; i < kModule.functions->count; ++i)
    if (int failed_at = publish_function(i)) return exec_failed(kModule.functions->items[i]->sig->def_line, failed_at);
  Ref test = Ref::steal(PyDict_New());
  if (!test) return exec_failed(1, c_line(ModulePoint::kTestDict));
  if (PyDict_SetItem(s.__pyx_d, str(kStrTest), test.get()) < 0) return exec_failed(1, c_line(ModulePoint::kTestStore));
  return 0;
}

}  // namespace

PyObject* __Pyx_GetBuiltinName(PyObject* name) {
  PyObject* result = PyObject_GetAttr(__pyx_mstate.__pyx_b, name);
  if (!result) {
    if (exception_matches(PyExc_AttributeError)) PyErr_Clear();
    if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
  }
  return result;
}

int exec_module(PyObject* module) {
  if (__pyx_m) {
    if (__pyx_m == module) return 0;
    PyErr_Format(PyExc_RuntimeError,
                 "Module '%s' has already been imported. Re-initialisation is not supported.", kModule.short_name);
    return -1;
  }
  Py_INCREF(module);
  __pyx_m = module;
  if (exec_until_strings(module) < 0) return exec_failed(0, 0);
  return exec_module_steps(module);
}

}  // namespace pelmo
