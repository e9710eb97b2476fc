// Walking an iterable the way a `for` loop does, with the failure points a
// body reports.
#pragma once
#include "frame/errors.h"
#include "frame/failure.h"

namespace pelmo {

// Whether for_each(seq, ...) would visit nothing without running any code:
// an empty exact list or tuple.
inline bool walks_nothing(PyObject* seq) {
  return (PyList_CheckExact(seq) || PyTuple_CheckExact(seq)) && Py_SIZE(seq) == 0;
}

// Visits every item of `seq`. Exact lists and tuples are walked by index,
// reading the live length before every step, which is what their iterators
// do; anything else goes through its iterator, where StopIteration (or a
// subclass) ends the walk and any other exception fails at `next_failed`.
// Each item is held for the duration of its visit: the visit may run code
// that removes it from a list.
template <typename Visit>
Step for_each(PyObject* seq, Step get_iter_failed, Step next_failed, Visit&& visit) {
  if (PyList_CheckExact(seq)) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(seq); ++i) {
      Ref item = Ref::borrow(PyList_GET_ITEM(seq, i));
      Step s = visit(item.get());
      if (s.failed()) return s;
    }
    return kOk;
  }
  if (PyTuple_CheckExact(seq)) {
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(seq); ++i) {
      Step s = visit(PyTuple_GET_ITEM(seq, i));
      if (s.failed()) return s;
    }
    return kOk;
  }
  Ref it = Ref::steal(PyObject_GetIter(seq));
  if (!it) return get_iter_failed;
  iternextfunc next = Py_TYPE(it.get())->tp_iternext;
  for (;;) {
    Ref item = Ref::steal(next(it.get()));
    if (!item) return end_of_iteration() < 0 ? next_failed : kOk;
    Step s = visit(item.get());
    if (s.failed()) return s;
  }
}

}  // namespace pelmo
