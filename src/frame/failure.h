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
// every failure point ends.
inline PyObject* fail_at(const char* funcname, int py_line, int c_line) {
  __Pyx_AddTraceback(funcname, c_line, py_line, __pyx_names.traceback_file);
  return nullptr;
}

}  // namespace pelmo

// This statement as a failure point at source line `line`.
#define PELMO_HERE(line) (::pelmo::Step{(line), __LINE__})

// Reports a body failure at a source line; the C line is this statement's.
#define PELMO_FAIL(call, line) return (call).fail((line), __LINE__)
