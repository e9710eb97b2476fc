// The one header a module source includes. A module declares its strings,
// builtins, signatures and bodies; PELMO_MODULE then defines the entry point,
// the exported flag and the module definition around the frame.
#pragma once
#include "frame/binding.h"
#include "frame/call.h"
#include "frame/cyfunction.h"
#include "frame/errors.h"
#include "frame/failure.h"
#include "frame/init.h"

namespace pelmo {

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

#define PELMO_VISIBLE __attribute__((visibility("default")))

// The build names the module: its dotted name, the last component and the
// dotted name with "__" for every '.', all from the one list of modules.
#if !defined(PELMO_MODULE_NAME) || !defined(PELMO_MODULE_SHORT) || !defined(PELMO_MODULE_FLAG)
#error "a module source is compiled by pelmo_add_module, which names the module"
#endif

// PELMO_MODULE(kStrings, kBuiltins, kFunctions): the library's two exported
// symbols, its module definition and the description the frame works from.
#define PELMO_MODULE(strings, builtins, functions) \
  PELMO_DEFINE_MODULE_(PELMO_MODULE_SHORT, PELMO_MODULE_FLAG, strings, builtins, functions)
// One more level, so that the names above are expanded before they are pasted.
#define PELMO_DEFINE_MODULE_(short_name, flag_suffix, strings, builtins, functions) \
  PELMO_DEFINE_MODULE(short_name, flag_suffix, strings, builtins, functions)
#define PELMO_DEFINE_MODULE(short_name, flag_suffix, strings, builtins, functions)                \
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
  extern "C" PELMO_VISIBLE PyObject* PyInit_##short_name(void);                                   \
  PyObject* PyInit_##short_name(void) { return PyModuleDef_Init(&__pyx_moduledef); }               \
  namespace pelmo {                                                                               \
  const ModuleDesc __pyx_module_desc = describe(#short_name, PELMO_MODULE_NAME, strings, builtins, functions, \
                                                &__pyx_module_is_main_##flag_suffix);            \
  }
