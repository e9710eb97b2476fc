// The interpreter's builtin print, done in place: a body that prints through
// the `print` it captured at import does print's work itself when that
// object is the interpreter's own builtin, with the same observable steps.
#pragma once
#include "frame/call.h"

namespace pelmo {

// sys.<name> (a frame string) as the interpreter finds its standard files:
// borrowed, null when missing, no exception either way.
inline PyObject* sys_file(PyThreadState* ts, int name, DictLookup* lookup = nullptr) {
  PyObject* sysdict = ts->interp->sysdict;
  if (!sysdict) return nullptr;
  return lookup ? lookup->get(sysdict, str(name)) : PyDict_GetItem(sysdict, str(name));
}

// file.write(str(text)) as the interpreter writes an object to a file, a
// builtin `write` of the file's type entered directly. 0, or -1 with the
// exception set.
int write_object(PyThreadState* ts, PyObject* file, PyObject* text, DictLookup* shadow = nullptr);

class InlinePrint {
 public:
  // For the captured `print`, in one call of a body.
  explicit InlinePrint(PyObject* print) : print_(print), ts_(nullptr), looked_(false) {}
  // Whether `print` is the builtin, so that this object can stand for it.
  // Looked at on first use only: a body that prints nothing pays nothing.
  bool is_builtin() {
    if (!looked_) look();
    return ts_ != nullptr;
  }

  // print(value, end=end), as the builtin does it (for use once
  // is_builtin() has said so): under the recursion guards of a call through
  // print's slot, sys.stdout is looked up (its absence is a RuntimeError;
  // None prints nothing), `end` must be None or a str, then
  // file.write(str(value)) and file.write(end or "\n"), each looking up
  // `write` before converting its argument (write_object). 0, or -1 with the
  // exception set.
  int operator()(PyObject* value, PyObject* end) const;

 private:
  void look();
  int body(PyObject* value, PyObject* end) const;

  PyObject* print_;
  PyThreadState* ts_;  // the calling thread's, when `print` is the builtin; else null
  bool looked_;
};

}  // namespace pelmo
