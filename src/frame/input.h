// The interpreter's builtin input, done in place: a body that reads through
// the `input` it captured at import does input's work itself when that
// object is the interpreter's own builtin, with the same observable steps.
#pragma once
#include "frame/call.h"

namespace pelmo {

class InlineInput {
 public:
  // For the captured `input`, in one call of a body.
  explicit InlineInput(PyObject* input) : input_(input), ts_(nullptr), looked_(false) {}

  // input(prompt): an ordinary call of the captured object, or, when it is
  // the builtin, what that call would do. Under the recursion guard of the
  // call, sys.stdin, sys.stdout and sys.stderr are looked up (each missing
  // or None is a RuntimeError), stderr is flushed (its failure ignored), and
  // stdin's and stdout's fileno() are asked whether both are the C
  // library's own files on a terminal. If they are, the line is read with
  // the interpreter's line editing in the files' encodings; otherwise (or
  // when a file has no text encoding) the prompt is written to stdout with
  // its `write`, stdout is flushed (failure ignored) and stdin's readline()
  // gives the line, one trailing newline removed, EOFError for an empty
  // one. Builtin methods of the files' types are entered directly. A new
  // reference, or null with the exception set.
  PyObject* operator()(PyObject* prompt) { return line(prompt, nullptr); }

  // The same for a caller that reads the line's text where it lies: where
  // the line would be cut from an exact str stored as ASCII that readline
  // returned, that str itself, with `length` the number of its characters
  // that are the line, which is not made (nothing else would see it); the
  // line itself otherwise, with `length` -1.
  PyObject* text(PyObject* prompt, Py_ssize_t& length) {
    length = -1;
    return line(prompt, &length);
  }

 private:
  PyObject* line(PyObject* prompt, Py_ssize_t* length) {
    if (!looked_) look();
    return ts_ ? in_place(prompt, length) : call_one(input_, prompt);
  }
  void look();
  PyObject* in_place(PyObject* prompt, Py_ssize_t* length);
  PyObject* body(PyObject* prompt, Py_ssize_t* length);

  PyObject* input_;
  PyThreadState* ts_;  // the calling thread's, when `input` is the builtin; else null
  bool looked_;
  // The lookups made for every line, each remembered from the last: the
  // three files in sys, and the instance attributes that could stand in the
  // way of the files' methods.
  enum Lookup { kSysStdin, kSysStdout, kSysStderr, kErrFlush, kInFileno, kOutFileno, kOutWrite, kOutFlush, kInReadline, kLookups };
  DictLookup lookups_[kLookups];
};

}  // namespace pelmo
