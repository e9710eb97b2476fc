// The one header a module source includes. A module declares its strings,
// builtins, signatures and bodies; PELMO_MODULE then defines the entry point,
// the exported flag and the module definition around the frame.
#pragma once
#include "frame/binding.h"
#include "frame/call.h"
#include "frame/cyfunction.h"
#include "frame/print.h"
#include "frame/traceback.h"

namespace pelmo {

PyObject* __pyx_pymod_create(PyObject* spec, PyModuleDef* def);
int __pyx_pymod_exec(PyObject* module);
PyObject* __Pyx_GetBuiltinName(PyObject* name);

template <typename T, size_t N>
constexpr int count_of(const T (&)[N]) { return static_cast<int>(N); }

// A module that captures no builtins says so with kNoBuiltins.
struct NoBuiltins {};
constexpr NoBuiltins kNoBuiltins{};

template <size_t NS, size_t NB, size_t NF>
ModuleDesc describe(const char* short_name, const char* full_name, const StrSpec (&strings)[NS],
                    const Builtin (&builtins)[NB], const FunctionDesc* const (&functions)[NF], int* flag) {
  return ModuleDesc{short_name, full_name, strings,   count_of(strings),   builtins,
                    count_of(builtins), functions, count_of(functions), flag};
}
template <size_t NS, size_t NF>
ModuleDesc describe(const char* short_name, const char* full_name, const StrSpec (&strings)[NS], NoBuiltins,
                    const FunctionDesc* const (&functions)[NF], int* flag) {
  return ModuleDesc{short_name, full_name, strings, count_of(strings), nullptr, 0, functions, count_of(functions), flag};
}

}  // namespace pelmo

// Reports a body failure at a source line; the C line is this statement's.
#define PELMO_FAIL(call, line) return (call).fail((line), __LINE__)

#define PELMO_VISIBLE __attribute__((visibility("default")))

// PELMO_MODULE(count, pelmo__list__count, "pelmo.list.count", kStrings, kNoBuiltins, kFunctions):
// the library's two exported symbols, its module definition and the
// description the frame works from.
#define PELMO_MODULE(short_name, flag_suffix, full_name, strings, builtins, functions)            \
  extern "C" {                                                                                    \
  PELMO_VISIBLE int __pyx_module_is_main_##flag_suffix = 0;                                       \
  }                                                                                               \
  static int __pyx_pymod_exec_##short_name(PyObject* module) { return pelmo::__pyx_pymod_exec(module); } \
  static PyModuleDef_Slot __pyx_moduledef_slots[] = {                                             \
      {Py_mod_create, reinterpret_cast<void*>(pelmo::__pyx_pymod_create)},                      \
      {Py_mod_exec, reinterpret_cast<void*>(__pyx_pymod_exec_##short_name)},                    \
      {0, nullptr}};                                                                              \
  static PyMethodDef __pyx_methods[] = {{nullptr, nullptr, 0, nullptr}};                         \
  static PyModuleDef __pyx_moduledef = {PyModuleDef_HEAD_INIT, #short_name, nullptr, 0, __pyx_methods, \
                                        __pyx_moduledef_slots, nullptr, nullptr, nullptr};       \
  extern "C" PELMO_VISIBLE PyObject* PyInit_##short_name(void) { return PyModuleDef_Init(&__pyx_moduledef); } \
  namespace pelmo {                                                                               \
  const ModuleDesc __pyx_module_desc = describe(#short_name, full_name, strings, builtins, functions, \
                                                &__pyx_module_is_main_##flag_suffix);            \
  }
