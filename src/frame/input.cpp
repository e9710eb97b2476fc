// input(prompt) without the builtin's own call: what it would do, step for
// step, including every call it makes on the three standard files.
#include "frame/input.h"

#include <string.h>
#include <unistd.h>

#include "frame/print.h"

namespace pelmo {

namespace {

PyObject* lost(const char* message) {
  PyErr_SetString(PyExc_RuntimeError, message);
  return nullptr;
}

// file.flush(), whose failure the builtin ignores.
void flush(PyThreadState* ts, PyObject* file, DictLookup& shadow) {
  if (!Ref::steal(call_method_noargs(ts, file, str(kStrFlush), &shadow))) PyErr_Clear();
}

// Whether `file` is the C library's `stream` and that is a terminal, asked
// as the builtin asks it: through file.fileno() (a failing call counts as
// no), then the C library. 1, 0, or -1 with the exception of a number that
// does not convert.
int on_terminal(PyThreadState* ts, PyObject* file, FILE* stream, DictLookup& shadow) {
  Ref number = Ref::steal(call_method_noargs(ts, file, str(kStrFileno), &shadow));
  if (!number) {
    PyErr_Clear();
    return 0;
  }
  long fd = PyLong_AsLong(number.get());
  number.reset();
  if (fd < 0 && PyErr_Occurred()) return -1;
  return fd == fileno(stream) && isatty(static_cast<int>(fd));
}

// file.readline() as the interpreter reads a line from a file object: a
// str or bytes, not empty (EOFError), one trailing newline removed; with
// `length`, an exact ASCII str is not cut but returned whole, with the
// length of the line in `length` (see InlineInput::text).
PyObject* get_line(PyThreadState* ts, PyObject* file, DictLookup& shadow, Py_ssize_t* length) {
  Ref line = Ref::steal(call_method_noargs(ts, file, str(kStrReadline), &shadow));
  if (!line) return nullptr;
  PyObject* got = line.get();
  if (PyBytes_Check(got)) {
    Py_ssize_t len = PyBytes_GET_SIZE(got);
    if (len == 0) {
      line.reset();
      PyErr_SetString(PyExc_EOFError, "EOF when reading a line");
      return nullptr;
    }
    if (PyBytes_AS_STRING(got)[len - 1] != '\n') return line.release();
    // Cut in place when nobody else holds it, as the interpreter does.
    if (Py_REFCNT(got) == 1) {
      PyObject* cut = line.release();
      _PyBytes_Resize(&cut, len - 1);
      return cut;
    }
    return PyBytes_FromStringAndSize(PyBytes_AS_STRING(got), len - 1);
  }
  if (!PyUnicode_Check(got)) {
    line.reset();
    PyErr_SetString(PyExc_TypeError, "object.readline() returned non-string");
    return nullptr;
  }
  Py_ssize_t len = PyUnicode_GET_LENGTH(got);
  if (len == 0) {
    line.reset();
    PyErr_SetString(PyExc_EOFError, "EOF when reading a line");
    return nullptr;
  }
  if (PyUnicode_READ_CHAR(got, len - 1) != '\n') return line.release();
  if (length && PyUnicode_CheckExact(got) && PyUnicode_IS_COMPACT_ASCII(got)) {
    *length = len - 1;
    return line.release();
  }
  return PyUnicode_Substring(got, 0, len - 1);
}

// What the line editing holds, released in the builtin's order: stdin's
// encoding, stdout's, stdin's errors, stdout's, the encoded prompt.
struct Editing {
  Ref prompt;
  Ref out_errors;
  Ref in_errors;
  Ref out_encoding;
  Ref in_encoding;
};

// The interpreter's line editing owns the line it hands out.
struct EditedLine {
  char* text;
  ~EditedLine() { PyMem_Free(text); }
};

// A file's encoding and errors, as the line editing needs them: both looked
// up, both checked to be str, then both as C strings. 1; 0 where the builtin
// falls back to the files' own methods (an exception may be set, which the
// caller clears); -1 with the exception of a name that has no C string.
int text_codec(PyObject* file, Ref& encoding, Ref& errors, const char*& encoding_name, const char*& errors_name) {
  encoding = Ref::steal(get_attr(file, str(kStrEncoding)));
  errors = Ref::steal(get_attr(file, str(kStrErrors)));
  if (!encoding || !errors || !PyUnicode_Check(encoding.get()) || !PyUnicode_Check(errors.get())) return 0;
  encoding_name = PyUnicode_AsUTF8(encoding.get());
  errors_name = PyUnicode_AsUTF8(errors.get());
  return encoding_name && errors_name ? 1 : -1;
}

// The builtin's reading when stdin and stdout are the C library's files on a
// terminal: the prompt encoded as stdout would encode it, the line read by
// the interpreter's line editing (PyOS_Readline) and decoded as stdin would
// decode it. Null with `fall_back` set where the builtin drops the editing
// for the files' own methods (the caller then clears any exception).
PyObject* edit_line(PyThreadState* ts, PyObject* prompt, PyObject* fin, PyObject* fout, DictLookup& out_flush,
                    bool& fall_back) {
  Editing held;
  const char *in_encoding = nullptr, *in_errors = nullptr, *out_encoding = nullptr, *out_errors = nullptr;
  int usable = text_codec(fin, held.in_encoding, held.in_errors, in_encoding, in_errors);
  if (usable > 0) {
    flush(ts, fout, out_flush);
    usable = text_codec(fout, held.out_encoding, held.out_errors, out_encoding, out_errors);
  }
  if (usable <= 0) {
    fall_back = usable == 0;
    return nullptr;
  }
  Ref text = Ref::steal(convert_str(prompt));
  if (!text) return nullptr;
  held.prompt = Ref::steal(PyUnicode_AsEncodedString(text.get(), out_encoding, out_errors));
  held.out_encoding.reset();
  held.out_errors.reset();
  text.reset();
  if (!held.prompt) return nullptr;
  EditedLine line{PyOS_Readline(stdin, stdout, PyBytes_AS_STRING(held.prompt.get()))};
  if (!line.text) {
    PyErr_CheckSignals();
    if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
    return nullptr;
  }
  size_t len = strlen(line.text);
  if (len == 0) {
    PyErr_SetNone(PyExc_EOFError);
    return nullptr;
  }
  if (len > static_cast<size_t>(PY_SSIZE_T_MAX)) {
    PyErr_SetString(PyExc_OverflowError, "input: input too long");
    return nullptr;
  }
  // The newline the editing ends every line with, and a carriage return
  // before it.
  --len;
  if (len != 0 && line.text[len - 1] == '\r') --len;
  return PyUnicode_Decode(line.text, static_cast<Py_ssize_t>(len), in_encoding, in_errors);
}

}  // namespace

void InlineInput::look() {
  ts_ = is_builtins_function(input_, "input", METH_FASTCALL) ? PyThreadState_Get() : nullptr;
  looked_ = true;
}

PyObject* InlineInput::in_place(PyObject* prompt, Py_ssize_t* length) {
  // The guard of the call through input's vector entry; the builtin's body
  // has none of its own.
  if (enter_call(ts_)) return nullptr;
  PyObject* line = body(prompt, length);
  leave_call(ts_);
  return check_result(ts_, line);
}

PyObject* InlineInput::body(PyObject* prompt, Py_ssize_t* length) {
  // Each held for the whole call (the builtin borrows them): a step may
  // rebind or delete them in sys.
  Ref fin = Ref::borrow(sys_file(ts_, kStrStdin, &lookups_[kSysStdin]));
  Ref fout = Ref::borrow(sys_file(ts_, kStrStdout, &lookups_[kSysStdout]));
  Ref ferr = Ref::borrow(sys_file(ts_, kStrStderr, &lookups_[kSysStderr]));
  if (!fin || fin.get() == Py_None) return lost("input(): lost sys.stdin");
  if (!fout || fout.get() == Py_None) return lost("input(): lost sys.stdout");
  if (!ferr || ferr.get() == Py_None) return lost("input(): lost sys.stderr");
  flush(ts_, ferr.get(), lookups_[kErrFlush]);
  // Line editing only for the C library's own stdin and stdout, on a
  // terminal; asked line by line, as anything may have changed the files.
  int tty = on_terminal(ts_, fin.get(), stdin, lookups_[kInFileno]);
  if (tty < 0) return nullptr;
  if (tty) {
    tty = on_terminal(ts_, fout.get(), stdout, lookups_[kOutFileno]);
    if (tty < 0) return nullptr;
  }
  if (tty) {
    bool fall_back = false;
    PyObject* line = edit_line(ts_, prompt, fin.get(), fout.get(), lookups_[kOutFlush], fall_back);
    if (!fall_back) return line;
    PyErr_Clear();
  }
  if (write_object(ts_, fout.get(), prompt, &lookups_[kOutWrite]) < 0) return nullptr;
  flush(ts_, fout.get(), lookups_[kOutFlush]);
  return get_line(ts_, fin.get(), lookups_[kInReadline], length);
}

}  // namespace pelmo
