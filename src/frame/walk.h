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

// Visits every item of `seq` as a `for` loop of Python code does. Exact
// lists and tuples are walked by index, reading the live length before
// every step, which is what their iterators do; anything else goes through
// its iterator, where StopIteration (or a subclass) ends the walk and any
// other exception fails at `next_failed`.
// What the loop holds is released when the loop would release it:
// - `seq` is the iterable as the loop holds it: released once its iterator
//   is made (which then holds it), or when the index walk ends, as an
//   exhausted list iterator lets go of its list;
// - `item` is the loop variable: each item is held until the next one has
//   been obtained (the visit may remove it from a list meanwhile), and the
//   last one after the walk, for the caller to release where the statements
//   it stands for would (after the iterator, when the walk is a
//   comprehension's).
template <typename Visit>
Step for_each(Ref seq, Ref& item, Step get_iter_failed, Step next_failed, Visit&& visit) {
  PyObject* s = seq.get();
  if (PyList_CheckExact(s) || PyTuple_CheckExact(s)) {
    bool list = PyList_CheckExact(s);
    for (Py_ssize_t i = 0; i < Py_SIZE(s); ++i) {
      item = Ref::borrow(list ? PyList_GET_ITEM(s, i) : PyTuple_GET_ITEM(s, i));
      Step step = visit(item.get());
      if (step.failed()) return step;
    }
    return kOk;  // and `seq` goes
  }
  Ref it = Ref::steal(PyObject_GetIter(s));
  if (!it) return get_iter_failed;
  seq.reset();
  iternextfunc next = Py_TYPE(it.get())->tp_iternext;
  for (;;) {
    PyObject* got = next(it.get());
    if (!got) {
      if (end_of_iteration() < 0) return next_failed;
      it.reset();
      return kOk;
    }
    item = Ref::steal(got);
    Step step = visit(item.get());
    if (step.failed()) return step;
  }
}

}  // namespace pelmo
