// What a module source declares: its strings, builtins, signatures and
// functions. These are constant tables; the frame turns them into objects
// when the module is executed and drives every call through them.
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
  kStrStdout,      // the names the builtin print works with
  kStrWrite,
  kStrModuleName,  // the full dotted name, interned
  kStrSourceFile,  // code objects' file name, plain
  kFrameStrings
};

constexpr int kMaxStrings = 48;
constexpr int kMaxParams = 4;
constexpr int kMaxVarnames = 6;
constexpr int kMaxFunctions = 4;
constexpr int kMaxBuiltins = 3;

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

template <size_t N>
constexpr StrSpec interned(const char (&s)[N]) {
  return StrSpec{s, static_cast<Py_ssize_t>(N), nullptr, 0, 1, 1};
}
template <size_t N>
constexpr StrSpec literal(const char (&s)[N]) {
  return StrSpec{s, static_cast<Py_ssize_t>(N), nullptr, 0, 1, 0};
}

struct FunctionDesc;

// Where an optional parameter's default comes from.
struct Default {
  enum Kind : uint8_t { kRequired, kString, kObject } kind;
  int16_t index;                 // kString: string number; kObject: storage slot
  const FunctionDesc* object;    // kObject: function object made at import, kept
                                 // in the dynamic-defaults storage
};
constexpr Default required() { return Default{Default::kRequired, 0, nullptr}; }
constexpr Default string_default(int i) { return Default{Default::kString, static_cast<int16_t>(i), nullptr}; }
constexpr Default object_default(const FunctionDesc* f, int slot = 0) {
  return Default{Default::kObject, static_cast<int16_t>(slot), f};
}

// How a function binds its arguments, and how its failures are reported.
struct Signature {
  const char* name;          // the name in messages: "read", "lambda"
  const char* traceback;     // "pelmo.list.read.read"
  int def_line;              // binding failures report this line
  int c_line;                // C line of the binding failure point
  int8_t nparams;            // named positional-or-keyword parameters
  int8_t min;                // parameters without default
  bool star_args;
  bool star_kwargs;
  int16_t params[kMaxParams];     // string numbers of the parameter names
  Default defaults[kMaxParams];   // per parameter
};

// A function's method definition followed by a call entry for calls that
// come with a non-empty keyword dict: (self, argument tuple, keyword dict) ->
// result, with the effect the function type's call operation has through the
// fast entry, binding straight from the dict where it can. The flag
// kWithCallEntry in the definition's flags says that the entry is there;
// construction masks it out when it picks the fast entry, and no method
// definition made elsewhere carries it. The registered type's call operation
// serves every library's functions, so this pair is a binary contract like
// the instance record.
constexpr int kWithCallEntry = 0x10000000;

struct MethodDef {
  PyMethodDef def;             // name, entry, flags, doc
  ternaryfunc call;
};

// A published function, or a function object serving as a default value.
struct FunctionDesc {
  MethodDef method;
  const Signature* sig;
  int16_t name;                // string number of the name it is published under
  int16_t qualname;            // string number
  bool has_code;               // false: __code__ is None
  int8_t nvarnames;            // parameters, then locals
  int16_t varnames[kMaxVarnames];
};

struct Builtin {
  int16_t name;                // string number
  bool keep;                   // false: looked up only for its presence
};

struct ModuleDesc {
  const char* short_name;      // "read"
  const char* full_name;       // "pelmo.list.read"
  const StrSpec* strings;      // the module's own strings
  int nstrings;
  const Builtin* builtins;
  int nbuiltins;
  const FunctionDesc* const* functions;  // published, in source order
  int nfunctions;
  int* main_flag;              // the exported flag
};

}  // namespace pelmo

namespace pelmo {
// The function type keeps a pointer to the method definition: the defaults
// getter finds the whole description from it, the call operation the call
// entry right behind it.
static_assert(offsetof(FunctionDesc, method) == 0, "the method definition must come first");
static_assert(offsetof(MethodDef, call) == sizeof(PyMethodDef), "the call entry follows the definition");
}  // namespace pelmo
