// The one header a module source includes. A module declares its strings,
// builtins, signatures and bodies; PELMO_MODULE then defines the entry point,
// the exported flag and the module definition around the frame.
//
// The shape of a module source:
//
//   constexpr StringTable kStrings = strings(interned("ls"), interned("elemcount"), ...);
//   constexpr BuiltinTable kBuiltins = builtins(kStrings, capture("range"));  // or kNoBuiltins
//   // Line 1: def elemcount(ls):
//   PyObject* elemcount(Call& a);
//   constexpr Signature kElemcountSig = kStrings.def("elemcount", 1).param("ls").locals("vis", "l", "v");
//   const FunctionDesc kElemcount = function<kElemcountSig, elemcount>();
//   constexpr FunctionList kFunctions = functions(kElemcount);
//   ... the bodies ...
//   PELMO_MODULE(kStrings, kBuiltins, kFunctions)
//
// Bodies name the module's strings and captured builtins by their text,
// PELMO_STR("count") and PELMO_BUILTIN("input"); both are found in the tables
// above while compiling.
#pragma once
#include "frame/binding.h"
#include "frame/call.h"
#include "frame/cyfunction.h"
#include "frame/errors.h"
#include "frame/failure.h"
#include "frame/init.h"
#include "frame/input.h"
#include "frame/print.h"
#include "frame/split.h"

// The build names the module: its dotted name, the last component and the
// dotted name with "__" for every '.', all from the one list of modules.
#if !defined(PELMO_MODULE_NAME) || !defined(PELMO_MODULE_SHORT) || !defined(PELMO_MODULE_FLAG)
#error "a module source is compiled by pelmo_add_module, which names the module"
#endif

namespace pelmo {

// The module's own strings, in the order given.
template <typename... S>
constexpr StringTable strings(S... s) {
  static_assert(sizeof...(S) <= kMaxModuleStrings, "more strings than the module state holds (kMaxStrings)");
  StringTable t{PELMO_MODULE_NAME, {s...}, static_cast<int>(sizeof...(S))};
  t.check_distinct();
  return t;
}

// The function object of a declared signature and its body.
template <const Signature& S, PyObject* (*Body)(Call&)>
FunctionDesc function() {
  return FunctionDesc{method<S, Body>(), &S};
}

// A value as a template argument: what makes a lookup happen while compiling.
template <int I>
struct Constant {
  static constexpr int value = I;
};

constexpr ModuleDesc describe(const char* short_name, const StringTable& strings, const BuiltinTable& builtins,
                              const FunctionList& functions, int* flag) {
  return ModuleDesc{short_name, strings.module, &strings, &builtins, &functions, flag};
}

}  // namespace pelmo

// The module string with this text; the module's table is kStrings.
#define PELMO_STR(text) ::pelmo::str(::pelmo::Constant<kStrings.find(text)>::value)
// The captured builtin of this name; the module's table is kBuiltins.
#define PELMO_BUILTIN(text) ::pelmo::builtin(::pelmo::Constant<kBuiltins.find(text)>::value)

#define PELMO_VISIBLE __attribute__((visibility("default")))

// PELMO_MODULE(kStrings, kBuiltins, kFunctions): the library's two exported
// symbols, its module definition and the description the frame works from.
#define PELMO_MODULE(strings, builtins, functions) \
  PELMO_DEFINE_MODULE_(PELMO_MODULE_SHORT, PELMO_MODULE_FLAG, strings, builtins, functions)
// One more level, so that the names above are expanded before they are pasted.
#define PELMO_DEFINE_MODULE_(short_name, flag_suffix, strings, builtins, functions) \
  PELMO_DEFINE_MODULE(short_name, flag_suffix, strings, builtins, functions)
#define PELMO_DEFINE_MODULE(short_name, flag_suffix, strings, builtins, functions)                  \
  extern "C" {                                                                                      \
  PELMO_VISIBLE int __pyx_module_is_main_##flag_suffix = 0;                                         \
  }                                                                                                 \
  static int __pyx_pymod_exec_##short_name(PyObject* module) { return pelmo::exec_module(module); } \
  static PyModuleDef_Slot module_slots[] = {                                                        \
      {Py_mod_create, reinterpret_cast<void*>(pelmo::__pyx_pymod_create)},                          \
      {Py_mod_exec, reinterpret_cast<void*>(__pyx_pymod_exec_##short_name)},                        \
      {0, nullptr}};                                                                                \
  static PyMethodDef module_methods[] = {{nullptr, nullptr, 0, nullptr}};                           \
  static PyModuleDef module_def = {PyModuleDef_HEAD_INIT, #short_name, nullptr, 0, module_methods,  \
                                   module_slots, nullptr, nullptr, nullptr};                        \
  extern "C" PELMO_VISIBLE PyObject* PyInit_##short_name(void);                                     \
  PyObject* PyInit_##short_name(void) { return PyModuleDef_Init(&module_def); }                     \
  PELMO_CHECK_C_LINES();                                                                            \
  namespace pelmo {                                                                                 \
  const ModuleDesc kModule = describe(#short_name, strings, builtins, functions,                    \
                                      &__pyx_module_is_main_##flag_suffix);                         \
  }
