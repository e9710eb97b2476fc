// Failure points: where a step failed, and how a failure ends. Binding, the
// bodies and the module's initialisation all report through these; none of
// them needs to know how a traceback entry is made.
#pragma once
#include "frame/traceback.h"

namespace pelmo {

// Where a step failed: its source line and C line; {0, 0} is success.
struct Step {
  int py_line;
  int c_line;
  bool failed() const { return py_line != 0; }
};
constexpr Step kOk{0, 0};

// Adds an entry in this module's traceback file and returns null, the way
// every failure point ends. A step that failed without saying why (a native
// slot's null result with no exception) fails as it would in a Python frame.
inline PyObject* fail_at(const char* funcname, int py_line, int c_line) {
  if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error return without exception set");
  __Pyx_AddTraceback(funcname, c_line, py_line, module_names.traceback_file);
  return nullptr;
}

// C lines. In C-line mode the name of a traceback entry carries the C line of
// its failure point: a positive number that no other failure point of the
// module shares. The numbers are made so:
//  - the module source's own failure points (PELMO_HERE) are numbered from 1
//    in the order they are written, below kFrameCLines;
//  - the initialisation steps of the module as a whole come next, at
//    kFrameCLines plus a ModulePoint;
//  - then each function, published or a default value, has a block of
//    kCLinesPerFunction, in the order the module lists them (each published
//    function followed by its default functions), where every failure point
//    of binding, constants, publication and the __defaults__ getter has its
//    fixed place, a FunctionPoint (plus the parameter or slot it concerns).
constexpr int kFrameCLines = 1000;
constexpr int kCLinesPerFunction = 100;

enum class ModulePoint : int {
  kRenameToMain = 1,
  kModulesLookup,
  kModulesStore,
  kTestDict,
  kTestStore,
  kBuiltin = 10,  // + the builtin's position
  kEnd = kBuiltin + kMaxBuiltins,
};

enum class FunctionPoint : int {
  // binding: the count error (a wrong positional count, or the first
  // parameter missing from the keywords); the examination of the keywords
  // left after the lookups; a later required parameter missing from the
  // keywords; a keyword lookup of a parameter's name that raised
  kCount = 1,
  kKeywords,
  kMissing = 10,      // + parameter, from 1
  kComparison = 20,   // + parameter
  // constants
  kVarnames = 30,
  kCode,
  kConstantDefaults,
  // publication
  kFunctionObject = 40,
  kDefaultsStorage,
  kPublish,
  kDefaultObject = 50,  // + slot
  // the __defaults__ getter
  kDefaultsGetter = 60,
  kEnd = kDefaultsGetter + 1,
};

static_assert(kFrameCLines + static_cast<int>(ModulePoint::kEnd) <= kFrameCLines + kCLinesPerFunction,
              "the module's initialisation steps overrun the first function's C lines");
static_assert(static_cast<int>(FunctionPoint::kMissing) + kMaxParams <= static_cast<int>(FunctionPoint::kComparison) &&
                  static_cast<int>(FunctionPoint::kComparison) + kMaxParams <= static_cast<int>(FunctionPoint::kVarnames) &&
                  static_cast<int>(FunctionPoint::kDefaultObject) + kMaxParams <=
                      static_cast<int>(FunctionPoint::kDefaultsGetter) &&
                  static_cast<int>(FunctionPoint::kEnd) <= kCLinesPerFunction,
              "a function's failure points overlap");

constexpr int c_line(ModulePoint point, int k = 0) { return kFrameCLines + static_cast<int>(point) + k; }
// The C line of a function's failure point; `k` is the parameter or slot.
int c_line(const Signature& sig, FunctionPoint point, int k = 0);

}  // namespace pelmo

// This statement as a failure point at source line `line`, with the next C
// line of the module source's own: every use is a point of its own, wherever
// the line breaks fall.
#define PELMO_HERE(line) (::pelmo::Step{(line), __COUNTER__ + 1})

// Reports a body failure at a source line, as a failure point of its own.
#define PELMO_FAIL(call, line) return (call).fail(PELMO_HERE(line))

// Closes the numbering: the module source's own C lines stay below the frame's.
#define PELMO_CHECK_C_LINES() \
  static_assert(__COUNTER__ < ::pelmo::kFrameCLines, "more failure points than C lines below the frame's")
