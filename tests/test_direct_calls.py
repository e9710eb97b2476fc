"""Callees that ambrel and write enter without an argument tuple or keyword
dict (Python functions, builtin functions of every calling convention) behave
exactly as through their call slot: same arguments, results, messages and
isolation between calls, on both sides of the limit on passed-on arguments."""
import io
import sys
import unittest

import support
from pelmo.list.ambrel import ambrel
from pelmo.list.write import write


def reference_ambrel(ls, func, *args, **kwargs):
    return [func(l, *args, **kwargs) for l in ls]


def outcome(call):
    try:
        return ("ok", call())
    except Exception as exc:  # the comparison is the point
        return (type(exc).__name__, str(exc))


def collect(*args, **kwargs):
    return (args, sorted(kwargs.items()))


def reachable_depth():
    """How deep Python calls can nest from here before RecursionError."""
    depth = 0

    def down():
        nonlocal depth
        depth += 1
        down()

    try:
        down()
    except RecursionError:
        pass
    return depth


class RecursionBookkeeping(unittest.TestCase):
    """Every guard entered on the direct paths is left again."""

    def test_depth_unchanged_by_calls(self):
        before = reachable_depth()
        saved, sys.stdout = sys.stdout, io.StringIO()
        try:
            for _ in range(50):
                write([1, 2])
                ambrel([1, 2], abs)
                ambrel([1, 2], collect, 3, k=4)
                ambrel([1, 2], max, 5)
                outcome(lambda: ambrel([1], abs, k=1))
                outcome(lambda: write([1, 2], 5))
        finally:
            sys.stdout = saved
        self.assertEqual(reachable_depth(), before)


class AmbrelDirect(support.CallChecks, unittest.TestCase):
    def check(self, ls, func, *args, **kwargs):
        got = outcome(lambda: ambrel(ls, func, *args, **kwargs))
        want = outcome(lambda: reference_ambrel(ls, func, *args, **kwargs))
        self.assertEqual(got, want, (func, args, kwargs))
        return got

    def test_python_callee_every_extra_count(self):
        for extra in range(0, 12):
            args = tuple(range(100, 100 + extra))
            got = self.check([1, 2], collect, *args)
            self.assertEqual(got[1][1], ((2,) + args, []))
            self.check([1, 2], collect, *args, k=extra)

    def test_builtin_callees_of_every_convention(self):
        cases = [
            (abs, (), {}), (abs, (1,), {}), (abs, (), {"x": 1}),          # one argument
            (divmod, (3,), {}), (divmod, (), {}), (divmod, (3,), {"y": 1}),
            (round, (1,), {}), (round, (), {"ndigits": 1}), (round, (), {"bad": 1}),
            (sorted, (), {"reverse": True}), (sorted, (), {"key": None}), (sorted, (1,), {}),
            (max, (5,), {}), (max, (5,), {"key": abs}), (max, (), {"nokey": 1}),
            (min, (-5, 7, 8, 9, 10, 11, 12, 13), {}),
            (getattr, ("real",), {}), (getattr, ("nothing",), {}),
            (isinstance, (int,), {}), (print, (), {"file": io.StringIO(), "sep": "-"}),
            ([].append, (), {}), ({}.get, (0,), {}), ({}.keys, (), {}),     # bound builtins
            ("-".join, (), {}), (int.from_bytes, (), {}),
        ]
        for func, args, kwargs in cases:
            ls = [[3, 1, 2], [-1.25]] if func in (sorted, max) else [-1.25, 2]
            if func in (isinstance, getattr, "-".join, int.from_bytes):
                ls = [b"\x01", "ab"]
            self.check(ls, func, *args, **kwargs)

    def test_keywords_are_fresh_for_every_call(self):
        seen = []

        def grab(l, **kw):
            seen.append(dict(kw))
            kw["added"] = l
            return len(kw)

        self.assertEqual(ambrel([1, 2, 3], grab, a=1), [2, 2, 2])
        self.assertEqual(seen, [{"a": 1}] * 3)

    def test_list_changed_by_the_callee(self):
        ls = [1, 2, 3]

        def shrink(l):
            if ls:
                ls.pop()
            return l

        self.assertEqual(ambrel(ls, shrink), [1, 2])

    def test_callee_failure_reports_line_2(self):
        def boom(l):
            raise KeyError(l)

        tb = support.entries(self.assertFailure(KeyError, None, ambrel, [7], boom))
        self.assertEqual(tb[-2], (support.tb_file("pelmo", "list", "ambrel"), 2, "pelmo.list.ambrel.ambrel"))
        self.assertEqual(tb[-1][2], "boom")


class WriteDirect(unittest.TestCase):
    def run_write(self, *args, **kwargs):
        out = io.StringIO()
        saved, sys.stdout = sys.stdout, out
        try:
            result = outcome(lambda: write(*args, **kwargs))
        finally:
            sys.stdout = saved
        return result, out.getvalue()

    def test_output_and_messages(self):
        for args in ([[1, "a", None]], [[1, 2], "-", "."], [[1, 2], None, None], [[1, 2, 3], 5],
                     [[1], 5], [[1, 2], "x", b"y"], ["abc"]):
            result, text = self.run_write(*args)
            ls = args[0]
            sep = args[1] if len(args) > 1 else " "
            end = args[2] if len(args) > 2 else "\n"
            want_text = io.StringIO()
            want = outcome(lambda: [print(x, end=(sep if i < len(ls) - 1 else end), file=want_text)
                                    for i, x in enumerate(ls)] and None)
            self.assertEqual((result, text), (want, want_text.getvalue()), args)

    def test_reentrant_stdout(self):
        class Nested:
            def __init__(self):
                self.parts = []

            def write(self, s):
                self.parts.append(s)
                if s == "x":
                    sys.stdout = inner
                    try:
                        write(["in"])
                    finally:
                        sys.stdout = self

        inner = io.StringIO()
        outer = Nested()
        saved, sys.stdout = sys.stdout, outer
        try:
            write(["x", "y"])
        finally:
            sys.stdout = saved
        self.assertEqual(outer.parts, ["x", " ", "y", "\n"])
        self.assertEqual(inner.getvalue(), "in\n")


if __name__ == "__main__":
    unittest.main()
