"""Reference and memory leaks: every function on every success path and on
every kind of failure (binding, body, callee, traceback entries at cached
and at new points, C-line mode), and the function type's other calling
conventions and lazily built attributes, each run many thousands of times.

After the runs the reference counts of the arguments and of the function
objects must be what they were, and the number of allocated blocks must not
grow from one round to the next (allowing for a little noise).
"""
import gc
import importlib
import io
import os
import sys
import unittest
import warnings

import support

ROUNDS_N = int(os.environ.get("PELMO_LEAK_ITERATIONS", "3000"))
WARMUP = max(50, ROUNDS_N // 10)
# Blocks that may come and go between two rounds without a leak (free lists,
# caches of the interpreter); a leak of one block per call shows as ROUNDS_N.
NOISE = 40


def load(name):
    try:
        return importlib.import_module(name)
    except ImportError:
        return None


count = load("pelmo.list.count")
read = load("pelmo.list.read")
write = load("pelmo.list.write")
ambrel = load("pelmo.list.ambrel")
sprell = load("pelmo.list.strutils.sprell")
frametest = load("frametest")


def runtime():
    return sys.modules["cython_runtime"]


class Raising(str):
    """A keyword name whose comparison raises."""

    def __eq__(self, other):
        raise LookupError("no comparison")

    __hash__ = str.__hash__


class Eq:
    def __init__(self, bad):
        self.bad = bad

    def __eq__(self, other):
        if self.bad:
            raise ValueError("no comparison")
        return self is other

    __hash__ = object.__hash__


class NullWriter:
    def write(self, s):
        return len(s)

    def flush(self):
        pass


def pair(x, *args, **kwargs):
    return (x, args, kwargs)


def boom(*args, **kwargs):
    raise ValueError("boom")


def expect(exc, f, *args, **kwargs):
    """One call that must raise exc."""
    try:
        f(*args, **kwargs)
    except exc:
        return
    raise AssertionError("{} not raised".format(exc.__name__))


def expect_kw(exc, f, kwargs):
    """expect() for keyword names that only the callee may compare."""
    try:
        f(**kwargs)
    except exc:
        return
    raise AssertionError("{} not raised".format(exc.__name__))


class LeakCase(unittest.TestCase):
    def assertNoLeak(self, op, tracked=()):
        """op() runs one call; it must leave no reference and no block behind."""
        tracked = list(tracked)
        for _ in range(WARMUP):
            op()
        gc.collect()
        refs = [sys.getrefcount(o) for o in tracked]
        blocks = []
        for _ in range(2):
            for _ in range(ROUNDS_N):
                op()
            gc.collect()
            blocks.append(sys.getallocatedblocks())
        self.assertEqual([sys.getrefcount(o) for o in tracked], refs, "reference counts changed")
        self.assertLess(abs(blocks[1] - blocks[0]), NOISE,
                        "allocated blocks grew by {} in {} calls".format(blocks[1] - blocks[0], ROUNDS_N))

    def assertTotalKept(self, op):
        """A debug interpreter counts every reference held anywhere: one more
        round of op() must leave that total as it was. (A change that does
        not come back in a second round is the interpreter's caches, not a
        reference of ours, which every call would move.)"""
        total = support.reference_delta(lambda: [op() for _ in range(ROUNDS_N)])
        if total:
            total = support.reference_delta(lambda: [op() for _ in range(ROUNDS_N)])
        self.assertEqual(total, 0, "the reference total changed by {} in {} calls".format(total, ROUNDS_N))

    def each(self, scenarios):
        for name, op, tracked in scenarios:
            with self.subTest(name):
                self.assertNoLeak(op, tracked)
                if support.PYDEBUG:
                    self.assertTotalKept(op)

    def setUp(self):
        runtime_mod = sys.modules.get("cython_runtime")
        self.addCleanup(setattr, runtime_mod, "cline_in_traceback", False)

    def both_cline_modes(self, scenarios):
        for mode in (False, True):
            runtime().cline_in_traceback = mode
            with self.subTest(cline=mode):
                self.each(scenarios)
        runtime().cline_in_traceback = False


@unittest.skipUnless(count, "pelmo.list.count not built")
class CountLeaks(LeakCase):
    def test_success(self):
        f = count.elemcount
        ls, t, s = [3, 1, 3, "a", (1, 2)], (1, 2, 1), "abcab"
        self.each([
            ("list", lambda: f(ls), [f, ls]),
            ("tuple by keyword", lambda: f(ls=t), [f, t]),
            ("str through *args/**kwargs", lambda: f(*(s,), **{}), [f, s]),
            ("generator -> empty", lambda: f(x for x in ()), [f]),
        ])
        # Counted by hashing.
        plain, wide, b = [2**64, 2.0**64, 1, True, b"a", "a", None, 0.5, "a"], "\u4e2d\xe9\u4e2d", b"abcab"
        self.each([
            ("plain list", lambda: f(plain), [f, plain] + plain),
            ("wide str", lambda: f(wide), [f, wide]),
            ("bytes", lambda: f(b), [f, b]),
        ])

    def test_failures(self):
        f = count.elemcount
        ls, obj, bad_eq = [1], object(), [Eq(False), Eq(True)]
        unhashable, it = [[1], [1]], iter([])
        self.both_cline_modes([
            ("no argument", lambda: expect(TypeError, f), [f]),
            ("two arguments", lambda: expect(TypeError, f, ls, ls), [f, ls]),
            ("unexpected keyword", lambda: expect(TypeError, f, ls, x=ls), [f, ls]),
            ("multiple values", lambda: expect(TypeError, f, ls, ls=ls), [f, ls]),
            ("non-string keyword", lambda: expect_kw(TypeError, f, {1: ls}), [f, ls]),
            ("comparison raises", lambda: expect_kw(LookupError, f, {Raising("ls"): ls}), [f, ls]),
            ("not iterable", lambda: expect(TypeError, f, obj), [f, obj]),
            ("== raises", lambda: expect(ValueError, f, bad_eq), [f, bad_eq] + bad_eq),
            ("unhashable", lambda: expect(TypeError, f, unhashable), [f, unhashable]),
            ("no count method", lambda: expect(AttributeError, f, iter([1, 2])), [f]),
            ("exhausted iterator", lambda: f(it), [f, it]),
        ])


@unittest.skipUnless(read, "pelmo.list.read not built")
class ReadLeaks(LeakCase):
    def setUp(self):
        super().setUp()
        saved = sys.stdin, sys.stdout
        self.addCleanup(lambda: setattr(sys, "stdin", saved[0]) or setattr(sys, "stdout", saved[1]))
        sys.stdout = NullWriter()

    def feeding(self, op, line="12 34 5"):
        """op with enough standard input for any number of calls."""
        state = {"left": 0, "stdin": None}

        def run():
            # Refilled when used up, or when another scenario took over stdin.
            if state["left"] == 0 or sys.stdin is not state["stdin"]:
                sys.stdin = state["stdin"] = io.StringIO((line + "\n") * 1000)
                state["left"] = 300
            state["left"] -= 1
            op()
        return run

    def test_success(self):
        r, rs = read.read, read.read_split
        conv = int
        self.each([
            ("read(2, '> ', int)", self.feeding(lambda: r(2, "> ", str)), [r, conv]),
            ("read(1) with the default lambda", self.feeding(lambda: r(1)), [r]),
            ("read by keywords", self.feeding(lambda: r(n=1, s="", func=str)), [r]),
            ("read(0) reads nothing", lambda: r(0, "", 5), [r]),
            ("read_split()", self.feeding(lambda: rs()), [rs]),
            ("read_split(spl=None, func=int)", self.feeding(lambda: rs("", spl=None, func=conv)), [rs, conv]),
            ("read_split(*args, **kwargs)", self.feeding(lambda: rs(*("",), **{"spl": " "})), [rs]),
        ])

    def test_failures(self):
        r, rs = read.read, read.read_split
        lam, lam1 = r.__defaults__[1], rs.__defaults__[2]
        arg = object()
        self.both_cline_modes([
            ("read() binding", lambda: expect(TypeError, r), [r]),
            ("read(1, 2, 3, 4)", lambda: expect(TypeError, r, 1, 2, 3, 4), [r]),
            ("read(1, n=2)", lambda: expect(TypeError, r, 1, n=arg), [r, arg]),
            ("read(x=)", lambda: expect(TypeError, r, x=arg), [r, arg]),
            ("read(**{1: 2})", lambda: expect_kw(TypeError, r, {1: arg}), [r, arg]),
            ("read(Raising)", lambda: expect_kw(LookupError, r, {Raising("n"): arg}), [r, arg]),
            ("read(object())", lambda: expect(TypeError, r, arg), [r, arg]),
            ("read converts badly", self.feeding(lambda: expect(ValueError, r, 2, "", int), "x"), [r]),
            ("read's func raises", self.feeding(lambda: expect(ValueError, r, 1, "", boom)), [r]),
            ("read's func not callable", self.feeding(lambda: expect(TypeError, r, 1, "", arg)), [r, arg]),
            ("read at EOF", lambda: (setattr(sys, "stdin", io.StringIO("")), expect(EOFError, r, 1)), [r]),
            ("read_split(spl='')", self.feeding(lambda: expect(ValueError, rs, "", "")), [rs]),
            ("read_split(spl=object())", self.feeding(lambda: expect(TypeError, rs, "", arg)), [rs, arg]),
            ("read_split(func=boom)", self.feeding(lambda: expect(ValueError, rs, func=boom)), [rs]),
            ("read_split binding", lambda: expect(TypeError, rs, 1, 2, 3, 4), [rs]),
            ("lambda()", lambda: expect(TypeError, lam), [lam]),
            ("lambda(x, s=x)", lambda: expect(TypeError, lam, arg, s=arg), [lam, arg]),
            ("lambda1(x, y)", lambda: expect(TypeError, lam1, arg, arg), [lam1, arg]),
        ])

    def test_lambdas_succeed(self):
        lam, lam1 = read.read.__defaults__[1], read.read_split.__defaults__[2]
        arg = object()
        self.each([
            ("lambda(x)", lambda: lam(arg), [lam, arg]),
            ("lambda(s=x)", lambda: lam(s=arg), [lam, arg]),
            ("lambda1(x)", lambda: lam1(arg), [lam1, arg]),
        ])

    def test_cache_entry_replaced_again_and_again(self):
        # read's binding and its lambda's binding report the same line, so
        # each failure replaces the cached code object of the other.
        r, lam = read.read, read.read.__defaults__[1]

        def alternate():
            expect(TypeError, r)
            expect(TypeError, lam)
        self.both_cline_modes([("read / lambda at line 1", alternate, [r, lam])])

    def test_switching_cline_mode_every_call(self):
        r = read.read
        rt = runtime()

        def flip():
            rt.cline_in_traceback = not rt.cline_in_traceback
            expect(TypeError, r, 1, 2, 3, 4)
        self.each([("flip", flip, [r])])


@unittest.skipUnless(write, "pelmo.list.write not built")
class WriteLeaks(LeakCase):
    def setUp(self):
        super().setUp()
        saved = sys.stdout
        self.addCleanup(setattr, sys, "stdout", saved)
        sys.stdout = NullWriter()

    def test_success(self):
        w = write.write
        ls, t, d = [1, "two", 3.5], ("a", "b"), {0: "x", 1: "y"}
        self.each([
            ("list", lambda: w(ls), [w, ls]),
            ("tuple with sep and end", lambda: w(t, sep=", ", end="!"), [w, t]),
            ("str by *args/**kwargs", lambda: w(*("xyz",), **{"end": ""}), [w]),
            ("dict by index", lambda: w(d), [w, d]),
            ("empty", lambda: w([]), [w]),
        ])

    def test_failures(self):
        w = write.write
        ls, s1, arg = [1, 2, 3], {1}, object()
        self.both_cline_modes([
            ("integer sep", lambda: expect(TypeError, w, ls, 5), [w, ls]),
            ("integer end", lambda: expect(TypeError, w, [1], end=5), [w]),
            ("no length", lambda: expect(TypeError, w, (x for x in ls)), [w, ls]),
            ("set, one element", lambda: expect(TypeError, w, s1), [w, s1]),
            ("binding", lambda: expect(TypeError, w, ls, x=arg), [w, ls, arg]),
            ("too many", lambda: expect(TypeError, w, 1, 2, 3, 4), [w]),
        ])


@unittest.skipUnless(ambrel, "pelmo.list.ambrel not built")
class AmbrelLeaks(LeakCase):
    def test_success(self):
        a = ambrel.ambrel
        ls, extra = [1, 2, 3], object()
        self.each([
            ("positional and keyword extras", lambda: a(ls, pair, extra, key=extra), [a, ls, extra]),
            ("by keyword", lambda: a(ls=ls, func=pair), [a, ls]),
            ("generator, builtin callee", lambda: a((x for x in ls), divmod, 2), [a, ls]),
            ("*args/**kwargs", lambda: a(*(ls, pair, 1), **{"k": extra}), [a, ls, extra]),
            ("empty", lambda: a([], boom), [a]),
        ])

    def test_failures(self):
        a = ambrel.ambrel
        ls, arg = [1, 2], object()

        def non_string_keyword():
            try:
                a(ls, pair, **{1: arg})
            except TypeError as e:
                assert str(e) == "keywords must be strings", e
            else:
                raise AssertionError("TypeError not raised")
        cases = [
            ("no argument", lambda: expect(TypeError, a), [a]),
            ("ls only", lambda: expect(TypeError, a, ls=ls), [a, ls]),
            ("multiple values", lambda: expect(TypeError, a, ls, pair, arg, ls=arg), [a, ls, arg]),
            ("non-string keyword", non_string_keyword, [a, ls, arg]),
            ("comparison raises", lambda: expect_kw(LookupError, a, {Raising("ls"): ls}), [a, ls]),
            ("not iterable", lambda: expect(TypeError, a, arg, pair), [a, arg]),
            ("callee raises", lambda: expect(ValueError, a, ls, boom, arg, k=arg), [a, ls, arg]),
            ("not callable", lambda: expect(TypeError, a, ls, arg), [a, ls, arg]),
        ]
        if frametest:
            null = frametest.make(6, 0, None)
            cases.append(("null result", lambda: expect(SystemError, a, ls, null), [a, ls, null]))
        self.both_cline_modes(cases)


@unittest.skipUnless(sprell, "pelmo.list.strutils.sprell not built")
class SprellLeaks(LeakCase):
    def test_success(self):
        m, s = sprell.multi_str_sprell, sprell.str_sprell
        sep, a, b = ",", "a,b", "c,,d"
        self.each([
            ("multi positional", lambda: m(sep, a, b), [m, a, b]),
            ("multi sep only by keyword", lambda: m(sep=sep), [m]),
            ("multi bytes", lambda: m(b",", b"a,b"), [m]),
            ("multi *args", lambda: m(*(None, " a  b ", "c")), [m]),
            ("str_sprell", lambda: s(s=a, sep=sep), [s, a]),
        ])

    def test_failures(self):
        m, s = sprell.multi_str_sprell, sprell.str_sprell
        arg = object()
        self.both_cline_modes([
            ("multi empty separator", lambda: expect(ValueError, m, "", "ab"), [m]),
            ("multi no split", lambda: expect(AttributeError, m, ",", "a", arg), [m, arg]),
            ("multi unexpected keyword", lambda: expect(TypeError, m, ",", "a", maxsplit=arg), [m, arg]),
            ("multi no argument", lambda: expect(TypeError, m), [m]),
            ("multi comparison raises", lambda: expect_kw(LookupError, m, {Raising("sep"): arg}), [m, arg]),
            ("str_sprell one argument", lambda: expect(TypeError, s, arg), [s, arg]),
            ("str_sprell unexpected keyword", lambda: expect(TypeError, s, arg, arg, x=arg), [s, arg]),
        ])


@unittest.skipUnless(frametest, "frametest not built")
class FunctionTypeLeaks(LeakCase):
    def test_conventions(self):
        make = frametest.make
        noargs, one = make(0, 0, None), make(1, 0, None)
        varargs, fast = make(2, 0, None), make(3, 0, None)
        method = make(4, 4, int)
        unbound = make(2, 4, None)
        arg = object()
        self.each([
            ("noargs()", lambda: noargs(), [noargs]),
            ("noargs(x)", lambda: expect(TypeError, noargs, arg), [noargs, arg]),
            ("noargs(k=)", lambda: expect(TypeError, noargs, k=arg), [noargs, arg]),
            ("O(x)", lambda: one(arg), [one, arg]),
            ("O()", lambda: expect(TypeError, one), [one]),
            ("varargs(x, k=)", lambda: varargs(arg, k=arg), [varargs, arg]),
            ("fastcall(x, k=)", lambda: fast(arg, k=arg), [fast, arg]),
            ("fastcall(**{1: })", lambda: expect_kw(TypeError, fast, {1: arg}), [fast, arg]),
            ("method(self, x, k=)", lambda: method(arg, arg, k=arg), [method, arg]),
            ("method()", lambda: expect(TypeError, method), [method]),
            ("unbound varargs(self, x)", lambda: unbound(arg, arg, k=arg), [unbound, arg]),
            ("unbound varargs()", lambda: expect(TypeError, unbound), [unbound]),
        ])

    def test_construction_and_lazy_attributes(self):
        make = frametest.make

        def lazy():
            f = make(0, 0, None)
            f.__name__, f.__doc__, f.__dict__, f.__annotations__, f._is_coroutine
            f.__qualname__, f.__module__, f.__code__, f.__globals__, f.__closure__
            f.x = 1
            f.__annotations__ = None
            del f.__doc__
            f.__module__ = None

        def coroutine_marker():
            make(1, 8, None)._is_coroutine

        def defaults():
            f = make(1, 0, None)
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                f.__defaults__ = (1,)
                f.__kwdefaults__ = {"a": 1}
                del f.__defaults__
            f.__defaults__, f.__kwdefaults__

        def bound():
            class C:
                m = make(1, 0, None)
            C().m()
            repr(C.m)

        self.each([
            ("construct and drop", lambda: make(3, 0, None), [make]),
            ("bad flags", lambda: expect(SystemError, make, 5, 0, None), [make]),
            ("construction binding", lambda: expect(TypeError, make, 1, 2), [make]),
            ("lazy attributes", lazy, [make]),
            ("coroutine marker", coroutine_marker, [make]),
            ("defaults set and deleted", defaults, [make]),
            ("method binding, repr", bound, [make]),
        ])

    @unittest.skipUnless(read, "pelmo.list.read not built")
    def test_defaults_getter_of_published_functions(self):
        # The getter runs once per function object; the values then stay.
        r, rs = read.read, read.read_split
        self.each([
            ("__defaults__", lambda: (r.__defaults__, rs.__defaults__), [r, rs]),
            ("__kwdefaults__", lambda: (r.__kwdefaults__, rs.__kwdefaults__), [r, rs]),
        ])


if __name__ == "__main__":
    unittest.main()
