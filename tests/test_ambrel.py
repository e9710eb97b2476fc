"""pelmo.list.ambrel: ambrel(ls, func, *args, **kwargs)."""
import ast
import inspect
import sys
import unittest

from support import CallChecks, run_python, tb_file, src_file, entries

import frametest
from pelmo.list.ambrel import ambrel

TB = tb_file("pelmo", "list", "ambrel")
NAME = "pelmo.list.ambrel.ambrel"

# A native callable that receives the positional tuple and the keyword dict
# exactly as ambrel passes them, and returns ("varargs", self, args, kwargs).
VARARGS = frametest.make(2, 0, None)
# A native callable of one argument that returns null without an exception.
NULL_RESULT = frametest.make(6, 0, None)


def at(line):
    return (TB, line, NAME)


class Recorder:
    """A callable that logs every call and returns a tag for it."""

    def __init__(self, fail_at=None, action=None):
        self.calls = []
        self.fail_at = fail_at
        self.action = action

    def __call__(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        if self.action:
            self.action(*args)
        if len(self.calls) == self.fail_at:
            raise ArithmeticError("call %d" % self.fail_at)
        return ("r",) + args


class Steps:
    """An iterator over `items` that raises `stop` when they run out."""

    def __init__(self, items, stop):
        self.items = list(items)
        self.stop = stop

    def __iter__(self):
        return self

    def __next__(self):
        if not self.items:
            raise self.stop
        return self.items.pop(0)


class ResultTest(unittest.TestCase):
    def test_calls_and_results(self):
        def gen():
            yield from (3, 4)

        class Reversed(list):
            def __iter__(self):
                return iter(tuple(list.__iter__(self))[::-1])

        class Odd(tuple):
            def __iter__(self):
                return iter(tuple(tuple.__iter__(self))[1::2])

        class MyStop(StopIteration):
            pass

        cases = [
            # (ls, extra args, kwargs, elements visited in order)
            ([], (), {}, []),
            ((), (10,), {"k": 1}, []),
            ([1, 2, 3], (10,), {"key": 5}, [1, 2, 3]),
            ((1, 2), (), {}, [1, 2]),
            ("ab", (1, 2), {}, ["a", "b"]),
            ({"x": 1, "y": 2}, (), {}, ["x", "y"]),
            (gen(), (), {"a": 1, "b": 2}, [3, 4]),
            (range(3), (), {}, [0, 1, 2]),
            (Reversed([1, 2, 3]), (), {}, [3, 2, 1]),
            (Odd((1, 2, 3, 4)), (), {}, [2, 4]),
            (Steps([5, 6], MyStop("done")), (), {}, [5, 6]),
            (Steps([7], StopIteration), (), {}, [7]),
            ({8}, (), {}, [8]),
        ]
        for ls, args, kwargs, visited in cases:
            with self.subTest(ls=ls):
                f = Recorder()
                result = ambrel(ls, f, *args, **kwargs)
                self.assertIs(type(result), list)
                self.assertEqual(f.calls, [((l,) + args, kwargs) for l in visited])
                self.assertEqual(result, [("r", l) + args for l in visited])

    def test_builtin_func(self):
        self.assertEqual(ambrel([1, 2], pow, 2), [1, 4])
        self.assertEqual(ambrel(["a,b", "c"], str.split, ","), [["a", "b"], ["c"]])
        self.assertEqual(ambrel([[3, 1, 2]], sorted, reverse=True), [[3, 2, 1]])

    def test_args_and_kwargs_are_ordinary_keywords(self):
        f = Recorder()
        self.assertEqual(ambrel([1], f, args=3, kwargs=4), [("r", 1)])
        self.assertEqual(f.calls, [((1,), {"args": 3, "kwargs": 4})])

    def test_keywords_in_call_order(self):
        f = Recorder()
        ambrel(func=f, z=1, ls=[0], a=2)
        self.assertEqual(list(f.calls[0][1].items()), [("z", 1), ("a", 2)])

    def test_growing_and_shrinking_list(self):
        ls = [1, 2]
        f = Recorder(action=lambda l: ls.append(l + 10) if l < 10 else None)
        self.assertEqual(ambrel(ls, f), [("r", 1), ("r", 2), ("r", 11), ("r", 12)])
        self.assertEqual(ls, [1, 2, 11, 12])

        ls = [1, 2, 3]
        f = Recorder(action=lambda l: ls.clear())
        self.assertEqual(ambrel(ls, f), [("r", 1)])

        ls = [1, 2, 3, 4]
        f = Recorder(action=lambda l: ls.pop())
        # 1 (removes 4), 2 (removes 3): the length is read before every step
        self.assertEqual(ambrel(ls, f), [("r", 1), ("r", 2)])

    def test_removed_element_stays_alive_during_call(self):
        class Item:
            pass

        ls = [Item()]
        seen = []

        def f(l):
            ls.clear()
            seen.append(type(l).__name__)
            return l

        result = ambrel(ls, f)
        self.assertEqual(seen, ["Item"])
        self.assertIsInstance(result[0], Item)

    def test_keyword_dict_per_call(self):
        kwargs = {"x": 1}
        results = ambrel([1, 2, 3], VARARGS, 9, **kwargs)
        self.assertEqual([r[2] for r in results], [(1, 9), (2, 9), (3, 9)])
        dicts = [r[3] for r in results]
        self.assertEqual(dicts, [{"x": 1}] * 3)
        # every call has its own dict: changing one changes no other
        self.assertEqual(len({id(d) for d in dicts}), 3)
        dicts[0]["x"] = 99
        self.assertEqual([d["x"] for d in dicts[1:]], [1, 1])
        self.assertEqual(kwargs, {"x": 1})
        # an empty keyword dict is still passed, never omitted
        self.assertEqual(ambrel([1], VARARGS)[0][3], {})

    def test_no_leaks(self):
        item = object()
        value = object()
        before = sys.getrefcount(item), sys.getrefcount(value)
        for _ in range(50):
            ambrel([item, item], VARARGS, item, k=value)
            ambrel((item,), lambda *a, **k: None, item, k=value)
            with self.assertRaises(ArithmeticError):
                ambrel([item] * 3, Recorder(fail_at=2), item, k=value)
            with self.assertRaises(TypeError):
                ambrel([item], 5, item, k=value)
        self.assertEqual((sys.getrefcount(item), sys.getrefcount(value)), before)


class FailureTest(CallChecks, unittest.TestCase):
    def test_body_failures(self):
        def failing_gen():
            yield 1
            raise LookupError("gen")

        cases = [
            # (ls, func, args, exception, message, calls made)
            (5, Recorder(), (), TypeError, "'int' object is not iterable", 0),
            ([1], 5, (), TypeError, "'int' object is not callable", None),
            ([1, 2, 3, 4], Recorder(fail_at=3), (), ArithmeticError, "call 3", 3),
            (Steps([1, 2], ValueError("next")), Recorder(), (), ValueError, "next", 2),
            (failing_gen(), Recorder(), (), LookupError, "gen", 1),
            ([1], NULL_RESULT, (), SystemError, "NULL result without error in PyObject_Call", None),
        ]
        for ls, func, args, exc_type, message, ncalls in cases:
            with self.subTest(ls=ls, func=func):
                exc = self.assertFails(exc_type, message, None, ambrel, ls, func, *args)
                self.assertEqual([e for e in entries(exc) if e[0] == TB], [at(2)])
                if ncalls is not None:
                    self.assertEqual(len(func.calls), ncalls)

    def test_not_callable_with_empty_ls(self):
        self.assertEqual(ambrel([], 5), [])
        self.assertEqual(ambrel(iter(()), None, 1, x=2), [])

    def test_failure_inside_func_follows_native_entry(self):
        def func(l):
            raise KeyError(l)

        exc = self.assertFails(KeyError, None, None, ambrel, [7], func)
        self.assertEqual(entries(exc)[-2:], [at(2), (__file__, func.__code__.co_firstlineno + 1, "func")])


class BindingTest(CallChecks, unittest.TestCase):
    def test_binding_failures(self):
        f = Recorder()
        zero = "ambrel() takes at least 2 positional arguments (0 given)"
        one = "ambrel() takes at least 2 positional arguments (1 given)"
        cases = [
            ((), {}, zero),
            ((), {"func": f}, zero),
            ((), {"x": 1}, zero),
            (([1],), {}, one),
            ((), {"ls": [1]}, one),
            (([1],), {"ls": [2]}, one),
            (([1],), {"x": 1}, one),
            ((), {"ls": [1], "x": f}, one),
            (([1], f), {"ls": [2]}, "ambrel() got multiple values for keyword argument 'ls'"),
            (([1], f, 7, 8), {"ls": 3}, "ambrel() got multiple values for keyword argument 'ls'"),
            (([1], f), {"x": 1, "func": f}, "ambrel() got multiple values for keyword argument 'func'"),
        ]
        for args, kwargs, message in cases:
            with self.subTest(args=args, kwargs=kwargs):
                # through a lambda: `func` is also a parameter of assertFails
                self.assertFails(TypeError, message, at(1), lambda: ambrel(*args, **kwargs))
        self.assertEqual(f.calls, [])

    def test_binding_forms(self):
        cases = [
            # (args, kwargs, expected calls of the recorder given as func)
            (([1],), {"func": None}, [((1,), {})]),
            ((), {"ls": [1], "func": None}, [((1,), {})]),
            ((), {"func": None, "ls": [1], "x": 2}, [((1,), {"x": 2})]),
            (([1], None, 7), {"x": 1}, [((1, 7), {"x": 1})]),
            (([1], None, 7, 8), {}, [((1, 7, 8), {})]),
        ]
        for args, kwargs, calls in cases:
            with self.subTest(args=args, kwargs=kwargs):
                f = Recorder()
                args = tuple(f if a is None else a for a in args)
                kwargs = {k: (f if v is None else v) for k, v in kwargs.items()}
                ambrel(*args, **kwargs)
                self.assertEqual(f.calls, calls)

    def test_keyword_name_compared_by_eq(self):
        class Name(str):
            __hash__ = str.__hash__

            def __eq__(self, other):
                if str(other) != "func":
                    return False
                if self.startswith("raise"):
                    raise RuntimeError("compared")
                return True

        f = Recorder()
        ambrel([1], **{Name("anything"): f})
        self.assertEqual(f.calls, [((1,), {})])
        exc = self.assertFails(RuntimeError, "compared", None, lambda: ambrel([1], **{Name("raise"): f}))
        self.assertEqual([e for e in entries(exc) if e[0] == TB], [at(1)])


class ObjectTest(unittest.TestCase):
    def test_function_and_code(self):
        import pelmo.list.ambrel as mod

        self.assertIs(mod.ambrel, ambrel)
        self.assertEqual(mod.__test__, {})
        self.assertIsNone(ambrel.__defaults__)
        self.assertIsNone(ambrel.__kwdefaults__)
        self.assertEqual((ambrel.__name__, ambrel.__qualname__, ambrel.__module__),
                         ("ambrel", "ambrel", "pelmo.list.ambrel"))
        code = ambrel.__code__
        self.assertEqual(code.co_varnames, ("ls", "func", "args", "kwargs", "l"))
        self.assertEqual((code.co_argcount, code.co_kwonlyargcount, code.co_nlocals), (2, 0, 5))
        self.assertEqual(code.co_flags & 0xF, 15)
        self.assertEqual((code.co_filename, code.co_name, code.co_firstlineno),
                         (src_file("pelmo", "list", "ambrel"), "ambrel", 1))
        self.assertEqual(str(inspect.signature(ambrel)), "(ls, func, *args, **kwargs)")

    def test_call_inside_recursion_guard(self):
        # Approach the limit one frame at a time: the first depth at which
        # ambrel([..], len) fails must fail in ambrel's own guard around the
        # call (len itself does not count towards the limit).
        proc = run_python("""
            import sys, traceback
            from pelmo.list.ambrel import ambrel
            def depth():
                f, n = sys._getframe(1), 0
                while f:
                    n, f = n + 1, f.f_back
                return n
            def at_depth(target):
                if depth() < target:
                    return at_depth(target)
                try:
                    return ambrel(["ab"], len)
                except RecursionError as e:
                    last = traceback.extract_tb(e.__traceback__)[-1]
                    return (str(e), last.lineno, last.name)
            sys.setrecursionlimit(300)
            outcomes = []
            for t in range(280, 301):
                outcomes.append(at_depth(t))
                if outcomes[-1] != [2]:
                    break
            sys.stdout.write(repr((len(outcomes) > 1, outcomes[-1])))
            """)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        self.assertEqual(ast.literal_eval(proc.stdout),
                         (True, ("maximum recursion depth exceeded while calling a Python object", 2, NAME)))

    def test_failure_points_have_own_c_lines(self):
        proc = run_python("""
            import sys, traceback
            from pelmo.list.ambrel import ambrel
            sys.modules["cython_runtime"].cline_in_traceback = True
            def bad_next():
                yield 1
                raise TypeError("next")
            names = []
            for ls, func in ((5, len), ([1], 5), (bad_next(), str)):
                try:
                    ambrel(ls, func)
                except TypeError as e:
                    names.append([f.name for f in traceback.extract_tb(e.__traceback__)
                                  if f.name.startswith("pelmo")][0])
            sys.stdout.write(repr(names))
            """)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        names = ast.literal_eval(proc.stdout)
        self.assertEqual(len(names), 3)
        for n in names:
            self.assertRegex(n, r"^pelmo\.list\.ambrel\.ambrel \(src/pelmo/list/ambrel:\d+\)$")
        self.assertEqual(len(set(names)), 3)


if __name__ == "__main__":
    unittest.main()
