"""pelmo.list.strutils.sprell: str_sprell and multi_str_sprell."""
import builtins
import gc
import inspect
import sys
import unittest
import weakref

import pelmo.list.strutils.sprell as sprell
from pelmo.list.strutils.sprell import multi_str_sprell, str_sprell
from support import CallChecks, entries, src_file, tb_file

TB = tb_file("pelmo", "list", "strutils", "sprell")
STR_NAME = "pelmo.list.strutils.sprell.str_sprell"
MULTI_NAME = "pelmo.list.strutils.sprell.multi_str_sprell"
AT_DEF_STR = (TB, 1, STR_NAME)
AT_DEF_MULTI = (TB, 3, MULTI_NAME)
AT_SPLIT = (TB, 6, MULTI_NAME)


class Recorder:
    """An object whose `split` records how it was called."""

    def __init__(self, pieces):
        self.pieces = pieces
        self.calls = []

    def split(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return self.pieces


class CallableSplit:
    """Not a descriptor: as a class attribute it is found as it is, unbound."""

    def __init__(self):
        self.calls = []

    def __call__(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return ["called"]


class HasCallableSplit:
    split = CallableSplit()


class Piece:
    """A weakly referenceable list item, to see whether a list was released."""


class MultiStrSprellResults(unittest.TestCase):
    def test_results(self):
        cases = [
            ((",", "a,b", "c"), ["a", "b", "c"]),
            ((",",), []),
            ((",", ""), [""]),
            ((",", "a,,b"), ["a", "", "b"]),
            ((",", ",", "a,"), ["", "", "a", ""]),
            ((None, " a  b ", "c"), ["a", "b", "c"]),
            ((None, "", "   "), []),
            (("ab", "xabyab"), ["x", "y", ""]),
            ((b",", b"a,b"), [b"a", b"b"]),
            ((b",", bytearray(b"a,b")), [bytearray(b"a"), bytearray(b"b")]),
            (("\u00e9", "x\u00e9y\U0001f600"), ["x", "y\U0001f600"]),
        ]
        for args, expected in cases:
            with self.subTest(args=args):
                result = multi_str_sprell(*args)
                self.assertIs(type(result), list)
                self.assertEqual(result, expected)
                # The same as splitting each argument in turn.
                self.assertEqual(result, [p for a in args[1:] for p in a.split(args[0])])

    def test_separator_by_keyword_alone(self):
        self.assertEqual(multi_str_sprell(sep=","), [])

    def test_every_call_returns_a_new_list(self):
        shared = ["x", "y"]
        r = Recorder(shared)
        first = multi_str_sprell(",", r)
        second = multi_str_sprell(",", r)
        self.assertEqual(first, ["x", "y"])
        self.assertIsNot(first, shared)
        self.assertIsNot(first, second)
        first.append("z")
        self.assertEqual(shared, ["x", "y"])
        self.assertEqual(multi_str_sprell(","), [])
        self.assertIsNot(multi_str_sprell(","), multi_str_sprell(","))

    def test_split_called_with_exactly_the_separator(self):
        sep = object()
        a, b = Recorder(["a"]), Recorder(("b", "c"))
        self.assertEqual(multi_str_sprell(sep, a, b, a), ["a", "b", "c", "a"])
        self.assertEqual(a.calls, [((sep,), {}), ((sep,), {})])
        self.assertEqual(b.calls, [((sep,), {})])
        self.assertIs(a.calls[0][0][0], sep)

    def test_split_results_of_any_iterable_kind(self):
        class Gen:
            def split(self, sep):
                return (c * 2 for c in "xy")

        class Dict:
            def split(self, sep):
                return {"k1": 1, "k2": 2}

        class Empty:
            def split(self, sep):
                return iter(())

        self.assertEqual(multi_str_sprell(",", Gen(), "a,b", Dict(), Empty()), ["xx", "yy", "a", "b", "k1", "k2"])

    def test_kinds_of_split_attribute(self):
        class Static:
            split = staticmethod(lambda sep: ["static", sep])

        class Klass:
            @classmethod
            def split(cls, sep):
                return [cls.__name__, sep]

        class ViaGetattr:
            def __getattr__(self, name):
                return lambda sep: [name, sep]

        inst = Piece()
        inst.split = lambda sep: ["instance", sep]
        holder = HasCallableSplit()
        calls_before = len(HasCallableSplit.split.calls)
        self.assertEqual(multi_str_sprell("-", Static(), Klass(), ViaGetattr(), inst, holder),
                         ["static", "-", "Klass", "-", "split", "-", "instance", "-", "called"])
        # The plain callable receives the separator only: no instance.
        self.assertEqual(HasCallableSplit.split.calls[calls_before:], [(("-",), {})])

    def test_split_is_looked_up_for_every_item(self):
        class Changing:
            def split(self, sep):
                self.split = lambda sep: ["second"]
                return ["first"]

        class Other:
            def split(self, sep):
                return ["other"]

        class Retype:
            def split(self, sep):
                target.__class__ = Other
                return ["retype"]

        c = Changing()
        self.assertEqual(multi_str_sprell(",", c, c), ["first", "second"])
        target = Changing()
        self.assertEqual(multi_str_sprell(",", Retype(), target), ["retype", "other"])


class MultiStrSprellFailures(CallChecks, unittest.TestCase):
    def test_failures_at_the_split_line(self):
        class NotCallable:
            split = 5

        class ReturnsInt:
            def split(self, sep):
                return 7

        cases = [
            (ValueError, "empty separator", ("", "ab")),
            (AttributeError, "'int' object has no attribute 'split'", (",", "a", 5)),
            (AttributeError, "'NoneType' object has no attribute 'split'", (",", None)),
            (TypeError, "must be str or None, not int", (1, "a")),
            (TypeError, "a bytes-like object is required, not 'str'", (",", b"a,b")),
            (TypeError, "'int' object is not callable", (",", NotCallable())),
            (TypeError, "'int' object is not iterable", (",", "a,b", ReturnsInt())),
        ]
        for exc_type, message, args in cases:
            with self.subTest(args=args):
                self.assertFails(exc_type, message, AT_SPLIT, multi_str_sprell, *args)

    def test_python_split_failure_follows_the_native_entry(self):
        class Raises:
            def split(self, sep):
                raise KeyError(sep)

        class BrokenGen:
            def split(self, sep):
                yield "one"
                raise LookupError("midway")

        for obj, exc_type in ((Raises(), KeyError), (BrokenGen(), LookupError)):
            with self.subTest(obj=type(obj).__name__):
                tb = entries(self.assertFails(exc_type, None, None, multi_str_sprell, ",", obj))
                self.assertEqual(tb[-2], AT_SPLIT)
                self.assertEqual(tb[-1][2], "split")

    def test_partial_list_is_released_on_failure(self):
        held = []

        class First:
            def split(self, sep):
                p = Piece()
                held.append(weakref.ref(p))
                return [p, "x"]

        def attempt(*args):
            try:
                multi_str_sprell(",", *args)
            except (AttributeError, TypeError):
                return
            self.fail("no exception")

        # A later argument without `split`; one whose `split` gives a non-iterable.
        attempt(First(), "a,b", 5)
        attempt(First(), Piece())
        attempt(First(), HasCallableSplit(), First(), 3.0)
        gc.collect()
        self.assertEqual(len(held), 4)
        for ref in held:
            self.assertIsNone(ref())

    def test_no_references_leak(self):
        sep, arg, bad = ",", "a,b,c", 17
        empty = ""
        before = [sys.getrefcount(o) for o in (sep, arg, bad, empty)]
        for _ in range(200):
            multi_str_sprell(sep, arg, arg)
            multi_str_sprell(sep=sep)
            try:
                multi_str_sprell(sep, arg, bad)
            except AttributeError:
                pass
            try:
                multi_str_sprell(empty, arg)
            except ValueError:
                pass
        self.assertEqual([sys.getrefcount(o) for o in (sep, arg, bad, empty)], before)

    def test_recursion_through_split(self):
        class Deep:
            def split(self, sep):
                return multi_str_sprell(sep, self)

        with self.assertRaises(RecursionError):
            multi_str_sprell(",", Deep())
        # The interpreter is fine afterwards.
        self.assertEqual(multi_str_sprell(",", "a,b"), ["a", "b"])


class EqKey(str):
    """A keyword name that claims equality with one parameter name."""
    target = None

    def __eq__(self, other):
        return other == self.target or str.__eq__(self, other)

    __hash__ = str.__hash__


class RaisingKey(str):
    def __eq__(self, other):
        raise ZeroDivisionError("compare")

    __hash__ = str.__hash__


RAISING_EQ_LINE = RaisingKey.__eq__.__code__.co_firstlineno + 1


class Binding(CallChecks, unittest.TestCase):
    def count(self, name, how, n, given):
        return "%s() takes %s %d positional argument%s (%d given)" % (name, how, n, "" if n == 1 else "s", given)

    def test_str_sprell_failures(self):
        exactly = lambda given: self.count("str_sprell", "exactly", 2, given)
        multiple = "str_sprell() got multiple values for keyword argument '%s'"
        unexpected = "str_sprell() got an unexpected keyword argument '%s'"
        cases = [
            ((), {}, exactly(0)),
            ((",",), {}, exactly(1)),
            ((",", "a", "b"), {}, exactly(3)),
            ((",", "a", "b"), {"x": 1, "sep": 2}, exactly(3)),
            ((), {"s": "a"}, exactly(0)),
            ((), {"x": 1}, exactly(0)),
            ((), {"sep": ","}, exactly(1)),
            ((",",), {"sep": ","}, exactly(1)),
            ((",",), {"x": 1}, exactly(1)),
            ((",", "a"), {"sep": ","}, multiple % "sep"),
            ((",", "a"), {"s": "b"}, multiple % "s"),
            ((",", "a"), {"x": 1}, unexpected % "x"),
            ((), {"sep": ",", "s": "a", "x": 1}, unexpected % "x"),
            ((",",), {"s": "a", "maxsplit": 1}, unexpected % "maxsplit"),
            # The first offending keyword in call order decides.
            ((",", "a"), {"y": 1, "sep": 2}, unexpected % "y"),
            ((",", "a"), {"sep": 2, "y": 1}, multiple % "sep"),
        ]
        for args, kwargs, message in cases:
            with self.subTest(args=args, kwargs=kwargs):
                self.assertFails(TypeError, message, AT_DEF_STR, str_sprell, *args, **kwargs)

    def test_multi_str_sprell_failures(self):
        at_least = self.count("multi_str_sprell", "at least", 1, 0)
        multiple = "multi_str_sprell() got multiple values for keyword argument 'sep'"
        unexpected = "multi_str_sprell() got an unexpected keyword argument '%s'"
        cases = [
            ((), {}, at_least),
            ((), {"x": 1}, at_least),
            ((), {"s": ",", "args": ()}, at_least),
            (("a,b",), {"sep": ","}, multiple),
            ((",", "a"), {"sep": ","}, multiple),
            ((",", "a"), {"maxsplit": 1}, unexpected % "maxsplit"),
            ((",",), {"args": ("a",)}, unexpected % "args"),
            ((), {"sep": ",", "x": 1}, unexpected % "x"),
            ((), {"x": 1, "sep": ","}, unexpected % "x"),
            ((",",), {"x": 1, "sep": ","}, unexpected % "x"),
            ((",",), {"sep": ",", "x": 1}, multiple),
        ]
        for args, kwargs, message in cases:
            with self.subTest(args=args, kwargs=kwargs):
                self.assertFails(TypeError, message, AT_DEF_MULTI, multi_str_sprell, *args, **kwargs)

    def test_successful_bindings(self):
        for args, kwargs in (((",", "a,b"), {}), ((None, None), {}), ((), {"s": "a", "sep": ","}),
                             ((), {"sep": ",", "s": "a"}), ((",",), {"s": "a"})):
            with self.subTest(args=args, kwargs=kwargs):
                self.assertIsNone(str_sprell(*args, **kwargs))

    def test_body_does_not_run_after_a_binding_failure(self):
        r = Recorder(["x"])
        with self.assertRaises(TypeError):
            multi_str_sprell(",", r, x=1)
        self.assertEqual(r.calls, [])

    def test_keyword_names_compared_by_their_own_eq(self):
        sep_key = type("SepKey", (EqKey,), {"target": "sep"})("zz")
        s_key = type("SKey", (EqKey,), {"target": "s"})("q")
        self.assertIsNone(str_sprell(**{sep_key: ",", s_key: "a"}))
        self.assertEqual(multi_str_sprell(**{sep_key: ","}), [])
        # A comparison that raises is passed on, reported at the def line
        # (called through lambdas: the helper's own parameters would compare
        # the keys first).
        for entry, call in ((AT_DEF_STR, lambda: str_sprell(**{RaisingKey("sep"): 1})),
                            (AT_DEF_STR, lambda: str_sprell(",", **{RaisingKey("s"): 1})),
                            (AT_DEF_MULTI, lambda: multi_str_sprell(**{RaisingKey("x"): 1}))):
            exc = self.assertFails(ZeroDivisionError, "compare", None, call)
            self.assertEqual(entries(exc)[-2:], [entry, (__file__, RAISING_EQ_LINE, "__eq__")])

    def test_non_string_keyword_is_refused_before_binding(self):
        for func in (str_sprell, multi_str_sprell):
            with self.subTest(func=func.__name__):
                with self.assertRaises(TypeError) as cm:
                    func(",", "a", **{1: 2})
                self.assertIn("keywords must be strings", str(cm.exception))


class Spy:
    """Records every protocol used on it; each one then fails."""

    def __init__(self, log):
        object.__setattr__(self, "log", log)

    def _used(self, what):
        object.__getattribute__(self, "log").append(what)
        raise AssertionError(what)

    def __getattribute__(self, name):
        object.__getattribute__(self, "log").append(("getattr", name))
        raise AttributeError(name)

    __eq__ = lambda self, other: Spy._used(self, "eq")
    __hash__ = lambda self: Spy._used(self, "hash")
    __bool__ = lambda self: Spy._used(self, "bool")
    __len__ = lambda self: Spy._used(self, "len")
    __iter__ = lambda self: Spy._used(self, "iter")
    __str__ = lambda self: Spy._used(self, "str")
    __call__ = lambda self, *a, **k: Spy._used(self, "call")


class StrSprellBody(unittest.TestCase):
    def test_arguments_are_not_touched(self):
        log = []
        sep, s = Spy(log), Spy(log)
        before = (sys.getrefcount(sep), sys.getrefcount(s))
        for args, kwargs in (((sep, s), {}), ((), {"s": s, "sep": sep}), ((sep,), {"s": s})):
            self.assertIsNone(str_sprell(*args, **kwargs))
        del args, kwargs
        self.assertEqual(log, [])
        self.assertEqual((sys.getrefcount(sep), sys.getrefcount(s)), before)

    def test_separator_alone_is_not_touched_by_multi_str_sprell(self):
        log = []
        self.assertEqual(multi_str_sprell(Spy(log)), [])
        r = Recorder([])
        sep = Spy(log)
        self.assertEqual(multi_str_sprell(sep, r), [])
        self.assertEqual(log, [])
        self.assertIs(r.calls[0][0][0], sep)


class ModuleAttributes(unittest.TestCase):
    def test_namespace(self):
        self.assertEqual(sprell.__name__, "pelmo.list.strutils.sprell")
        self.assertIs(type(sprell.__test__), dict)
        self.assertEqual(sprell.__test__, {})
        self.assertIs(sprell.__builtins__, builtins)
        self.assertIsNone(sprell.__doc__)
        public = sorted(k for k in vars(sprell) if not k.startswith("__"))
        self.assertEqual(public, ["multi_str_sprell", "str_sprell"])

    def test_functions(self):
        for func, name, sig in ((str_sprell, "str_sprell", "(sep, s)"),
                                (multi_str_sprell, "multi_str_sprell", "(sep, *args)")):
            with self.subTest(name=name):
                self.assertEqual(type(func).__name__, "cython_function_or_method")
                self.assertEqual(func.__name__, name)
                self.assertEqual(func.__qualname__, name)
                self.assertEqual(func.__module__, "pelmo.list.strutils.sprell")
                self.assertIs(func.__globals__, vars(sprell))
                self.assertIsNone(func.__doc__)
                self.assertIsNone(func.__defaults__)
                self.assertIsNone(func.__kwdefaults__)
                self.assertIsNone(func.__closure__)
                self.assertEqual(str(inspect.signature(func)), sig)

    def test_code_objects(self):
        for func, argcount, varnames, flags, line in (
                (str_sprell, 2, ("sep", "s"), 3, 1),
                (multi_str_sprell, 1, ("sep", "args", "ls", "a"), 7, 3)):
            code = func.__code__
            with self.subTest(name=code.co_name):
                self.assertEqual(code.co_name, func.__name__)
                self.assertEqual(code.co_argcount, argcount)
                self.assertEqual(code.co_kwonlyargcount, 0)
                self.assertEqual(code.co_nlocals, len(varnames))
                self.assertEqual(code.co_varnames, varnames)
                self.assertEqual(code.co_flags & 0xF, flags)
                self.assertEqual(code.co_stacksize, 0)
                self.assertEqual(code.co_code, b"")
                self.assertEqual(code.co_consts, ())
                self.assertEqual(code.co_names, ())
                self.assertEqual(code.co_filename, src_file("pelmo", "list", "strutils", "sprell"))
                self.assertEqual(code.co_firstlineno, line)
                # Names are the module's interned identifiers.
                for n in varnames:
                    self.assertIs(n, sys.intern(n))


if __name__ == "__main__":
    unittest.main()
