// What a module source declares: its strings, builtins, functions and their
// signatures. These are constant tables, built and checked while the module
// compiles; the frame turns them into objects when the module is executed
// and drives every call through them.
//
// Declarations name strings by their text. Each name is looked up in the
// module's string table while compiling, so the table is the one list of the
// module's strings and a name missing from it does not compile. Counts and
// indices are derived, never written.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include "frame/ref.h"

namespace pelmo {

// Strings every module's table starts with; a module's own strings follow,
// numbered from kFrameStrings.
enum FrameString : int {
  kStrAsyncioCoroutines,
  kStrClineInTraceback,
  kStrIsCoroutine,
  kStrMain,
  kStrName,
  kStrTest,
  kStrStdout,      // the names the builtins print and input work with
  kStrWrite,
  kStrStdin,
  kStrStderr,
  kStrFlush,
  kStrFileno,
  kStrReadline,
  kStrEncoding,
  kStrErrors,
  kStrModuleName,  // the full dotted name, interned
  kStrSourceFile,  // code objects' file name, plain
  kFrameStrings
};

// The sizes of the module state's arrays (state.h), which every table below
// is copied into and is bounded by.
constexpr int kMaxStrings = 48;
constexpr int kMaxParams = 4;
constexpr int kMaxVarnames = 6;
constexpr int kMaxFunctions = 6;
constexpr int kMaxBuiltins = 3;
constexpr int kMaxModuleStrings = kMaxStrings - kFrameStrings;
// "pelmo.list.strutils.sprell.multi_str_sprell" and its NUL fit.
constexpr int kMaxTracebackName = 64;

// A declaration that evaluates one of these while it is compiled does not
// compile: they are not constexpr, and the compiler's message names them,
// and so the mistake. They are never called at run time.
inline void not_in_the_string_table() {}
inline void listed_twice_in_the_string_table() {}
inline void not_a_captured_builtin() {}
inline void too_many_parameters() {}
inline void too_many_variable_names() {}
inline void required_parameter_after_an_optional_one() {}
inline void declare_parameters_then_varargs_then_varkw_then_locals() {}
inline void name_too_long_for_a_traceback_entry() {}

constexpr bool same_text(const char* a, const char* b) {
  while (*a && *a == *b) ++a, ++b;
  return *a == *b;
}

// One constant string. The frame creates `str` objects only; `encoding`,
// `is_unicode` and `is_str` keep the shape of the classic string table.
struct StrSpec {
  const char* s;
  Py_ssize_t n;  // bytes including the terminating NUL
  const char* encoding;
  int8_t is_unicode;
  int8_t is_str;
  int8_t intern;
};

// An identifier: created interned.
template <size_t N>
constexpr StrSpec interned(const char (&s)[N]) {
  return StrSpec{s, static_cast<Py_ssize_t>(N), nullptr, 0, 1, 1};
}
// Any other literal: a plain `str`.
template <size_t N>
constexpr StrSpec literal(const char (&s)[N]) {
  return StrSpec{s, static_cast<Py_ssize_t>(N), nullptr, 0, 1, 0};
}

struct Signature;

// The module's own strings, in the order the module state holds them after
// the frame's, and the module's dotted name, which the names of its
// functions' traceback entries start with. Made by strings() (module.h).
struct StringTable {
  const char* module;
  StrSpec items[kMaxModuleStrings];
  int count;

  // The string number of `text`.
  constexpr int16_t find(const char* text) const {
    int16_t found = find_or_none(text);
    if (found < 0) not_in_the_string_table();
    return found;
  }
  constexpr int16_t find_or_none(const char* text) const {
    for (int i = 0; i < count; ++i)
      if (same_text(items[i].s, text)) return static_cast<int16_t>(kFrameStrings + i);
    return -1;
  }
  constexpr void check_distinct() const {
    for (int i = 0; i < count; ++i)
      for (int j = 0; j < i; ++j)
        if (same_text(items[i].s, items[j].s)) listed_twice_in_the_string_table();
  }

  // `def name(...)` on source line `line`: a function with a code object,
  // published in the module under its name.
  constexpr Signature def(const char* name, int line) const;
  // A default value written in place as a lambda on source line `line`: a
  // function object without a code object, with its own method name (the
  // name its messages show) and qualified name.
  constexpr Signature lambda(const char* name, int line, const char* qualname) const;
};

// A builtin the module looks up when it is executed.
struct Builtin {
  const char* text;
  int16_t name;  // string number
  bool keep;     // false: looked up only for its presence
};
// Looked up and kept: calls use the object found at import.
constexpr Builtin capture(const char* name) { return Builtin{name, -1, true}; }
// Looked up only: the import fails without it, nothing uses it.
constexpr Builtin require(const char* name) { return Builtin{name, -1, false}; }

struct BuiltinTable {
  Builtin items[kMaxBuiltins];
  int count;

  // The state slot of a captured builtin.
  constexpr int find(const char* text) const {
    for (int i = 0; i < count; ++i)
      if (items[i].keep && same_text(items[i].text, text)) return i;
    not_a_captured_builtin();
    return -1;
  }
};
constexpr BuiltinTable kNoBuiltins{};

// The builtins of a module, in the order they are looked up.
template <typename... B>
constexpr BuiltinTable builtins(const StringTable& strings, B... b) {
  static_assert(sizeof...(B) <= kMaxBuiltins, "more builtins than the module state holds (kMaxBuiltins)");
  BuiltinTable t{{b...}, static_cast<int>(sizeof...(B))};
  for (int i = 0; i < t.count; ++i) t.items[i].name = strings.find(t.items[i].text);
  return t;
}

struct FunctionDesc;

// Where an optional parameter's default comes from.
struct Default {
  enum Kind : uint8_t { kRequired, kString, kObject } kind;
  int16_t index;               // kString: string number; kObject: storage slot
  const FunctionDesc* object;  // kObject: function object made at import, kept
                               // in the dynamic-defaults storage
  const char* text;            // kString: the text, found by Signature::param
};
// A module string, the same object for every call.
constexpr Default default_string(const char* text) { return Default{Default::kString, -1, nullptr, text}; }
// A function object made at import and kept by the function it is a default of.
constexpr Default default_object(const FunctionDesc& f) { return Default{Default::kObject, -1, &f, nullptr}; }

// How a function binds its arguments and reports its failures, and what its
// function and code objects are made from. Declared by a chain that reads
// like the `def` line:
//   kStrings.def("read", 1).param("n").param("s", default_string("")).locals("i")
struct Signature {
  const char* name;                   // the name in messages: "read", "lambda"
  char traceback[kMaxTracebackName];  // "pelmo.list.read.read"
  int def_line;                       // binding failures report this line
  int8_t nparams;                     // named positional-or-keyword parameters
  int8_t min;                         // parameters without default
  bool star_args;
  bool star_kwargs;
  int16_t params[kMaxParams];    // string numbers of the parameter names
  Default defaults[kMaxParams];  // per parameter
  int16_t name_str;              // the name as a string number; -1 for a lambda
  int16_t qualname_str;
  bool has_code;                 // false: __code__ is None
  int8_t nobjects;               // slots of the dynamic-defaults storage
  int8_t nvarnames;              // parameters, *args, **kwargs, then locals
  int16_t varnames[kMaxVarnames];

  // A parameter without a default.
  constexpr Signature param(const char* pname) const { return with_param(pname, Default{}); }
  // A parameter with a default.
  constexpr Signature param(const char* pname, Default d) const { return with_param(pname, d); }
  // *name
  constexpr Signature varargs(const char* vname) const {
    Signature s = next(kVarargs);
    s.star_args = true;
    s.add_varname(vname);
    return s;
  }
  // **name
  constexpr Signature varkw(const char* vname) const {
    Signature s = next(kVarkw);
    s.star_kwargs = true;
    s.add_varname(vname);
    return s;
  }
  // The body's local variables, after the parameters in the code object.
  template <typename... Names>
  constexpr Signature locals(const char* first, Names... rest) const {
    Signature s = next(kLocals);
    const char* list[] = {first, rest...};
    for (const char* l : list) s.add_varname(l);
    return s;
  }

 private:
  friend struct StringTable;

  // Declaration order, which is the order of the code object's names.
  enum Stage : int8_t { kParams, kVarargs, kVarkw, kLocals };
  int8_t stage_;                // what was declared last
  const StringTable* strings_;  // where the names are looked up

  // What every declaration starts with: the name, the line and the name of
  // its traceback entries, the module's dotted name, a '.' and the name.
  static constexpr Signature declare(const StringTable& strings, const char* fname, int line) {
    Signature s{};
    s.name = fname;
    s.def_line = line;
    s.strings_ = &strings;
    const char* parts[] = {strings.module, ".", fname};
    int n = 0;
    for (const char* p : parts)
      for (; *p; ++p) {
        if (n + 1 == kMaxTracebackName) name_too_long_for_a_traceback_entry();
        s.traceback[n++] = *p;
      }
    return s;
  }

  constexpr Signature next(Stage st) const {
    if (st < stage_) declare_parameters_then_varargs_then_varkw_then_locals();
    Signature s = *this;
    s.stage_ = st;
    return s;
  }
  constexpr void add_varname(const char* text) {
    if (nvarnames == kMaxVarnames) too_many_variable_names();
    varnames[nvarnames++] = strings_->find(text);
  }
  constexpr Signature with_param(const char* pname, Default d) const {
    Signature s = next(kParams);
    if (s.nparams == kMaxParams) too_many_parameters();
    if (d.kind == Default::kRequired) {
      if (s.min != s.nparams) required_parameter_after_an_optional_one();
      ++s.min;
    } else if (d.kind == Default::kString) {
      d.index = strings_->find(d.text);
    } else {
      d.index = s.nobjects++;
    }
    s.params[s.nparams] = strings_->find(pname);
    s.defaults[s.nparams] = d;
    ++s.nparams;
    s.add_varname(pname);
    return s;
  }
};

constexpr Signature StringTable::def(const char* fname, int line) const {
  Signature s = Signature::declare(*this, fname, line);
  s.name_str = s.qualname_str = find(fname);
  s.has_code = true;
  return s;
}

constexpr Signature StringTable::lambda(const char* fname, int line, const char* qualname) const {
  Signature s = Signature::declare(*this, fname, line);
  s.name_str = -1;
  s.qualname_str = find(qualname);
  s.has_code = false;
  return s;
}

// A published function, or a function object serving as a default value:
// its method definition, and the signature everything else comes from.
struct FunctionDesc {
  PyMethodDef method;  // name, entry, flags (always METH_FASTCALL | METH_KEYWORDS), doc
  const Signature* sig;
};

// The functions a module publishes, in source order.
struct FunctionList {
  const FunctionDesc* items[kMaxFunctions];
  int count;
};
template <typename... F>
constexpr FunctionList functions(const F&... f) {
  static_assert(sizeof...(F) <= kMaxFunctions, "more functions than the module state holds (kMaxFunctions)");
  return FunctionList{{&f...}, static_cast<int>(sizeof...(F))};
}

struct ModuleDesc {
  const char* short_name;  // "read"
  const char* full_name;   // "pelmo.list.read"
  const StringTable* strings;
  const BuiltinTable* builtins;
  const FunctionList* functions;
  int* main_flag;  // the exported flag
};

// The function type keeps a pointer to the method definition: the defaults
// getter finds the whole description from it.
static_assert(offsetof(FunctionDesc, method) == 0, "the method definition must come first");

}  // namespace pelmo
