// Native tests of the traceback machinery that Python code cannot observe
// directly: how the code-object cache grows, stays sorted and reuses or
// replaces entries, and the exception-matching rule.
#include "frame/errors.h"
#include "frame/traceback.h"

#include <frameobject.h>
#include <gtest/gtest.h>

#include <string>

namespace pelmo {
// A module with nothing of its own.
constexpr StringTable kStrings{"cachetest", {}, 0};
constexpr FunctionList kFunctions{};
const ModuleDesc kModule = {"cachetest", "cachetest", &kStrings, &kNoBuiltins, &kFunctions, nullptr};
}

namespace {

using namespace pelmo;

class Traceback : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    Py_Initialize();
    init_module_names();
    __pyx_mstate.__pyx_cython_runtime = PyImport_AddModule("cython_runtime");
    __pyx_mstate.strings[kStrClineInTraceback] = PyUnicode_InternFromString("cline_in_traceback");
    __pyx_mstate.__pyx_d = PyDict_New();
    PyDict_SetItemString(__pyx_mstate.__pyx_d, "__builtins__", PyEval_GetBuiltins());
  }

  // Raises, adds an entry, and returns the entry's code object (borrowed
  // from the cache) after checking the traceback got exactly one entry.
  static PyCodeObject* entry(const char* name, int c_line, int py_line) {
    PyErr_SetString(PyExc_ValueError, "x");
    __Pyx_AddTraceback(name, c_line, py_line, "file");
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    EXPECT_NE(tb, nullptr);
    PyCodeObject* code = reinterpret_cast<PyTracebackObject*>(tb)->tb_frame->f_code;
    EXPECT_EQ(reinterpret_cast<PyTracebackObject*>(tb)->tb_next, nullptr);
    EXPECT_EQ(reinterpret_cast<PyTracebackObject*>(tb)->tb_lineno, py_line);
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(tb);
    return code;
  }

  static void set_cline(bool on) {
    PyObject_SetAttrString(__pyx_mstate.__pyx_cython_runtime, "cline_in_traceback", on ? Py_True : Py_False);
  }

  static std::string name_of(PyCodeObject* code) { return PyUnicode_AsUTF8(code->co_name); }
};

TEST_F(Traceback, CacheGrowsInStepsOf64AndStaysSorted) {
  set_cline(false);
  int before = __pyx_code_cache.count;
  // Descending keys: every insertion goes to the front.
  for (int line = 1130; line > 1000; --line) entry("f", 1, line);
  EXPECT_EQ(__pyx_code_cache.count, before + 130);
  EXPECT_EQ(__pyx_code_cache.max_count % 64, 0);
  EXPECT_GE(__pyx_code_cache.max_count, __pyx_code_cache.count);
  EXPECT_LT(__pyx_code_cache.max_count - __pyx_code_cache.count, 64);
  for (int i = 1; i < __pyx_code_cache.count; ++i)
    EXPECT_LT(__pyx_code_cache.entries[i - 1].code_line, __pyx_code_cache.entries[i].code_line);
}

TEST_F(Traceback, SameKeyAndNameReusesTheCodeObject) {
  set_cline(false);
  PyCodeObject* first = entry("pelmo.m.f", 1, 7);
  int count = __pyx_code_cache.count;
  EXPECT_EQ(entry("pelmo.m.f", 99, 7), first);
  EXPECT_EQ(__pyx_code_cache.count, count);
}

TEST_F(Traceback, SameKeyOtherNameReplacesTheEntry) {
  set_cline(false);
  entry("pelmo.m.f", 1, 9);
  int count = __pyx_code_cache.count;
  PyCodeObject* g = entry("pelmo.m.g", 1, 9);
  EXPECT_EQ(name_of(g), "pelmo.m.g");
  EXPECT_EQ(__pyx_code_cache.count, count);
  // A name that merely starts like the cached one is another name.
  EXPECT_EQ(name_of(entry("pelmo.m.gg", 1, 9)), "pelmo.m.gg");
  EXPECT_EQ(name_of(entry("pelmo.m.g", 1, 9)), "pelmo.m.g");
}

TEST_F(Traceback, ClineModeKeysAreNegatedAndNamed) {
  set_cline(true);
  PyCodeObject* code = entry("pelmo.m.f", 321, 4);
  EXPECT_EQ(name_of(code), "pelmo.m.f (src/cachetest:321)");
  EXPECT_EQ(code->co_firstlineno, 4);
  bool found = false;
  for (int i = 0; i < __pyx_code_cache.count; ++i)
    if (__pyx_code_cache.entries[i].code_line == -321) found = __pyx_code_cache.entries[i].code_object == code;
  EXPECT_TRUE(found);
  set_cline(false);
  EXPECT_EQ(name_of(entry("pelmo.m.f", 321, 4)), "pelmo.m.f");
}

TEST_F(Traceback, ExceptionMatching) {
  PyObject* ve = PyExc_ValueError;
  EXPECT_TRUE(given_exception_matches(PyExc_UnicodeDecodeError, ve));
  EXPECT_FALSE(given_exception_matches(ve, PyExc_UnicodeDecodeError));
  EXPECT_TRUE(given_exception_matches(ve, PyExc_BaseException));
  PyObject* tuple = Py_BuildValue("(OiO)", PyExc_KeyError, 5, PyExc_ArithmeticError);
  EXPECT_TRUE(given_exception_matches(PyExc_ZeroDivisionError, tuple));
  EXPECT_TRUE(given_exception_matches(PyExc_KeyError, tuple));
  EXPECT_FALSE(given_exception_matches(ve, tuple));
  Py_DECREF(tuple);
  PyErr_SetNone(PyExc_StopIteration);
  EXPECT_EQ(end_of_iteration(), 0);
  EXPECT_EQ(PyErr_Occurred(), nullptr);
  PyErr_SetNone(ve);
  EXPECT_EQ(end_of_iteration(), -1);
  PyErr_Clear();
  EXPECT_EQ(end_of_iteration(), 0);
}

}  // namespace
