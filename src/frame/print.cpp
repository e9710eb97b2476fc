// print(value, end=end) without the builtin's own call: what it would do,
// step for step, including the calls of the file's `write`.
#include "frame/print.h"

namespace pelmo {

namespace {

// Builtin functions carry the module whose method table made them as their
// self: a builtin named print whose self is the builtins module is print.
bool is_builtin_print(PyObject* print) {
  if (Py_TYPE(print) != &PyCFunction_Type) return false;
  PyCFunctionObject* f = reinterpret_cast<PyCFunctionObject*>(print);
  return f->m_self == __pyx_mstate.__pyx_b && f->m_ml->ml_flags == (METH_FASTCALL | METH_KEYWORDS) &&
         same_text(f->m_ml->ml_name, "print");
}

}  // namespace

void InlinePrint::look() {
  ts_ = is_builtin_print(print_) ? PyThreadState_Get() : nullptr;
  looked_ = true;
}

int InlinePrint::operator()(PyObject* value, PyObject* end) const {
  // The guard of the call through print's slot, then the builtin's own.
  if (enter_call(ts_)) return -1;
  int rc = -1;
  if (!enter_call(ts_)) {
    rc = body(value, end);
    leave_call(ts_);
  }
  if (rc == 0 && ts_->curexc_type) {
    // Success with an exception pending: what the interpreter's result
    // check makes of the builtin's None.
    Py_INCREF(Py_None);
    rc = _Py_CheckFunctionResult(print_, Py_None, nullptr) ? 0 : -1;
  }
  leave_call(ts_);
  return rc;
}

int InlinePrint::body(PyObject* value, PyObject* end) const {
  PyObject* sysdict = ts_->interp->sysdict;
  PyObject* stdout_now = sysdict ? PyDict_GetItem(sysdict, str(kStrStdout)) : nullptr;
  if (!stdout_now) {
    PyErr_SetString(PyExc_RuntimeError, "lost sys.stdout");
    return -1;
  }
  // An unconnected stdout: print does nothing at all, checks included.
  if (stdout_now == Py_None) return 0;
  // Held for the whole print: writing may rebind sys.stdout.
  Ref file = Ref::borrow(stdout_now);
  if (end == Py_None) {
    end = nullptr;
  } else if (!PyUnicode_Check(end)) {
    PyErr_Format(PyExc_TypeError, "end must be None or a string, not %.200s", Py_TYPE(end)->tp_name);
    return -1;
  }
  if (write(file.get(), value) < 0) return -1;
  if (end) return write(file.get(), end);
  // The default end, written as the interpreter writes a C string to a
  // file: not at all while an exception is pending.
  if (ts_->curexc_type) return -1;
  Ref newline = Ref::steal(PyUnicode_FromString("\n"));
  if (!newline) return -1;
  return write(file.get(), newline.get());
}

// file.write(str(text)): the attribute first, then the conversion, then the
// call; released in the interpreter's order (the string, the writer, the
// result).
int InlinePrint::write(PyObject* file, PyObject* text) const {
  Ref writer;
  PyMethodDef* method = lookup_method_o(file, str(kStrWrite), writer);
  if (!method && !writer) return -1;
  Ref value = Ref::steal(PyObject_Str(text));
  if (!value) return -1;
  PyObject* arg = value.get();
  Ref result = Ref::steal(method ? call_method_o(ts_, method, file, arg) : _PyObject_FastCall(writer.get(), &arg, 1));
  value.reset();
  writer.reset();
  return result ? 0 : -1;
}

}  // namespace pelmo
