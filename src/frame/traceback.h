// Traceback entries that show a native function as if it were a Python
// frame.
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

}  // namespace pelmo
