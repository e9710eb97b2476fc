"""The builtin types int, float, str, bool and complex as the converter of
ambrel, read and read_split are not called: what their call computes is
computed in place, and int and float read the simplest decimal strings
themselves. Every converter over values of every kind must do exactly what
the call does: compared against the same call through functools.partial of
the type (which the direct path does not take) and against the type called
from Python, in results and their types, exceptions with their messages and
traceback entries, warnings (also as errors, and bytes warnings under -b),
the calls made on the values, and the depth at which the recursion limit is
met."""
import decimal
import fractions
import functools
import random
import sys
import unittest
import warnings

import frametest
import support
from pelmo.list.ambrel import ambrel
from pelmo.list.read import read, read_split

CONVERTERS = (int, float, str, bool, complex)
NATIVE = {"ambrel": "pelmo.list.ambrel.ambrel", "read": "pelmo.list.read.read",
          "read_split": "pelmo.list.read.read_split"}

# --- values --------------------------------------------------------------------------

LOG = []  # what the values' methods were called for, in order


def logged(name, result):
    """A method that logs its call and returns `result` (raises one like it
    when it is an exception)."""
    def method(self, *args):
        LOG.append((type(self).__name__, name) + args)
        if isinstance(result, BaseException):
            raise type(result)(*result.args)
        return result
    method.__name__ = name
    return method


class InitStr(str):
    """A str subclass whose initialiser shows what it is given."""
    def __init__(self, *args, **kwargs):
        LOG.append(("InitStr.__init__", args, sorted(kwargs.items())))


class BadInitStr(str):
    def __init__(self, *args):
        raise KeyError("init")


class NonNoneInitStr(str):
    def __init__(self, *args):
        return 1


class IntSub(int):
    pass


class FloatSub(float):
    pass


class ComplexSub(complex):
    pass


class StrSub(str):
    pass


# What each conversion method returns: a value of its kind, a strict
# subclass of it (a warning, or kept), a value of another kind (an error),
# an exception.
RETURNS = {
    "__int__": (7, True, IntSub(8), 7.5, "7", ValueError("int")),
    "__index__": (6, True, 6.5, ValueError("index")),
    "__trunc__": (5, IntSub(5), fractions.Fraction(9, 2), 5.5, "5", ValueError("trunc")),
    "__float__": (2.5, FloatSub(3.5), 2, "2.5", ValueError("float")),
    "__complex__": (1j, ComplexSub(2j), 1.5, "1j", ValueError("complex")),
    "__str__": ("s", StrSub("u"), 5, ValueError("str")) + tuple(str.__new__(c, c.__name__)
                                                              for c in (InitStr, BadInitStr, NonNoneInitStr)),
    "__bool__": (True, False, 1, ValueError("bool")),
    "__len__": (0, 3, -1, True, 2.0, ValueError("len")),
}
BASES = {object: (), str: ("12",), int: (12,), float: (1.5,), complex: (2j,), bytes: (b"3",)}


def method_values():
    """An instance of every base with each conversion method returning each
    of its results."""
    out = []
    for base, args in BASES.items():
        for name, results in RETURNS.items():
            for i, result in enumerate(results):
                cls = type("%s_%s_%d" % (base.__name__, name.strip("_"), i), (base,), {name: logged(name, result)})
                out.append(cls(*args))
    return out


def number_values():
    """Numbers of every kind, bytes-likes, other objects, and numbers whose
    conversions return null without an exception (0) or a result with an
    exception set (1), which the interpreter's checks turn into errors."""
    return [0, 1, -5, 2 ** 30 - 1, -2 ** 30, 2 ** 60 - 1, -2 ** 60, 2 ** 70, -2 ** 70, 10 ** 400, True, False, 0.0, -0.0, 1.5, -2.25, 1e300, float("inf"),
            float("-inf"), float("nan"), 1j, complex(1.5, -0.0), complex("nan+infj"), fractions.Fraction(7, 2),
            fractions.Fraction(-1, 3), decimal.Decimal("2.5"), decimal.Decimal("-0"), decimal.Decimal("nan"),
            decimal.Decimal("1e400"), IntSub(3), FloatSub(-0.5), ComplexSub(1 + 2j), StrSub("7"), StrSub("x"),
            b"12", b"1.5", b" 7 ", b"1_0", b"x", b"1\x002", bytearray(b"42"), bytearray(b"-1e3"), memoryview(b"9"),
            None, [], [1], (), {}, object(), "", "x" * 300] + [frametest.builtin(3)(mode) for mode in MODES] + \
        [sign * (10 ** k + d) for k in range(20) for d in (-1, 0) for sign in (1, -1)]


# A debug interpreter aborts where a native function returns null without
# an exception or a result with one: only the number that behaves, there.
MODES = (5,) if hasattr(sys, "gettotalrefcount") else (0, 1, 5)


# --- decimal strings --------------------------------------------------------------------

# Characters the direct readings refuse, each of its kind: whitespace ASCII
# and not, the underscore, digits that are not ASCII, letters the readings
# look for elsewhere, signs and points where they do not belong, NUL.
REFUSED = [" ", "\t", "\n", "\r", "\x0b", "\x0c", "\x1c", "\x85", "\xa0", "\u2003", "\u3000", "_", "\u0663",
           "\uff17", "\U0001d7d9", "\xb2", "a", "e", "E", "j", "x", "+", "-", ".", ",", "\x00", "\xe9"]


def int_literals(rnd):
    """Signed digit strings of every length around the direct reading's
    limit, leading zeros, powers of two around a long long's limits."""
    out = []
    for sign in ("", "+", "-"):
        for n in range(0, 22):
            out += [sign + "9" * n, sign + "1" + "0" * n, sign + "0" * n, sign + "0" * n + "7",
                    sign + "".join(rnd.choice("0123456789") for _ in range(n))]
        out += [sign + str(v) for v in (2 ** 31, 2 ** 53, 2 ** 62, 2 ** 63 - 1, 2 ** 63, 2 ** 64 - 1, 2 ** 64)]
    return out


def float_literals(rnd):
    """Decimal strings of every form around the direct reading's limits:
    mantissas near 2**53 (below, at, above) and of up to 19 digits, powers
    of ten near +-22, points everywhere, exponents with signs, capitals and
    leading zeros, signed zeros."""
    mantissas = ["0", "00", "1", "5", "000123", "9" * 15, "9" * 16, "1" + "0" * 16, str(2 ** 53 - 1), str(2 ** 53),
                 str(2 ** 53 + 1), str(2 ** 53 + 3), str(2 ** 54 - 1), "9" * 19, str(2 ** 64 + 5)]
    mantissas += [str(rnd.randrange(10 ** 15, 2 ** 54)) for _ in range(30)]
    mantissas += [str(rnd.randrange(1, 10 ** rnd.randint(1, 9))) for _ in range(30)]
    exponents = ["", "e0", "E+0", "e-0", "e5", "e-5", "e005", "e21", "e22", "e23", "e-21", "e-22", "e-23", "e+22",
                 "e308", "e-330", "e99999999999999", "e"]
    out = []
    for m in mantissas:
        for point in (None, 0, 1, len(m) // 2, len(m)):
            digits = m if point is None else m[:point] + "." + m[point:]
            for e in rnd.sample(exponents, 6) + ["", "e22", "e-22"]:
                out.append(rnd.choice(("", "-", "+")) + digits + e)
    out += ["1e22", "1e23", "-0", "-0.0", "+0.", "-.0", "0e-400", "-0e400", "1.", ".5", ".", "e5", "+", "-",
            "1e", "1e+", "1e-", "1.5e2.5", "1.2.3", "--1", "+-1", "0x10", "1j", "inf", "-Infinity", "nan", "NaN",
            "1" * 64 + "e-60", "0." + "0" * 62 + "1", "1e" + "0" * 80 + "1"]
    return out


def refused(rnd, bases):
    """Each refused character before, inside and after strings the direct
    readings take."""
    return [b[:i] + c + b[i:] for b in bases for c in REFUSED for i in sorted({0, 1, len(b) // 2, len(b)})]


def literals():
    rnd = random.Random(53)
    return int_literals(rnd) + float_literals(rnd) + refused(rnd, ["12", "-3.5", "1e5", "7"])


# --- observing a conversion ------------------------------------------------------------


def below(exc, name):
    """The traceback entries after the last one named `name`."""
    tb = support.entries(exc)
    names = [e[2] for e in tb]
    return tb[len(names) - names[::-1].index(name):] if name in names else ("no entry", name, tb)


def observe(thunk, native, where=True):
    """Everything thunk() does that a caller sees: the result (each item's
    type and repr, and whether it is the very object converted), or the
    exception (type, message, cause, the traceback entries below `native`),
    the warnings (with where they point when `where`) and the calls made on
    the values. Run under both warning filters: shown and raised."""
    seen = []
    for action in ("always", "error"):
        del LOG[:]
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter(action)
            try:
                got = ("ok", [(type(r), repr(r), r is x) for r, x in thunk()])
            except Exception as exc:  # the comparison is the point
                got = (type(exc), str(exc), type(exc.__cause__), below(exc, native))
        seen.append((got, [(w.category, str(w.message)) + ((w.filename, w.lineno) if where else ())
                           for w in caught], list(LOG)))
    return seen


def paired(results, values):
    return list(zip(results, values))


def compare(test, values, conv):
    """ambrel(values, conv) against ambrel through partial(conv), and
    against conv called from Python, value by value."""
    partial = functools.partial(conv)
    for x in values:
        call = lambda f: paired(ambrel([x], f), [x])
        direct = observe(lambda: call(conv), NATIVE["ambrel"])
        test.assertEqual(direct, observe(lambda: call(partial), NATIVE["ambrel"]), (conv, x))
        python = observe(lambda: paired([conv(v) for v in [x]], [x]), "<listcomp>", where=False)
        test.assertEqual([(g, [w[:2] for w in ws], log) for g, ws, log in direct], python, (conv, x))


def compare_reading(test, strings, conv):
    """read(n, '', conv) and read_split('', ' ', conv) over lines of
    `strings` against the same through partial(conv); read also against
    conv of each line read from Python, and in what it leaves unread."""
    partial = functools.partial(conv)

    def reading(f, lines, left):
        def run():
            with support.console([s + "\n" for s in lines]) as (log, stdin, out):
                try:
                    if f is None:
                        return paired([conv(input("")) for _ in lines], lines)
                    return paired(read(len(lines), "", f), lines)
                finally:
                    left.append(stdin.read())
        return run

    def splitting(f, lines):
        with support.console([" ".join(lines) + "\n"]):
            return paired(read_split("", " ", f), lines)

    for i in range(0, len(strings), 7):
        lines = [s for s in strings[i:i + 7] if "\n" not in s and "\r" not in s]
        left = [], [], []
        got = observe(reading(conv, lines, left[0]), NATIVE["read"])
        test.assertEqual(got, observe(reading(partial, lines, left[1]), NATIVE["read"]), (conv, lines))
        test.assertEqual([(g, [w[:2] for w in ws], log) for g, ws, log in got],
                         observe(reading(None, lines, left[2]), "<listcomp>", where=False), (conv, lines))
        test.assertEqual(left[0], left[1])
        test.assertEqual(left[0], left[2])
        lines = [s for s in lines if " " not in s]
        test.assertEqual(observe(lambda: splitting(conv, lines), NATIVE["read_split"]),
                         observe(lambda: splitting(partial, lines), NATIVE["read_split"]), (conv, lines))


class Values(unittest.TestCase):
    def test_numbers_bytes_and_objects(self):
        values = number_values() + method_values()
        for conv in CONVERTERS:
            with self.subTest(conv=conv):
                compare(self, values, conv)

    def test_decimal_strings(self):
        strings = literals()
        for conv in CONVERTERS:
            with self.subTest(conv=conv):
                compare(self, strings if conv in (int, float) else strings[::9], conv)

    def test_read_and_read_split(self):
        strings = literals()[::3]
        for conv in CONVERTERS:
            with self.subTest(conv=conv):
                compare_reading(self, strings if conv in (int, float) else strings[::5], conv)

    def test_split_at_any_separator(self):
        # Pieces read where they lie in the line, or made where the reading
        # leaves them: every separator, empty pieces, the separator absent,
        # lines and separators that are not ASCII, all against the pieces
        # that split makes.
        lines = ["1,2,,3", "1, 2, 3", "12", "", ",", "1,2,", "7\xe98", "1.5ab-2e3ab", "-0, +4 ,1_0", "9" * 30 + ",1"]
        for conv in (int, float):
            for sep in (",", ", ", "ab", "\xe9", "", "x" * 40):
                for line in lines:
                    def split(f):
                        with support.console([line + "\n"]):
                            return paired(read_split("", sep, f), line.split(sep) if sep else [])
                    with self.subTest(conv=conv, sep=sep, line=line):
                        self.assertEqual(observe(lambda: split(conv), NATIVE["read_split"]),
                                         observe(lambda: split(functools.partial(conv)), NATIVE["read_split"]))

    def test_many_values_in_one_call(self):
        # One call over many values of all kinds, exact lists, tuples and
        # iterators, ending in a failure: the callee is prepared once and
        # stays right from value to value.
        values = literals()
        for conv in (int, float):
            good = [s for s in values if observe(lambda: [(conv(s), s)], "", False)[0][0][0] == "ok"]
            self.assertGreater(len(good), 400)
            for xs in (good, good + ["?"], tuple(good) + ("?",)):
                self.assertEqual(observe(lambda: paired(ambrel(iter(xs), conv), xs), NATIVE["ambrel"], False),
                                 observe(lambda: paired([conv(x) for x in xs], xs), "<listcomp>", False))
                self.assertEqual(observe(lambda: paired(ambrel(xs, conv), xs), NATIVE["ambrel"], False),
                                 observe(lambda: paired([conv(x) for x in xs], xs), "<listcomp>", False))

    def test_other_calls_of_the_types_take_the_generic_path(self):
        for args, kwargs in (((16,), {}), ((), {"base": 2}), ((), {"x": 1}), ((), {})):
            for conv in CONVERTERS:
                with self.subTest(conv=conv, args=args, kwargs=kwargs):
                    got = observe(lambda: paired(ambrel(["11"], conv, *args, **kwargs), ["11"]), NATIVE["ambrel"],
                                  False)
                    want = observe(lambda: paired([conv(v, *args, **kwargs) for v in ["11"]], ["11"]),
                                   "<listcomp>", False)
                    self.assertEqual(got, want)


class RecursionLimit(unittest.TestCase):
    def test_met_at_the_same_depth(self):
        # Against a subclass of the type, whose call runs the same steps at
        # the same depth; bool has none: the direct path one level deeper
        # (inside a partial of ambrel) against the call of partial(bool),
        # which adds a level of its own.
        support.assertSameRecursionFailures(self, """
import functools, io, sys
from pelmo.list.ambrel import ambrel
from pelmo.list.read import read_split
from test_converters import logged
sys.stdin = io.StringIO("12 3\\n" * 100000)
def with_method(base, name, value, *args):
    return type("C", (base,), {name: logged(name, value)})(*args)
subs = {int: type("I", (int,), {}), float: type("F", (float,), {}), str: type("S", (str,), {}),
        complex: type("C", (complex,), {})}
values = {int: ["12", " 1_2", with_method(object, "__int__", 4), with_method(object, "__trunc__", 4)],
          float: ["1.5", "1" * 30, with_method(object, "__float__", 1.5)],
          str: [5, with_method(object, "__str__", "s")],
          complex: ["1+2j", with_method(object, "__complex__", 1j), with_method(object, "__float__", 1.5)],
          bool: [with_method(object, "__bool__", True), with_method(object, "__len__", 1)]}
pairs = []
for conv, xs in values.items():
    for x in xs:
        if conv is bool:
            pairs.append((lambda x=x: functools.partial(ambrel, [x], bool)(),
                          lambda x=x: ambrel([x], functools.partial(bool))))
        else:
            pairs.append((lambda x=x, c=conv: ambrel([x], c), lambda x=x, c=conv: ambrel([x], subs[c])))
    if conv is not bool:
        pairs.append((lambda c=conv: read_split("", " ", c), lambda c=conv: read_split("", " ", subs[c])))
""")


class BytesWarnings(unittest.TestCase):
    def test_under_b_and_bb(self):
        for flag in ("-b", "-bb"):
            proc = support.run_python("""
                import unittest
                import test_converters as t
                case = unittest.TestCase()
                for conv in t.CONVERTERS:
                    t.compare(case, [b"12", bytearray(b"1.5"), b"x", memoryview(b"3"), t.StrSub("1")], conv)
                print(t.observe(lambda: t.ambrel([b"1", bytearray(b"2")], str), "")[0][1])
                """, args=[flag])
            self.assertEqual(proc.returncode, 0, proc.stderr)
            # The comparisons saw the warnings: the interpreter gives them.
            self.assertEqual(proc.stdout.count("BytesWarning"), 2, proc.stdout)


if __name__ == "__main__":
    unittest.main()
