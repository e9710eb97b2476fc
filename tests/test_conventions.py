"""Calling conventions of the function type that no package module uses,
through the test-only module `frametest` built on the same frame."""
import unittest

import frametest
from pelmo.list.count import elemcount
from support import CallChecks, run_python, tb_file

NOARGS, ONE, VARARGS, FASTCALL, METHOD, BAD, NULLRESULT = range(7)
STATIC, CCLASS, COROUTINE = 1, 4, 8


def outcome(f, *args, **kwargs):
    try:
        result = f(*args, **kwargs)
    except TypeError as e:
        return str(e)
    # Show the function itself as "self" to keep expectations readable.
    return tuple("self" if x is f else x for x in result)


class ConventionsTest(unittest.TestCase):

    def test_plain_functions_pass_themselves(self):
        for flags in (0, STATIC, STATIC | CCLASS):
            with self.subTest(flags=flags):
                noargs = frametest.make(NOARGS, flags, None)
                self.assertEqual(outcome(noargs), ("noargs", "self", None))
                self.assertEqual(outcome(noargs, 1), "noargs() takes no arguments (1 given)")
                self.assertEqual(outcome(noargs, x=1), "noargs() takes no keyword arguments")
                one = frametest.make(ONE, flags, None)
                self.assertEqual(outcome(one, 7), ("o", "self", 7))
                self.assertEqual(outcome(one), "one() takes exactly one argument (0 given)")
                self.assertEqual(outcome(one, 1, 2), "one() takes exactly one argument (2 given)")
                self.assertEqual(outcome(one, 1, x=2), "one() takes no keyword arguments")
                varargs = frametest.make(VARARGS, flags, None)
                self.assertEqual(outcome(varargs, 1, 2, x=3), ("varargs", "self", (1, 2), {"x": 3}))
                self.assertEqual(varargs()[2:], ((), None))
                fast = frametest.make(FASTCALL, flags, None)
                self.assertEqual(outcome(fast, 1, 2, x=3, y=4), ("fastcall", "self", 2, (1, 2, 3, 4), ("x", "y")))
                self.assertEqual(outcome(fast, 1, **{}), ("fastcall", "self", 1, (1,), None))
                method = frametest.make(METHOD, flags, int)
                self.assertEqual(outcome(method, 1, x=2), ("method", "self", int, 1, (1, 2), ("x",)))

    def test_native_class_methods_take_self_from_arguments(self):
        self.assertEqual(outcome(frametest.make(NOARGS, CCLASS, None), "me"), ("noargs", "me", None))
        self.assertEqual(outcome(frametest.make(NOARGS, CCLASS, None), "me", 1),
                         "noargs() takes no arguments (1 given)")
        self.assertEqual(outcome(frametest.make(ONE, CCLASS, None), "me", 5), ("o", "me", 5))
        self.assertEqual(outcome(frametest.make(ONE, CCLASS, None), "me"),
                         "one() takes exactly one argument (0 given)")
        self.assertEqual(outcome(frametest.make(VARARGS, CCLASS, None), "me", 1, k=2),
                         ("varargs", "me", (1,), {"k": 2}))
        self.assertEqual(outcome(frametest.make(FASTCALL, CCLASS, None), "me", 1, k=2),
                         ("fastcall", "me", 1, (1, 2), ("k",)))
        self.assertEqual(outcome(frametest.make(METHOD, CCLASS, str), "me", k=2),
                         ("method", "me", str, 0, (2,), ("k",)))
        for kind, name in [(NOARGS, "noargs"), (ONE, "one"), (FASTCALL, "fastcall"), (METHOD, "method")]:
            self.assertEqual(outcome(frametest.make(kind, CCLASS, None)), "%s() needs an argument" % name)
        self.assertEqual(outcome(frametest.make(VARARGS, CCLASS, None)),
                         "unbound method make.<locals>.varargs() needs an argument")

    def test_bad_flags(self):
        with self.assertRaises(SystemError) as cm:
            frametest.make(BAD, 0, None)
        self.assertEqual(str(cm.exception), "Bad call flags for CyFunction")

    def test_doc_from_definition(self):
        f = frametest.make(NOARGS, 0, None)
        self.assertEqual(f.__doc__, "takes nothing")
        self.assertEqual(f.__qualname__, "make.<locals>.noargs")

    def test_keywords_must_be_strings(self):
        f = frametest.make(FASTCALL, 0, None)
        with self.assertRaises(TypeError) as cm:
            f(1, **{"a": 1, 2: 3})
        self.assertEqual(str(cm.exception), "keywords must be strings")

    def test_coroutine_flag(self):
        import asyncio.coroutines
        self.assertIs(frametest.make(ONE, COROUTINE, None)._is_coroutine, asyncio.coroutines._is_coroutine)
        self.assertIs(frametest.make(ONE, 0, None)._is_coroutine, False)

    def test_coroutine_marker_import_failure_gives_true(self):
        r = run_python("""
            import sys
            sys.modules['asyncio.coroutines'] = None   # makes the import fail
            import frametest
            print(frametest.make(1, 8, None)._is_coroutine)
        """)
        self.assertEqual(r.stdout.strip(), "True", r.stderr)


class CallHelpersTest(CallChecks, unittest.TestCase):
    """The bodies' call routines, seen through elemcount's call of `count`."""

    def test_null_result_without_error(self):
        class L(list):
            pass
        ls = L([1])
        ls.count = frametest.make(NULLRESULT, 0, None)
        self.assertFails(SystemError, "NULL result without error in PyObject_Call",
                         (tb_file("pelmo", "list", "count"), 6, "pelmo.list.count.elemcount"), elemcount, ls)

    def test_recursion_guard_message(self):
        # Native calls only: elemcount(ls) calls ls.count(ls), which is elemcount again.
        class L(list):
            pass
        ls = L()
        ls.append(ls)
        ls.count = elemcount
        exc = self.assertFails(RecursionError, None, (tb_file("pelmo", "list", "count"), 6,
                                                      "pelmo.list.count.elemcount"), elemcount, ls)
        self.assertEqual(str(exc), "maximum recursion depth exceeded while calling a Python object")


if __name__ == "__main__":
    unittest.main()
