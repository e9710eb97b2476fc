// Exception matching, and how the end of an iteration is told from a
// failure. The frame uses them for AttributeError, the bodies for
// StopIteration.
#pragma once
#include "frame/ref.h"

namespace pelmo {

int given_exception_matches(PyObject* err, PyObject* exc_type);
// Whether the pending exception matches; false when none is pending.
int exception_matches(PyObject* exc_type);

// After an iterator yielded nothing: 0 when the iteration simply ended (no
// exception, or StopIteration cleared), -1 when it failed.
int end_of_iteration();

}  // namespace pelmo
