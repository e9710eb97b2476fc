// print(value, end=end) without the builtin's own call: what it would do,
// step for step, including the calls of the file's `write`.
#include "frame/print.h"

namespace pelmo {

void InlinePrint::look() {
  ts_ = is_builtins_function(print_, "print", METH_FASTCALL | METH_KEYWORDS) ? PyThreadState_Get() : nullptr;
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
  PyObject* stdout_now = sys_file(ts_, kStrStdout);
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
  if (write_object(ts_, file.get(), value) < 0) return -1;
  if (end) return write_object(ts_, file.get(), end);
  // The default end, written as the interpreter writes a C string to a
  // file: not at all while an exception is pending.
  if (ts_->curexc_type) return -1;
  Ref newline = Ref::steal(PyUnicode_FromString("\n"));
  if (!newline) return -1;
  return write_object(ts_, file.get(), newline.get());
}

// file.write(str(text)), as the interpreter writes an object to a file: the
// attribute first, then the conversion, then the call; released in the
// interpreter's order (the string, the writer, the result).
int write_object(PyThreadState* ts, PyObject* file, PyObject* text, DictLookup* shadow) {
  Method writer;
  if (!writer.look_up(file, str(kStrWrite), shadow)) return -1;
  Ref value = Ref::steal(convert_str(text));
  if (!value) return -1;
  PyObject* arg = value.get();
  Ref result = Ref::steal(writer(ts, &arg, 1));
  value.reset();
  writer.release();
  return result ? 0 : -1;
}

}  // namespace pelmo
