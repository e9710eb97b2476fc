// A str split at a separator where it lies: the pieces str.split(sep)
// would make, found as ranges of the line's characters, for callees that
// read text themselves and need no piece made.
#pragma once
#include <string.h>

#include "frame/convert.h"
#include "frame/failure.h"

namespace pelmo {

// The pieces of the exact str `line` split at the exact str `sep`, as
// line.split(sep) finds them: at every occurrence of sep, from the left, not
// overlapping, the text between two being a piece, empty ones included, so
// that a line without sep is one piece. Only for a line and a separator
// both stored compactly as ASCII, sep not empty; false otherwise (the
// split must be called).
class AsciiSplit {
 public:
  AsciiSplit(PyObject* line, PyObject* sep) : text_(nullptr), length_(0), sep_(nullptr), sep_length_(0) {
    if (!ascii(line) || !ascii(sep) || PyUnicode_GET_LENGTH(sep) == 0) return;
    text_ = ascii_data(line);
    length_ = PyUnicode_GET_LENGTH(line);
    sep_ = ascii_data(sep);
    sep_length_ = PyUnicode_GET_LENGTH(sep);
  }
  explicit operator bool() const { return text_ != nullptr; }
  const char* text() const { return text_; }

  // visit(start, end) for every piece, in order, until one fails.
  template <typename Visit>
  Step for_each(Visit&& visit) const {
    for (Py_ssize_t start = 0;;) {
      Py_ssize_t end = find(start);
      if (end < 0) return visit(start, length_);
      Step step = visit(start, end);
      if (step.failed()) return step;
      start = end + sep_length_;
    }
  }

 private:
  static bool ascii(PyObject* s) { return PyUnicode_CheckExact(s) && PyUnicode_IS_COMPACT_ASCII(s); }
  // Where the separator next starts, from `from` on; -1 for nowhere.
  Py_ssize_t find(Py_ssize_t from) const {
    const void* at = sep_length_ == 1
                         ? memchr(text_ + from, *sep_, static_cast<size_t>(length_ - from))
                         : memmem(text_ + from, static_cast<size_t>(length_ - from), sep_, static_cast<size_t>(sep_length_));
    return at ? static_cast<const char*>(at) - text_ : -1;
  }

  const char* text_;  // null: no split here
  Py_ssize_t length_;
  const char* sep_;
  Py_ssize_t sep_length_;
};

}  // namespace pelmo
