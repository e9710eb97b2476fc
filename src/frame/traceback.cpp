// Traceback entries: the C-line switch, the code-object cache and the frames.
#include "frame/traceback.h"

#include <frameobject.h>

#include "frame/errors.h"

namespace pelmo {

__Pyx_CodeObjectCache __pyx_code_cache = {0, 0, nullptr};

namespace {

// The cached lookup of `cline_in_traceback` in cython_runtime's dictionary.
uint64_t cline_dict_version = 0;
PyObject* cline_dict = nullptr;  // borrowed; compared by identity only
PyObject* cline_value = nullptr; // borrowed; valid while the version holds

// Reads the switch; any error on the way is left for the caller to discard.
bool cline_in_traceback() {
  PyObject* runtime = __pyx_mstate.__pyx_cython_runtime;
  PyObject* name = str(kStrClineInTraceback);
  if (!runtime || !name) return false;
  PyObject* value = nullptr;
  Ref attr;
  PyObject** dictptr = _PyObject_GetDictPtr(runtime);
  if (dictptr && *dictptr) {
    PyDictObject* dict = reinterpret_cast<PyDictObject*>(*dictptr);
    if (cline_dict == *dictptr && dict->ma_version_tag == cline_dict_version) {
      value = cline_value;
    } else {
      value = PyDict_GetItemWithError(*dictptr, name);
      if (!value) PyErr_Clear();
      cline_dict = *dictptr;
      cline_dict_version = dict->ma_version_tag;
      cline_value = value;
    }
  } else {
    attr = Ref::steal(PyObject_GetAttr(runtime, name));
    if (!attr && !exception_matches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    value = attr.get();
  }
  if (!value) {
    PyObject_SetAttr(runtime, name, Py_False);
    return false;
  }
  if (value == Py_True) return true;
  if (value == Py_False) return false;
  return PyObject_Not(value) == 0;
}

// Whether a cached code object was made for this function name.
bool made_for(PyCodeObject* code, const char* funcname) {
  const char* name = PyUnicode_AsUTF8(code->co_name);
  if (!name) {
    PyErr_Clear();
    return false;
  }
  while (*funcname && *name == *funcname) ++name, ++funcname;
  return *funcname == 0 && (*name == 0 || *name == ' ');
}

int find(int key) {
  int lo = 0, hi = __pyx_code_cache.count;
  while (lo < hi) {
    int mid = lo + (hi - lo) / 2;
    if (__pyx_code_cache.entries[mid].code_line < key) lo = mid + 1;
    else hi = mid;
  }
  return lo;
}

// Keeps the entries sorted; a failure to grow just leaves the object uncached.
void insert(int key, PyCodeObject* code) {
  __Pyx_CodeObjectCache& c = __pyx_code_cache;
  int pos = find(key);
  if (pos < c.count && c.entries[pos].code_line == key) {
    PyCodeObject* old = c.entries[pos].code_object;
    Py_INCREF(code);
    c.entries[pos].code_object = code;
    Py_DECREF(old);
    return;
  }
  if (c.count == c.max_count) {
    int grown = c.max_count + 64;
    void* mem = c.entries ? PyMem_Realloc(c.entries, grown * sizeof(*c.entries))
                          : PyMem_Malloc(grown * sizeof(*c.entries));
    if (!mem) return;
    c.entries = static_cast<__Pyx_CodeObjectCacheEntry*>(mem);
    c.max_count = grown;
  }
  for (int i = c.count; i > pos; --i) c.entries[i] = c.entries[i - 1];
  Py_INCREF(code);
  c.entries[pos].code_object = code;
  c.entries[pos].code_line = key;
  ++c.count;
}

}  // namespace

namespace {

// The pending exception, taken aside while the entry is made; dropped unless
// put back, which is how a failure to make the entry replaces it.
class TakenAside {
 public:
  TakenAside() { PyErr_Fetch(&type_, &value_, &tb_); }
  TakenAside(const TakenAside&) = delete;
  TakenAside& operator=(const TakenAside&) = delete;
  ~TakenAside() {
    Py_XDECREF(type_);
    Py_XDECREF(value_);
    Py_XDECREF(tb_);
  }
  void put_back() {
    PyErr_Restore(type_, value_, tb_);
    type_ = value_ = tb_ = nullptr;
  }

 private:
  PyObject *type_, *value_, *tb_;
};

PyCodeObject* cached_or_new_code(const char* funcname, int c_line, int py_line, const char* filename,
                                 bool use_cline) {
  int key = use_cline ? -c_line : py_line;
  int pos = find(key);
  if (pos < __pyx_code_cache.count && __pyx_code_cache.entries[pos].code_line == key &&
      made_for(__pyx_code_cache.entries[pos].code_object, funcname)) {
    PyCodeObject* code = __pyx_code_cache.entries[pos].code_object;
    Py_INCREF(code);
    return code;
  }
  TakenAside pending;
  char buffer[512];
  const char* name = funcname;
  if (use_cline) {
    PyOS_snprintf(buffer, sizeof buffer, "%s (%s:%d)", funcname, module_names.c_file, c_line);
    name = buffer;
  }
  PyCodeObject* code = PyCode_NewEmpty(filename, name, py_line);
  if (!code) return nullptr;
  pending.put_back();
  insert(key, code);
  return code;
}

}  // namespace

void __Pyx_AddTraceback(const char* funcname, int c_line, int py_line, const char* filename) {
  bool use_cline;
  {
    TakenAside pending;
    use_cline = cline_in_traceback() && c_line != 0;
    PyErr_Clear();  // whatever reading the switch raised is discarded
    pending.put_back();
  }
  PyCodeObject* code = cached_or_new_code(funcname, c_line, py_line, filename, use_cline);
  if (!code) return;
  TakenAside pending;
  PyFrameObject* frame = PyFrame_New(PyThreadState_Get(), code, __pyx_mstate.__pyx_d, nullptr);
  Py_DECREF(code);
  if (!frame) return;
  pending.put_back();
  frame->f_lineno = py_line;
  PyTraceBack_Here(frame);
  Py_DECREF(frame);
}

}  // namespace pelmo
