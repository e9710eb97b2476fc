// Traceback entries that show a native function as if it were a Python
// frame, and the exception matching the frame and the bodies rely on.
#pragma once
#include "frame/state.h"

namespace pelmo {

struct __Pyx_CodeObjectCacheEntry {
  PyCodeObject* code_object;
  int code_line;
};

struct __Pyx_CodeObjectCache {
  int count;
  int max_count;
  __Pyx_CodeObjectCacheEntry* entries;
};

extern __Pyx_CodeObjectCache __pyx_code_cache;

// Adds one entry to the pending exception's traceback. If the entry cannot be
// made, the failure's own exception is left pending instead.
void __Pyx_AddTraceback(const char* funcname, int c_line, int py_line, const char* filename);

// Adds an entry in this module's traceback file and returns null, the way
// every failure point ends.
inline PyObject* fail_at(const char* funcname, int py_line, int c_line) {
  __Pyx_AddTraceback(funcname, c_line, py_line, __pyx_names.traceback_file);
  return nullptr;
}

int __Pyx_PyErr_GivenExceptionMatches(PyObject* err, PyObject* exc_type);
// Whether the pending exception matches; false when none is pending.
int __Pyx_PyErr_ExceptionMatches(PyObject* exc_type);

// After an iterator yielded nothing: 0 when the iteration simply ended (no
// exception, or StopIteration cleared), -1 when it failed.
int __Pyx_IterFinish();

}  // namespace pelmo
