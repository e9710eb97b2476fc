// Owning references to Python objects.
//
// A Ref holds one counted reference and drops it when it goes out of scope,
// so every early return of a failing step releases what the step held.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace pelmo {

class Ref {
 public:
  constexpr Ref() noexcept : p_(nullptr) {}
  // Takes over a new reference (possibly null, as returned by a failing API).
  static Ref steal(PyObject* p) noexcept { return Ref(p); }
  // Takes a new reference to a borrowed object.
  static Ref borrow(PyObject* p) noexcept {
    Py_XINCREF(p);
    return Ref(p);
  }
  Ref(Ref&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
  Ref& operator=(Ref&& o) noexcept {
    PyObject* old = p_;
    p_ = o.p_;
    o.p_ = nullptr;
    Py_XDECREF(old);
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { Py_XDECREF(p_); }

  PyObject* get() const noexcept { return p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  // Hands the reference to the caller.
  PyObject* release() noexcept {
    PyObject* p = p_;
    p_ = nullptr;
    return p;
  }
  void reset(PyObject* p = nullptr) noexcept {
    PyObject* old = p_;
    p_ = p;
    Py_XDECREF(old);
  }

 private:
  explicit Ref(PyObject* p) noexcept : p_(p) {}
  PyObject* p_;
};

// Replaces a plain state field that owns its reference.
inline void replace(PyObject*& field, PyObject* value) noexcept {
  PyObject* old = field;
  field = value;
  Py_XDECREF(old);
}

}  // namespace pelmo
