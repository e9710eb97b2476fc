"""Callees that ambrel and write enter without an argument tuple or keyword
dict (Python functions, builtin functions of every calling convention) behave
exactly as through their call slot: same arguments, results, messages and
isolation between calls, on both sides of the limit on passed-on arguments."""
import ast
import functools
import io
import sys
import types
import unittest

import frametest
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


def detail(ls, func, *args, **kwargs):
    """Result, or exception with message, cause and traceback entries."""
    try:
        return ("ok", ambrel(ls, func, *args, **kwargs))
    except Exception as exc:  # the comparison is the point
        return (type(exc).__name__, str(exc), type(exc.__cause__).__name__, support.entries(exc)[1:])


class Obj:
    def meth(self, l, *rest, **kw):
        CALLS.append(("meth", l, rest, kw))
        if l == "raise":
            raise LookupError(l)
        return (l, rest, sorted(kw.items()))


def recorded(l, *rest, key=None, **kw):
    CALLS.append(("f", l, rest, key, kw))
    if l == "raise":
        raise LookupError(l)
    return (l, rest, key, sorted(kw.items()))


CALLS = []
# frametest kinds: cyfunctions of the one-argument and vector conventions,
# and builtins that return null without an exception on 0 and a result with
# an exception on 1 (METH_O, METH_FASTCALL, METH_FASTCALL | METH_KEYWORDS).
CY_NOARGS, CY_ONE, CY_FAST = (frametest.make(k, 0, None) for k in (0, 1, 3))
BAD_O, BAD_FAST, BAD_FASTKW = (frametest.builtin(k) for k in range(3))


class AmbrelAgainstGeneric(unittest.TestCase):
    """Each callee kind entered directly against the same callee behind
    functools.partial, which ambrel can only call through its call slot and
    which adds no frame and, for Python functions and builtins, no recursion
    level of its own."""

    def test_same_outcome_and_calls(self):
        cases = [
            # (ls, func, extra args, keywords)
            ([-1, 2.5, "x"], abs, (), {}),
            ([1], abs, (2,), {}),                            # METH_O, too many arguments
            ([1], abs, (), {"x": 1}),                        # METH_O, keywords refused
            ([["a", "b"], [1]], "-".join, (), {}),           # bound METH_O
            ([7, 0], divmod, (3,), {}),                      # METH_FASTCALL
            ([7], divmod, (), {"y": 3}),
            ([1, 1j], getattr, ("imag",), {}),
            ([{}], dict.fromkeys, (), {}),                   # class method: other kind
            ([0, 5], {}.get, ("d",), {}),                    # bound METH_FASTCALL
            ([1.25, "x"], round, (1,), {}),                  # METH_FASTCALL | METH_KEYWORDS
            ([1.25], round, (), {"ndigits": 1}),
            ([[3, 1]], sorted, (), {"reverse": True, "key": None}),
            ([[3, 1]], sorted, (), {"bad": 1}),
            ([1, 2], recorded, (), {}),                      # Python function
            ([1, "raise", 2], recorded, (7, 8), {"key": 3, "z": 4}),
            ([1, 2], Obj().meth, (9,) * 7, {"k": 1}),        # bound method, vector limit
            (["raise"], Obj().meth, (), {}),
            ([1], types.MethodType(divmod, 7), (), {}),      # bound builtin: generic
            ([1, 2], CY_ONE, (), {}),                        # this frame's own type
            ([1, 2], CY_FAST, (3,), {}),
            ([1], CY_FAST, (), {"k": 3}),
            ([1], CY_NOARGS, (), {}),
        ]
        if not support.PYDEBUG:  # there the misbehaving builtins abort the process
            cases += [([5, 0, 5], BAD_O, (), {}), ([5, 1], BAD_O, (), {}), ([5, 0], BAD_FAST, (), {}),
                      ([5, 1], BAD_FAST, (2,), {}), ([5, 0], BAD_FASTKW, (), {}), ([5, 1], BAD_FASTKW, (), {})]
        for ls, func, args, kwargs in cases:
            with self.subTest(func=func, args=args, kwargs=kwargs):
                del CALLS[:]
                direct = detail(ls, func, *args, **kwargs), list(CALLS)
                del CALLS[:]
                generic = detail(ls, functools.partial(func), *args, **kwargs), list(CALLS)
                self.assertEqual(direct, generic)

    @support.release_only("the interpreter's checks of a misbehaving builtin abort the process there")
    def test_misbehaving_builtins(self):
        # What the comparison above relies on: the interpreter's own checks.
        self.assertEqual(detail([0], BAD_O)[:3],
                         ("SystemError", "<built-in function misbehave_o> returned NULL without setting an error",
                          "NoneType"))
        self.assertEqual(detail([1], BAD_FAST)[:3],
                         ("SystemError", "<built-in function misbehave_fast> returned a result with an error set",
                          "ValueError"))

    def test_recursion_limit_at_the_same_depth(self):
        # The first depth at which each call fails, and how, against the
        # generic call: partial for builtins and Python functions, one more
        # extra argument than the vector takes for the other kinds.
        proc = support.run_python("""
            import functools, sys
            import frametest
            from pelmo.list.ambrel import ambrel
            from support import recursion_failure
            def f(l, *rest, **kw):
                return l
            class C:
                def m(self, l, *rest):
                    return l
            cy = frametest.make(3, 0, None)
            m = C().m
            bad = frametest.builtin(0)
            seven, eight = tuple(range(7)), tuple(range(8))
            p = functools.partial
            pairs = [
                (lambda: ambrel([1], abs), lambda: ambrel([1], p(abs))),
                (lambda: ambrel([7], divmod, 2), lambda: ambrel([7], p(divmod), 2)),
                (lambda: ambrel([1.5], round), lambda: ambrel([1.5], p(round))),
                (lambda: ambrel([[1]], sorted, reverse=True), lambda: ambrel([[1]], p(sorted), reverse=True)),
                (lambda: ambrel([1], f), lambda: ambrel([1], p(f))),
                (lambda: ambrel([1], f, 2, k=3), lambda: ambrel([1], p(f), 2, k=3)),
                (lambda: ambrel([1], m, *seven), lambda: ambrel([1], m, *eight)),
                (lambda: ambrel([1], cy, *seven), lambda: ambrel([1], cy, *eight)),
            ]
            if not hasattr(sys, "gettotalrefcount"):  # a debug interpreter aborts on the misbehaving builtin
                pairs.append((lambda: ambrel([0], bad), lambda: ambrel([0], p(bad))))
            sys.setrecursionlimit(300)
            sys.stdout.write(repr([(recursion_failure(a), recursion_failure(b)) for a, b in pairs]))
            """)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        for direct, generic in ast.literal_eval(proc.stdout):
            self.assertIsNotNone(direct)
            self.assertEqual(direct, generic)


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
