"""The frame as seen from Python, through pelmo.list.count: the function
type, its call operation, module initialisation and traceback entries.
What is particular to elemcount is in test_count.py."""
import gc
import pickle
import sys
import types
import unittest
import warnings
import weakref

import pelmo.list.count as count_mod
from pelmo.list.count import elemcount
import support
from support import CallChecks, entries, last_entry, run_python, tb_file

FILE = tb_file("pelmo", "list", "count")
NAME = "pelmo.list.count.elemcount"


class FunctionObjectTest(CallChecks, unittest.TestCase):

    def test_introspection(self):
        f = elemcount
        self.assertEqual((f.__name__, f.__qualname__, f.__module__), ("elemcount",) * 2 + ("pelmo.list.count",))
        self.assertIsNone(f.__doc__)
        self.assertIsNone(f.__closure__)
        self.assertIs(f.__globals__, vars(count_mod))
        self.assertIsNone(f.__defaults__)
        self.assertIsNone(f.__kwdefaults__)
        self.assertIs(f._is_coroutine, False)
        self.assertEqual(f.__annotations__, {})
        t = type(f)
        self.assertEqual((t.__name__, t.__module__), ("cython_function_or_method", "_cython_3_0_11"))
        self.assertIs(sys.modules["_cython_3_0_11"].cython_function_or_method, t)
        self.assertEqual(repr(f), "<cyfunction elemcount at %#x>" % id(f))
        for alias, name in [("func_doc", "__doc__"), ("func_name", "__name__"), ("func_dict", "__dict__"),
                            ("func_globals", "__globals__"), ("func_closure", "__closure__"),
                            ("func_code", "__code__"), ("func_defaults", "__defaults__")]:
            self.assertEqual(getattr(f, alias), getattr(f, name), alias)
        with self.assertRaisesRegex(TypeError, "cannot create"):
            t()


class AttributeWritesTest(CallChecks, unittest.TestCase):
    """Writes go to a fresh function object each time: a subprocess keeps the
    shared one intact for the other tests."""

    def test_writes(self):
        r = run_python(r"""
            import warnings
            from pelmo.list.count import elemcount as f
            def err(fn):
                try: fn()
                except Exception as e: return '%s: %s' % (type(e).__name__, e)
                return 'ok'
            def setter(name, value): return lambda: setattr(f, name, value)
            def deleter(name): return lambda: delattr(f, name)
            out = []
            out.append(err(setter('__name__', 5)))
            out.append(err(deleter('__name__')))
            f.__name__ = 'renamed'; out.append(f.__name__)
            out.append(err(setter('__qualname__', None)))
            out.append(err(deleter('__qualname__')))
            f.__qualname__ = 'Q.q'; out.append(repr(f).split(' at ')[0])
            f.__doc__ = 'doc'; out.append(f.__doc__)
            del f.__doc__; out.append(repr(f.__doc__))
            out.append(err(deleter('__dict__')))
            out.append(err(setter('__dict__', [])))
            f.x = 1; out.append(repr(f.__dict__))
            f.__dict__ = {'y': 2}; out.append(repr(f.y))
            out.append(err(setter('__annotations__', 3)))
            f.__annotations__ = {'a': int}; out.append(repr(f.__annotations__))
            f.__annotations__ = None; out.append(repr(f.__annotations__))
            for name in ('__globals__', '__closure__', '__code__', '_is_coroutine'):
                out.append(err(setter(name, None)).split(':')[0])
            f.__module__ = 'elsewhere'; out.append(f.__module__)
            del f.__module__; out.append(repr(f.__module__))
            out.append(err(setter('__defaults__', [1])))
            out.append(err(setter('__kwdefaults__', [1])))
            with warnings.catch_warnings(record=True) as w:
                warnings.simplefilter('always')
                f.__defaults__ = (1,); out.append(repr(f.__defaults__))
                del f.__defaults__; out.append(repr(f.__defaults__))
                f.__kwdefaults__ = {'k': 1}; out.append(repr(f.__kwdefaults__))
                out.extend('%s: %s' % (x.category.__name__, x.message) for x in w)
            warnings.simplefilter('error')
            out.append(err(setter('__defaults__', (2,))))
            out.append(repr(f.__defaults__))
            print('\n'.join(out))
        """)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stdout.splitlines(), [
            "TypeError: __name__ must be set to a string object",
            "TypeError: __name__ must be set to a string object",
            "renamed",
            "TypeError: __qualname__ must be set to a string object",
            "TypeError: __qualname__ must be set to a string object",
            "<cyfunction Q.q",
            "doc",
            "None",
            "TypeError: function's dictionary may not be deleted",
            "TypeError: setting function's dictionary to a non-dict",
            "{'x': 1}",
            "2",
            "TypeError: __annotations__ must be set to a dict object",
            "{'a': <class 'int'>}",
            "{}",
            "AttributeError", "AttributeError", "AttributeError", "AttributeError",
            "elsewhere",
            "None",
            "TypeError: __defaults__ must be set to a tuple object",
            "TypeError: __kwdefaults__ must be set to a dict object",
            "(1,)",
            "None",
            "{'k': 1}",
            "RuntimeWarning: changes to cyfunction.__defaults__ will not currently affect the values used in function calls",
            "RuntimeWarning: changes to cyfunction.__defaults__ will not currently affect the values used in function calls",
            "RuntimeWarning: changes to cyfunction.__kwdefaults__ will not currently affect the values used in function calls",
            "RuntimeWarning: changes to cyfunction.__defaults__ will not currently affect the values used in function calls",
            "None",
        ])

    def test_method_binding_pickle_weakref(self):
        class C:
            r = elemcount
        self.assertIs(C.r, elemcount)
        self.assertIs(elemcount.__get__(None, C), elemcount)
        c = C()
        bound = c.r
        self.assertIsInstance(bound, types.MethodType)
        self.assertIs(bound.__self__, c)
        # The instance arrives as ls, which C cannot be iterated as.
        exc = self.assertFails(TypeError, "'C' object is not iterable", (FILE, 3, NAME), c.r)
    def test_pickle_and_weakref(self):
        self.assertEqual(elemcount.__reduce__(), "elemcount")
        for proto in range(pickle.HIGHEST_PROTOCOL + 1):
            self.assertIs(pickle.loads(pickle.dumps(elemcount, proto)), elemcount)
        ref = weakref.ref(elemcount)
        self.assertIs(ref(), elemcount)
        self.assertIn(vars(count_mod), gc.get_referents(elemcount))


class CallOperationTest(CallChecks, unittest.TestCase):

    def test_non_string_keywords_rejected_before_binding(self):
        with self.assertRaises(TypeError) as cm:
            elemcount(**{1: 2})
        self.assertEqual(str(cm.exception), "keywords must be strings")
        self.assertNotIn(NAME, [e[2] for e in entries(cm.exception)])


class TracebackTest(CallChecks, unittest.TestCase):

    def test_entry_precedes_python_callee(self):
        class L(list):
            def count(self, v):
                raise ValueError("from count")
        exc = self.assertFails(ValueError, "from count", None, elemcount, L([1]))
        self.assertEqual(entries(exc)[-2], (FILE, 6, NAME))
        self.assertEqual(entries(exc)[-1][::2], (__file__, "count"))

    def test_switch_created_false(self):
        r = run_python("""
            import sys
            from pelmo.list.count import elemcount
            print(hasattr(sys.modules['cython_runtime'], 'cline_in_traceback'))
            try: elemcount()
            except TypeError: pass
            print(sys.modules['cython_runtime'].cline_in_traceback)
        """)
        self.assertEqual(r.stdout.split(), ["False", "False"], r.stderr)

    def test_code_objects_made_once(self):
        # Each failure point's code object is found again, in either mode,
        # the first in the cache's order too.
        r = run_python(r"""
            import sys
            from pelmo.list.count import elemcount
            def code(*a):
                try: elemcount(*[x() if callable(x) else x for x in a])
                except Exception as e:
                    tb = e.__traceback__
                    while tb.tb_next: tb = tb.tb_next
                    return tb.tb_frame.f_code
            calls = [(), (5,), (lambda: iter([1]),), (1, 2)]
            for mode in (False, True):
                sys.modules['cython_runtime'].cline_in_traceback = mode
                first = [code(*c) for c in calls]
                print(all(code(*c) is f for c, f in zip(calls, first)), len(set(map(id, first))))
        """)
        self.assertEqual(r.stdout.split(), ["True", "3", "True", "3"], r.stderr)

    def test_cline_mode(self):
        r = run_python(r"""
            import sys, traceback
            from pelmo.list.count import elemcount
            def last(*a, **k):
                try: elemcount(*a, **k)
                except Exception as e:
                    f = traceback.extract_tb(e.__traceback__)[-1]
                    return '%s|%d|%s' % (f.filename, f.lineno, f.name)
            rt = sys.modules['cython_runtime']
            print(last(5))                      # line 3, plain name cached
            rt.cline_in_traceback = True
            print(last(5)); print(last()); print(last(iter([1])))
            rt.cline_in_traceback = 'yes'       # truthy counts as on
            print(last(5))
            rt.cline_in_traceback = 0
            print(last(5)); print(last(1, 2))
            del rt.cline_in_traceback           # absent: set back to False
            print(last(5), rt.cline_in_traceback)
        """)
        self.assertEqual(r.returncode, 0, r.stderr)
        lines = r.stdout.splitlines()
        plain = FILE + "|3|" + NAME
        self.assertEqual(lines[0], plain)
        import re
        pat = re.escape(FILE) + r"\|(\d)\|" + re.escape(NAME) + r" \(src/pelmo/list/count:(\d+)\)$"
        m = [re.match(pat, line) for line in lines[1:4]]
        self.assertTrue(all(m), lines)
        self.assertEqual([x.group(1) for x in m], ["3", "1", "6"])
        self.assertEqual(len({x.group(2) for x in m}), 3, "distinct C lines per failure point")
        self.assertEqual(lines[4], lines[1])
        self.assertEqual(lines[5:7], [plain, FILE + "|1|" + NAME])
        self.assertEqual(lines[7], plain + " False")


class ModuleInitTest(unittest.TestCase):

    def run_ok(self, code, **kw):
        r = run_python(code, **kw)
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        return r.stdout.splitlines()

    def test_reimport_same_objects(self):
        self.assertEqual(self.run_ok("""
            import sys, importlib
            import pelmo.list.count as m1
            f1 = m1.elemcount
            del sys.modules['pelmo.list.count']
            m2 = importlib.import_module('pelmo.list.count')
            print(m1 is m2, m2.elemcount is f1, m2.elemcount([1]))
        """), ["True True {1: 1}"])

    def test_reinitialisation_refused(self):
        self.assertEqual(self.run_ok("""
            import ctypes, types
            import pelmo.list.count as m
            lib = ctypes.PyDLL(m.__file__)
            lib.PyInit_count.restype = ctypes.c_void_p
            api = ctypes.pythonapi
            api.PyModule_ExecDef.argtypes = [ctypes.py_object, ctypes.c_void_p]
            other = types.ModuleType('other')
            try: api.PyModule_ExecDef(other, lib.PyInit_count())
            except RuntimeError as e: print(e)
            print(api.PyModule_ExecDef(m, lib.PyInit_count()), m.elemcount('aa'), vars(other).keys() - {'__name__', '__doc__', '__package__', '__loader__', '__spec__'})
        """), ["Module 'count' has already been imported. Re-initialisation is not supported.",
               "0 {'a': 2} set()"])

    def test_spec_attributes(self):
        self.assertEqual(self.run_ok("""
            import ctypes, glob, os, sys, types
            import pelmo.list
            path = glob.glob(os.path.join(pelmo.list.__path__[0], 'count*.so'))[0]
            lib = ctypes.PyDLL(path)
            lib.PyInit_count.restype = ctypes.c_void_p
            api = ctypes.pythonapi
            # A debug (Py_TRACE_REFS) interpreter exports it under another name.
            create = getattr(api, 'PyModule_FromDefAndSpec2' + ('TraceRefs' if hasattr(sys, 'getobjects') else ''))
            create.restype = ctypes.py_object
            create.argtypes = [ctypes.c_void_p, ctypes.py_object, ctypes.c_int]
            api.PyModule_ExecDef.argtypes = [ctypes.py_object, ctypes.c_void_p]
            spec = types.SimpleNamespace(name='pelmo.list.count', loader=None, parent='pelmo.list',
                                         submodule_search_locations=None)
            m = create(lib.PyInit_count(), spec, 1013)
            d = vars(m)
            print(sorted(k for k in d if k.startswith('__')))
            print(d['__loader__'], '__file__' in d, '__path__' in d)
            api.PyModule_ExecDef(m, lib.PyInit_count())
            print(sys.modules['pelmo.list.count'] is m, m.elemcount([1, 1]))
        """), ["['__doc__', '__loader__', '__name__', '__package__', '__spec__']", "None False False",
               "True {1: 2}"])

    def test_exported_flag_renames_to_main(self):
        self.assertEqual(self.run_ok("""
            import ctypes, glob, os, sys
            import pelmo.list
            path = glob.glob(os.path.join(pelmo.list.__path__[0], 'count*.so'))[0]
            ctypes.c_int.in_dll(ctypes.PyDLL(path), '__pyx_module_is_main_pelmo__list__count').value = 1
            import pelmo.list.count as m
            print(m.__name__, sys.modules['pelmo.list.count'] is m, m.elemcount.__module__)
        """), ["__main__ True pelmo.list.count"])

    def test_second_interpreter_refused(self):
        out = run_python("""
            import _testcapi
            import pelmo.list.count
            print(_testcapi.run_in_subinterp('import pelmo.list.count'))
        """)
        self.assertEqual(out.stdout.split(), ["-1"])
        self.assertIn("ImportError: Interpreter change detected - this module can only be loaded into one "
                      "interpreter per process.", out.stderr)
        # Loaded first by a sub-interpreter, the library then refuses the main one.
        out = run_python("""
            import _testcapi
            print(_testcapi.run_in_subinterp('import pelmo.list.count'))
            try: import pelmo.list.count
            except ImportError as e: print(e)
        """)
        self.assertEqual(out.stdout.splitlines(), ["0", "Interpreter change detected - this module can only be "
                                                   "loaded into one interpreter per process."], out.stderr)

    def test_shared_type_checks_and_retry(self):
        self.assertEqual(self.run_ok("""
            import sys, types
            shared = types.ModuleType('_cython_3_0_11')
            sys.modules['_cython_3_0_11'] = shared
            for bad in (5, int):
                shared.cython_function_or_method = bad
                try: import pelmo.list.count
                except TypeError as e:
                    print(e, [f.name for f in __import__('traceback').extract_tb(e.__traceback__)
                              if f.name.startswith(('init', 'pelmo'))])
            del shared.cython_function_or_method
            import pelmo.list.count as m
            print(m.elemcount('ab'), type(m.elemcount) is shared.cython_function_or_method)
        """), ["Shared Cython type cython_function_or_method is not a type object []",
               "Shared Cython type cython_function_or_method has the wrong size, try recompiling []",
               "{'a': 1, 'b': 1}", "True"][:2] + ["{'a': 1, 'b': 1} True"])

    def test_type_shared_across_libraries(self):
        self.assertEqual(self.run_ok("""
            import frametest, pelmo.list.count as c
            print(type(frametest.make) is type(c.elemcount))
        """), ["True"])

    @support.host_only("the other interpreter versions are the build machine's")
    def test_version_mismatch_warning(self):
        import glob
        import os
        pythons = glob.glob(os.path.expanduser("~/.pyenv/versions/3.8.*/bin/python3.8"))
        if not pythons:
            self.skipTest("no Python 3.8 to load the library into")
        import subprocess
        code = (
            "import importlib.machinery as m, importlib.util as u, sys\n"
            "path = sys.argv[1]\n"
            "loader = m.ExtensionFileLoader('pelmo.list.count', path)\n"
            "spec = u.spec_from_file_location('pelmo.list.count', path, loader=loader)\n"
            "try:\n    loader.exec_module(u.module_from_spec(spec))\n"
            "except RuntimeWarning as e:\n    print(e)\n")
        r = subprocess.run([pythons[0], "-W", "error", "-c", code, count_mod.__file__],
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True)
        self.assertEqual(r.stdout.strip(), "compile time Python version 3.7 of module 'pelmo.list.count' "
                                           "does not match runtime version 3.8", r.stderr)


if __name__ == "__main__":
    unittest.main()
