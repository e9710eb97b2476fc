"""The operations that the allocation-failure sweeps run: every published
function (and read's default lambdas, the lazily built attributes, the
other calling conventions through frametest) on successful and failing
calls. Expected results come from plain Python restatements of what each
function computes, evaluated on the same inputs.
"""
import importlib
import io
import pickle
import sys
import warnings

from allocfail import Case, Instance, Ok, Raises, capture_stdout, feed_stdin

MODULES = ("pelmo.list.count", "pelmo.list.read", "pelmo.list.write", "pelmo.list.ambrel",
           "pelmo.list.strutils.sprell", "frametest")


def load_modules():
    """Imports what is built; returns the names that imported."""
    found = []
    for name in MODULES:
        try:
            importlib.import_module(name)
            found.append(name)
        except ImportError:
            pass
    # _is_coroutine of a coroutine-flagged function imports this: keep the
    # import itself (thousands of allocations of its own) out of the sweeps.
    import asyncio.coroutines  # noqa: F401
    # Comparisons through a class's __eq__ look the name up as an identifier
    # the interpreter creates on first use, and a failure there is swallowed
    # by the interpreter itself (the comparison falls back to identity).
    # Make that first use here, so that the sweeps see our code only.
    Eq(1) == Eq(2)
    # The same for the interpreter's own names that `input`, `print` and
    # pickling look up.
    import builtins
    import io
    saved = sys.stdin, sys.stdout
    try:
        sys.stdin, sys.stdout = io.StringIO("x\n"), io.StringIO()
        builtins.input("")
        print("", end="")
    finally:
        sys.stdin, sys.stdout = saved
    if "frametest" in found:
        pickle.loads(pickle.dumps(mod("frametest").make))
    # The 3.7 warnings machinery aborts the process when an allocation of
    # its first warning fails; issue one here.
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        warnings.warn("warm-up", RuntimeWarning)
    return found


def mod(name):
    return sys.modules[name]


def tb(*parts):
    return "\\\\".join(("src",) + parts)


def cyfunction_type():
    return type(mod("pelmo.list.count").elemcount) if "pelmo.list.count" in sys.modules else \
        sys.modules["_cython_3_0_11"].cython_function_or_method


# --- Python restatements ---------------------------------------------------------

def ref_elemcount(ls):
    vis = []
    for l in ls:
        if l not in vis:
            vis.append(l)
    return {v: ls.count(v) for v in vis}


def ref_multi(sep, *args):
    ls = []
    for a in args:
        ls.extend(a.split(sep))
    return ls


def ref_write_text(ls, sep=" ", end="\n"):
    if not ls:
        return ""
    return "".join(str(x) + sep for x in ls[:-1]) + str(ls[-1]) + end


class Eq:
    """An element whose == raises once armed (after it is in `vis`)."""

    def __init__(self, v, bad=False):
        self.v, self.bad = v, bad

    def __eq__(self, other):
        if self.bad:
            raise ValueError("no comparison")
        return isinstance(other, Eq) and other.v == self.v

    __hash__ = object.__hash__


class PyFile:
    """A file in Python: lines to hand out, a write that returns nothing."""

    def __init__(self, lines):
        self.lines = list(lines)

    def readline(self):
        return self.lines.pop(0) if self.lines else ""

    def write(self, text):
        pass

    def flush(self):
        pass


def pair(x, *args, **kwargs):
    # Not kwargs.items(): the 3.7 interpreter crashes when it cannot
    # allocate the items iterator's result tuple.
    return (x, args, tuple((k, kwargs[k]) for k in sorted(kwargs)))


def boom(x, *args, **kwargs):
    raise ValueError("boom {}".format(x))


class CountList(list):
    def count(self, v):
        raise KeyError("count refused")


# --- cases -----------------------------------------------------------------------------

ALL = ("cold", "warm", "cline-cold", "cline-warm")


def count_cases():
    c = lambda: mod("pelmo.list.count")
    f = lambda: c().elemcount
    T = tb("pelmo", "list", "count")
    E = "pelmo.list.count.elemcount"
    cases = []

    def ok(name, make, call, variants=("cold", "warm")):
        def build():
            ls = make()
            expected = ref_elemcount(make())
            fn = f()
            return Instance(lambda: call(fn, ls), Ok(expected), tracked=[ls, fn])
        cases.append(Case(name, build, variants))

    ok("elemcount(list)", lambda: [3, 1, 3, 2, 1, 3, "a", (1, 2)], lambda fn, ls: fn(ls))
    ok("elemcount(ls=tuple)", lambda: (1, 2, 1, 2.0, None), lambda fn, ls: fn(ls=ls))
    ok("elemcount(*[str], **{})", lambda: "abcab", lambda fn, ls: fn(*[ls], **{}))
    ok("elemcount(list subclass)", lambda: type("L", (list,), {})([1, 2, 1]), lambda fn, ls: fn(ls))
    # Counted by hashing, which falls back to the general algorithm when it
    # cannot allocate: an int and a float compared exactly, new 1-character
    # strings, keys of bytes.
    ok("elemcount(plain list)", lambda: [3, 1, 3, 2.0, "a", b"a", None, 2**64, 2.0**64, True, 1.5],
       lambda fn, ls: fn(ls))
    ok("elemcount(wide str)", lambda: "h\xe9llo \u4e2d\U0001f600\u4e2d", lambda fn, ls: fn(ls))
    ok("elemcount(bytes)", lambda: bytes(range(40)) + b"abcab", lambda fn, ls: fn(ls))

    def fails(name, make, call, exc, msg, line, variants=ALL):
        def build():
            ls = make()
            fn = f()
            return Instance(lambda: call(fn, ls), Raises(exc, msg, (T, line, E)), tracked=[ls, fn])
        cases.append(Case(name, build, variants))

    fails("elemcount()", lambda: [1], lambda fn, ls: fn(), TypeError,
          "elemcount() takes exactly 1 positional argument (0 given)", 1)
    fails("elemcount(ls, ls)", lambda: [1], lambda fn, ls: fn(ls, ls), TypeError,
          "elemcount() takes exactly 1 positional argument (2 given)", 1)
    fails("elemcount(ls, x=)", lambda: [1], lambda fn, ls: fn(ls, x=1), TypeError,
          "elemcount() got an unexpected keyword argument 'x'", 1)
    fails("elemcount(ls, ls=)", lambda: [1], lambda fn, ls: fn(ls, ls=ls), TypeError,
          "elemcount() got multiple values for keyword argument 'ls'", 1)
    fails("elemcount(object())", object, lambda fn, ls: fn(ls), TypeError, "'object' object is not iterable", 3)
    fails("elemcount(generator)", lambda: (x for x in [1, 2, 1]), lambda fn, ls: fn(ls), AttributeError,
          "'generator' object has no attribute 'count'", 6)
    fails("elemcount(unhashable)", lambda: [[1], [1], [2]], lambda fn, ls: fn(ls), TypeError,
          "unhashable type: 'list'", 6)
    fails("elemcount(== raises)", lambda: [Eq(1), Eq(2, bad=True)], lambda fn, ls: fn(ls), ValueError,
          "no comparison", 4)
    fails("elemcount(count raises)", lambda: CountList([1, 2]), lambda fn, ls: fn(ls), KeyError,
          "'count refused'", 6)

    def no_str_keys():
        fn = f()
        return Instance(lambda: fn(**{1: 2}), Raises(TypeError, "keywords must be strings"), tracked=[fn])
    cases.append(Case("elemcount(**{1: 2})", no_str_keys))
    return cases


def read_cases():
    r = lambda: mod("pelmo.list.read")
    T = tb("pelmo", "list", "read")
    R, RS = "pelmo.list.read.read", "pelmo.list.read.read_split"
    cases = []

    def io_case(name, data, call, expect, variants=("cold", "warm"), tracked=()):
        def build():
            feed_stdin(data)
            out = capture_stdout()
            m = r()
            objs = [m.read, m.read_split] + [t() for t in tracked]
            return Instance(lambda: call(m, *objs[2:]), expect(data), tracked=objs, output=out)
        cases.append(Case(name, build, variants))

    def lines(data, n):
        return data.split("\n")[:n]

    io_case("read(2, '> ', int)", "12\n34\n", lambda m: m.read(2, "> ", int),
            lambda d: Ok([int(x) for x in lines(d, 2)], out="> > "))
    io_case("read(3) default lambda", "a\nbb\nccc\n", lambda m: m.read(3),
            lambda d: Ok(lines(d, 3), out=""))
    io_case("read(n=2, s=, func=)", "x\ny\n", lambda m: m.read(n=2, s="? ", func=str.upper),
            lambda d: Ok([x.upper() for x in lines(d, 2)], out="? ? "))
    io_case("read(*(1,), **{'s': ''})", "only\n", lambda m: m.read(*(1,), **{"s": ""}),
            lambda d: Ok(lines(d, 1), out=""))
    io_case("read(0, s, non-callable)", "", lambda m: m.read(0, "", 5), lambda d: Ok([], out=""))
    io_case("read(3, '', float)", "1.5\n-2e3\n 7 \n", lambda m: m.read(3, "", float),
            lambda d: Ok([float(x) for x in lines(d, 3)], out=""))
    io_case("read_split('', ' ', int)", "1 -2 30 4_0\n", lambda m: m.read_split("", " ", int),
            lambda d: Ok([int(x) for x in d.split("\n")[0].split(" ")], out=""))
    io_case("read_split('', ' ', float) bad piece", "1 x\n", lambda m: m.read_split("", " ", float),
            lambda d: Raises(ValueError, "could not convert string to float: 'x'", (T, 4, RS)), ALL)
    io_case("read(2, '', int) bad line", "1\nx\n", lambda m: m.read(2, "", int),
            lambda d: Raises(ValueError, "invalid literal for int() with base 10: 'x'", (T, 2, R)), ALL)
    io_case("read(3) at EOF", "1\n2\n", lambda m: m.read(3),
            lambda d: Raises(EOFError, "EOF when reading a line", (T, 2, R)), ALL)
    io_case("read(1, '', 5)", "1\n", lambda m: m.read(1, "", 5),
            lambda d: Raises(TypeError, "'int' object is not callable", (T, 2, R)), ALL)
    io_case("read('x')", "", lambda m: m.read("x"),
            lambda d: Raises(TypeError, "'str' object cannot be interpreted as an integer", (T, 2, R)), ALL)
    io_case("read(1, 2, 3, 4)", "", lambda m: m.read(1, 2, 3, 4),
            lambda d: Raises(TypeError, "read() takes at most 3 positional arguments (4 given)", (T, 1, R)), ALL)
    io_case("read(x=1)", "", lambda m: m.read(x=1),
            lambda d: Raises(TypeError, "read() takes at least 1 positional argument (0 given)", (T, 1, R)), ALL)
    io_case("read(1, n=2)", "", lambda m: m.read(1, n=2),
            lambda d: Raises(TypeError, "read() got multiple values for keyword argument 'n'", (T, 1, R)), ALL)
    io_case("read_split()", "a b  c\n", lambda m: m.read_split(),
            lambda d: Ok(d.split("\n")[0].split(" "), out=""))
    io_case("read_split(spl=None, func=)", " a\tb  c \n", lambda m: m.read_split("> ", spl=None, func=str.upper),
            lambda d: Ok([x.upper() for x in d.split("\n")[0].split()], out="> "))
    io_case("read_split(spl='')", "a b\n", lambda m: m.read_split(spl=""),
            lambda d: Raises(ValueError, "empty separator", (T, 4, RS)), ALL)
    io_case("read_split(func=boom)", "a b\n", lambda m: m.read_split(func=boom),
            lambda d: Raises(ValueError, "boom a", (T, 4, RS)), ALL)
    io_case("read_split() at EOF", "", lambda m: m.read_split(),
            lambda d: Raises(EOFError, "EOF when reading a line", (T, 4, RS)), ALL)
    io_case("read_split(1, 2, 3, 4)", "", lambda m: m.read_split(1, 2, 3, 4),
            lambda d: Raises(TypeError, "read_split() takes at most 3 positional arguments (4 given)",
                             (T, 3, RS)), ALL)

    # The builtin input's steps done in place on files of other kinds: methods
    # in Python (called through bound methods), the builtin methods of
    # in-memory files, lines read as bytes.
    def files_case(name, make_in, make_out, call, expect):
        def build():
            sys.stdin, sys.stdout = make_in(), make_out()
            m = r()
            return Instance(lambda: call(m), expect, tracked=[m.read, m.read_split],
                            output=getattr(sys.stdout, "getvalue", None))
        cases.append(Case(name, build))

    files_case("read(2, '> ') files in Python", lambda: PyFile(["a\n", "b\n"]), lambda: PyFile([]),
               lambda m: m.read(2, "> "), Ok(["a", "b"]))
    files_case("read(2) lines as bytes", lambda: PyFile([b"a\n", b"b"]), io.StringIO, lambda m: m.read(2),
               Ok([b"a", b"b"], out=""))
    files_case("read_split('> ') in-memory files", lambda: io.StringIO("x y\n"), io.StringIO,
               lambda m: m.read_split("> "), Ok(["x", "y"], out="> "))

    # The default lambdas, fetched before the hook: the call is what is swept.
    def lam_case(name, which, call, expect, variants=ALL):
        def build():
            m = r()
            fn = getattr(m, which)
            lam = fn.__defaults__[-1]
            arg = ["payload"]
            return Instance(lambda: call(lam, arg), expect(arg), tracked=[lam, arg, fn])
        cases.append(Case(name, build, variants))

    lam_case("read lambda(x)", "read", lambda lam, a: lam(a), lambda a: Ok(pred=lambda r: r is a), ("cold", "warm"))
    lam_case("read lambda(s=x)", "read", lambda lam, a: lam(s=a), lambda a: Ok(pred=lambda r: r is a),
             ("cold", "warm"))
    lam_case("read lambda()", "read", lambda lam, a: lam(), lambda a: Raises(
        TypeError, "lambda() takes exactly 1 positional argument (0 given)", (T, 1, "pelmo.list.read.lambda")))
    lam_case("read lambda(x, s=x)", "read", lambda lam, a: lam(a, s=a), lambda a: Raises(
        TypeError, "lambda() got multiple values for keyword argument 's'", (T, 1, "pelmo.list.read.lambda")))
    lam_case("read_split lambda1(x, y)", "read_split", lambda lam, a: lam(a, a), lambda a: Raises(
        TypeError, "lambda1() takes exactly 1 positional argument (2 given)", (T, 3, "pelmo.list.read.lambda1")))
    lam_case("read_split lambda1(s=x)", "read_split", lambda lam, a: lam(s=a), lambda a: Ok(pred=lambda r: r is a),
             ("cold", "warm"))

    # The defaults getter, on its first read.
    def getter_case(name, which, attr, check):
        def build():
            fn = getattr(r(), which)
            return Instance(lambda: getattr(fn, attr), Ok(pred=lambda v: check(fn, v)), tracked=[fn])
        cases.append(Case(name, build, ("cold",)))

    cy = lambda v: type(v).__name__ == "cython_function_or_method"
    getter_case("read.__defaults__", "read", "__defaults__",
                lambda fn, v: type(v) is tuple and len(v) == 2 and v[0] == "" and cy(v[1]) and v is fn.__defaults__)
    getter_case("read.__kwdefaults__", "read", "__kwdefaults__",
                lambda fn, v: v is None and len(fn.__defaults__) == 2)
    getter_case("read_split.__defaults__", "read_split", "__defaults__",
                lambda fn, v: type(v) is tuple and v[:2] == ("", " ") and cy(v[2]))
    return cases


def write_cases():
    w = lambda: mod("pelmo.list.write")
    T = tb("pelmo", "list", "write")
    W = "pelmo.list.write.write"
    cases = []

    def case(name, make, call, expect, variants=("cold", "warm")):
        def build():
            out = capture_stdout()
            ls = make()
            fn = w().write
            return Instance(lambda: call(fn, ls), expect(make()), tracked=[ls, fn], output=out)
        cases.append(Case(name, build, variants))

    case("write(list)", lambda: [1, "two", 3.5], lambda fn, ls: fn(ls), lambda ls: Ok(None, out=ref_write_text(ls)))
    case("write(tuple, sep=, end=)", lambda: ("a", "b"), lambda fn, ls: fn(ls, sep=", ", end="!\n"),
         lambda ls: Ok(None, out=ref_write_text(ls, ", ", "!\n")))
    case("write(*[str], **{'end': ''})", lambda: "xyz", lambda fn, ls: fn(*[ls], **{"end": ""}),
         lambda ls: Ok(None, out=ref_write_text(ls, " ", "")))
    case("write(dict by index)", lambda: {0: "a", 1: "b"}, lambda fn, ls: fn(ls),
         lambda ls: Ok(None, out="a b\n"))
    case("write([])", lambda: [], lambda fn, ls: fn(ls), lambda ls: Ok(None, out=""))
    case("write(list, None, None)", lambda: [1, 2], lambda fn, ls: fn(ls, None, None),
         lambda ls: Ok(None, out="1\n2\n"))
    case("write(list, 5)", lambda: [1, 2, 3], lambda fn, ls: fn(ls, 5),
         lambda ls: Raises(TypeError, "end must be None or a string, not int", (T, 3, W)), ALL)
    case("write(generator)", lambda: (x for x in [1]), lambda fn, ls: fn(ls),
         lambda ls: Raises(TypeError, "object of type 'generator' has no len()", (T, 2, W)), ALL)
    case("write({1}) last", lambda: {1}, lambda fn, ls: fn(ls),
         lambda ls: Raises(TypeError, "'set' object is not subscriptable", (T, 5, W)), ALL)
    case("write(list, end=5)", lambda: [1], lambda fn, ls: fn(ls, end=5),
         lambda ls: Raises(TypeError, "end must be None or a string, not int", (T, 5, W)), ALL)
    case("write(ls, x=)", lambda: [1], lambda fn, ls: fn(ls, x=1),
         lambda ls: Raises(TypeError, "write() got an unexpected keyword argument 'x'", (T, 1, W)), ALL)
    return cases


def ambrel_cases():
    a = lambda: mod("pelmo.list.ambrel")
    T = tb("pelmo", "list", "ambrel")
    A = "pelmo.list.ambrel.ambrel"
    cases = []

    def case(name, make, call, expect, variants=("cold", "warm")):
        def build():
            ls = make()
            fn = a().ambrel
            return Instance(lambda: call(fn, ls), expect(make()), tracked=[ls, fn])
        cases.append(Case(name, build, variants))

    case("ambrel(list, f, 10, key=5)", lambda: [1, 2, 3], lambda fn, ls: fn(ls, pair, 10, key=5),
         lambda ls: Ok([pair(x, 10, key=5) for x in ls]))
    case("ambrel(ls=, func=)", lambda: (1, 2), lambda fn, ls: fn(ls=ls, func=pair),
         lambda ls: Ok([pair(x) for x in ls]))
    case("ambrel(*[gen, str], **{})", lambda: iter("ab"), lambda fn, ls: fn(*[ls, str.upper], **{}),
         lambda ls: Ok([x.upper() for x in ls]))
    case("ambrel(list, builtin, arg)", lambda: [7, 9], lambda fn, ls: fn(ls, divmod, 4),
         lambda ls: Ok([divmod(x, 4) for x in ls]))
    case("ambrel(list, abs)", lambda: [-1, 2], lambda fn, ls: fn(ls, abs), lambda ls: Ok([1, 2]))
    case("ambrel(list, method)", lambda: [Eq(7), 9], lambda fn, ls: fn(ls, Eq(7).__eq__),
         lambda ls: Ok([True, False]))
    case("ambrel(list, f, args=, kwargs=)", lambda: [1], lambda fn, ls: fn(ls, pair, args=3, kwargs=4),
         lambda ls: Ok([pair(1, args=3, kwargs=4)]))
    case("ambrel()", lambda: [1], lambda fn, ls: fn(),
         lambda ls: Raises(TypeError, "ambrel() takes at least 2 positional arguments (0 given)", (T, 1, A)), ALL)
    case("ambrel(ls, f, ls=)", lambda: [1], lambda fn, ls: fn(ls, pair, 7, ls=2),
         lambda ls: Raises(TypeError, "ambrel() got multiple values for keyword argument 'ls'", (T, 1, A)), ALL)
    case("ambrel(ls, f, **{1: 2})", lambda: [1], lambda fn, ls: fn(ls, pair, **{1: 2}),
         lambda ls: Raises(TypeError, "keywords must be strings"), ALL)
    case("ambrel(object(), f)", object, lambda fn, ls: fn(ls, pair),
         lambda ls: Raises(TypeError, "'object' object is not iterable", (T, 2, A)), ALL)
    case("ambrel(list, boom)", lambda: [1, 2], lambda fn, ls: fn(ls, boom, 1, k=2),
         lambda ls: Raises(ValueError, "boom 1", (T, 2, A)), ALL)
    def thrown():
        # An exception set aside while its traceback entry is made, and
        # replaced when that fails, must be released.
        e, done = ValueError("set aside"), (x for x in ())
        ls, fn = [e], a().ambrel
        list(done)  # a finished generator's throw raises e, holding nothing
        return Instance(lambda: fn(ls, done.throw), Raises(ValueError, "set aside", (T, 2, A)), tracked=[ls, fn, e])
    cases.append(Case("ambrel(list, throw)", thrown, ALL))
    case("ambrel(list, 5)", lambda: [1], lambda fn, ls: fn(ls, 5),
         lambda ls: Raises(TypeError, "'int' object is not callable", (T, 2, A)), ALL)
    # The builtin types as converters: the direct readings, the interpreter's
    # routines behind them, the initialiser of a str subclass from __str__.
    for conv, values in CONVERTED:
        case("ambrel(list, %s)" % conv.__name__, lambda values=values: list(values),
             lambda fn, ls, conv=conv: fn(ls, conv), lambda ls, conv=conv: Ok([conv(x) for x in ls]))
    case("ambrel(list, int) bad literal", lambda: ["1", "x"], lambda fn, ls: fn(ls, int),
         lambda ls: Raises(ValueError, "invalid literal for int() with base 10: 'x'", (T, 2, A)), ALL)
    case("ambrel(list, float) of object()", lambda: [object()], lambda fn, ls: fn(ls, float),
         lambda ls: Raises(TypeError, "float() argument must be a string or a number, not 'object'", (T, 2, A)),
         ALL)
    return cases


class InitStr(str):
    def __init__(self, *args, **kwargs):
        pass


class ToInitStr:
    def __str__(self):
        return InitStr("i")


CONVERTED = ((int, ("12", "-7", " 3", "1_000", "9" * 30, 2.5, b"4", True)),
             (float, ("1.5", "-2e3", "1e22", " 2", "1_0.5", "9" * 30, "1e400", 3)),
             (str, (5, 2.5, "x", ToInitStr(), ToInitStr())),
             (bool, (0, 1, "", [1])),
             (complex, ("1+2j", 1.5, 2, 1j, "3")))


def sprell_cases():
    s = lambda: mod("pelmo.list.strutils.sprell")
    T = tb("pelmo", "list", "strutils", "sprell")
    M, S = "pelmo.list.strutils.sprell.multi_str_sprell", "pelmo.list.strutils.sprell.str_sprell"
    cases = []

    def case(name, make, call, expect, variants=("cold", "warm")):
        def build():
            args = make()
            m = s()
            fns = [m.multi_str_sprell, m.str_sprell]
            return Instance(lambda: call(m, args), expect(make()), tracked=[args] + fns)
        cases.append(Case(name, build, variants))

    case("multi_str_sprell(',', ...)", lambda: [",", "a,b", "c", "d,,e"], lambda m, a: m.multi_str_sprell(*a),
         lambda a: Ok(ref_multi(*a)))
    case("multi_str_sprell(None, ...)", lambda: [None, " a  b ", "c"],
         lambda m, a: m.multi_str_sprell(a[0], a[1], a[2]), lambda a: Ok(ref_multi(*a)))
    case("multi_str_sprell(sep=)", lambda: [","], lambda m, a: m.multi_str_sprell(sep=a[0]), lambda a: Ok([]))
    case("multi_str_sprell(bytes)", lambda: [b",", b"a,b"], lambda m, a: m.multi_str_sprell(*a),
         lambda a: Ok(ref_multi(*a)))
    case("multi_str_sprell('', 'ab')", lambda: ["", "ab"], lambda m, a: m.multi_str_sprell(*a),
         lambda a: Raises(ValueError, "empty separator", (T, 6, M)), ALL)
    case("multi_str_sprell(',', 'a', 5)", lambda: [",", "a", 5], lambda m, a: m.multi_str_sprell(*a),
         lambda a: Raises(AttributeError, "'int' object has no attribute 'split'", (T, 6, M)), ALL)
    case("multi_str_sprell(maxsplit=)", lambda: [",", "a"], lambda m, a: m.multi_str_sprell(*a, maxsplit=1),
         lambda a: Raises(TypeError, "multi_str_sprell() got an unexpected keyword argument 'maxsplit'",
                          (T, 3, M)), ALL)
    case("multi_str_sprell()", lambda: [], lambda m, a: m.multi_str_sprell(),
         lambda a: Raises(TypeError, "multi_str_sprell() takes at least 1 positional argument (0 given)",
                          (T, 3, M)), ALL)
    case("str_sprell(s=, sep=)", lambda: [",", "a"], lambda m, a: m.str_sprell(s=a[1], sep=a[0]),
         lambda a: Ok(None))
    case("str_sprell(',')", lambda: [","], lambda m, a: m.str_sprell(a[0]),
         lambda a: Raises(TypeError, "str_sprell() takes exactly 2 positional arguments (1 given)", (T, 1, S)), ALL)
    case("str_sprell(',', 'a', x=)", lambda: [",", "a"], lambda m, a: m.str_sprell(*a, x=1),
         lambda a: Raises(TypeError, "str_sprell() got an unexpected keyword argument 'x'", (T, 1, S)), ALL)
    return cases


def frame_cases():
    """The function type itself: lazily created attributes on fresh
    objects, the other calling conventions, construction."""
    ft = lambda: mod("frametest")
    cases = []
    NOARGS, ONE, VARARGS, FAST, METHOD, BAD, NULL = range(7)

    def made(name, kind, flags, op, expect, variants=("cold",), cls=None):
        def build():
            fn = ft().make(kind, flags, cls)
            return Instance(lambda: op(fn), expect(fn), tracked=[fn])
        cases.append(Case(name, build, variants))

    made("fresh __name__", ONE, 0, lambda f: f.__name__, lambda f: Ok("one"))
    made("fresh __doc__", NOARGS, 0, lambda f: f.__doc__, lambda f: Ok("takes nothing"))
    made("fresh __dict__", ONE, 0, lambda f: f.__dict__, lambda f: Ok({}))
    made("fresh setattr", ONE, 0, lambda f: setattr(f, "x", 1), lambda f: Ok(None))
    made("fresh __annotations__", ONE, 0, lambda f: f.__annotations__, lambda f: Ok({}))
    made("fresh _is_coroutine", ONE, 0, lambda f: f._is_coroutine, lambda f: Ok(False))
    # Failing to import the marker makes the attribute True (by design).
    import asyncio.coroutines as ac
    made("fresh _is_coroutine (coroutine)", ONE, 8, lambda f: f._is_coroutine,
         lambda f: Ok(pred=lambda v: v is ac._is_coroutine or v is True))
    made("repr", ONE, 0, repr, lambda f: Ok(pred=lambda v: v.startswith("<cyfunction make.<locals>.one at 0x")))
    # pickle turns some failures of its own lookups into these.
    made("pickle", ONE, 0, lambda f: pickle.dumps(ft().make),
         lambda f: Ok(pred=lambda v: pickle.loads(v) is ft().make, also=(TypeError, pickle.PicklingError)), ("warm",))

    def set_defaults(f):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            f.__defaults__ = (1, 2)
        return f.__defaults__
    made("set __defaults__", ONE, 0, set_defaults, lambda f: Ok((1, 2)))

    class C:
        pass

    def bound(f):
        C.m = f
        try:
            return C().m()
        finally:
            del C.m
    made("method binding", NOARGS, 0, bound, lambda f: Raises(TypeError, "noargs() takes no arguments (1 given)"))
    made("noargs()", NOARGS, 0, lambda f: f(), lambda f: Ok(pred=lambda v: v == ("noargs", f, None)), ("cold", "warm"))
    made("noargs(x=1)", NOARGS, 0, lambda f: f(x=1),
         lambda f: Raises(TypeError, "noargs() takes no keyword arguments"), ("cold", "warm"))
    made("O(1)", ONE, 0, lambda f: f(1), lambda f: Ok(pred=lambda v: v == ("o", f, 1)), ("cold", "warm"))
    made("O()", ONE, 0, lambda f: f(),
         lambda f: Raises(TypeError, "one() takes exactly one argument (0 given)"), ("cold", "warm"))
    made("varargs(1, k=2)", VARARGS, 0, lambda f: f(1, k=2),
         lambda f: Ok(pred=lambda v: v == ("varargs", f, (1,), {"k": 2})), ("cold", "warm"))
    made("fastcall(1, k=2)", FAST, 0, lambda f: f(1, k=2),
         lambda f: Ok(pred=lambda v: v == ("fastcall", f, 1, (1, 2), ("k",))), ("cold", "warm"))
    made("method(obj, 1, k=2)", METHOD, 4, lambda f: f("obj", 1, k=2),
         lambda f: Ok(pred=lambda v: v == ("method", "obj", int, 1, (1, 2), ("k",))), ("cold", "warm"), cls=int)
    made("method() needs an argument", METHOD, 4, lambda f: f(),
         lambda f: Raises(TypeError, "method() needs an argument"), ("cold", "warm"), cls=int)
    made("unbound varargs() needs an argument", VARARGS, 4, lambda f: f(),
         lambda f: Raises(TypeError, "unbound method make.<locals>.varargs() needs an argument"), ("cold", "warm"))

    def construct(name, args, expect):
        def build():
            return Instance(lambda: ft().make(*args), expect, tracked=[ft().make])
        cases.append(Case(name, build, ("cold", "warm")))

    construct("make(O)", (ONE, 0, None), Ok(pred=lambda v: type(v).__name__ == "cython_function_or_method"))
    construct("make(bad flags)", (BAD, 0, None), Raises(SystemError, "Bad call flags for CyFunction",
                                                         (tb("frametest"), 3, "frametest.make")))
    construct("make(1, 2)", (ONE, 0), Raises(TypeError, "make() takes exactly 3 positional arguments (2 given)",
                                             (tb("frametest"), 1, "frametest.make")))

    if "pelmo.list.ambrel" in sys.modules:
        def null_result():
            fn = ft().make(NULL, 0, None)
            am = mod("pelmo.list.ambrel").ambrel
            ls = [1]
            return Instance(lambda: am(ls, fn), Raises(
                SystemError, "NULL result without error in PyObject_Call",
                (tb("pelmo", "list", "ambrel"), 2, "pelmo.list.ambrel.ambrel")), tracked=[fn, ls, am])
        cases.append(Case("ambrel(ls, null result)", null_result, ("cold", "warm")))
    return cases


GROUPS = {
    "pelmo.list.count": count_cases,
    "pelmo.list.read": read_cases,
    "pelmo.list.write": write_cases,
    "pelmo.list.ambrel": ambrel_cases,
    "pelmo.list.strutils.sprell": sprell_cases,
    "frametest": frame_cases,
}


def all_cases(loaded):
    cases = []
    for name in MODULES:
        if name in loaded:
            cases += GROUPS[name]()
    return cases


# --- smoke checks after an import -----------------------------------------------------------

def _typed(fn):
    return type(fn).__name__ == "cython_function_or_method"


def smoke(module):
    """Problems with a freshly imported module (empty: it works)."""
    name = module.__name__
    problems = []
    try:
        if getattr(module, "__test__", None) != {}:
            problems.append("__test__ is {!r}".format(getattr(module, "__test__", None)))
        if name.endswith(".count"):
            data = [3, 1, 3, 2]
            if not _typed(module.elemcount) or module.elemcount(data) != ref_elemcount(data):
                problems.append("elemcount gives a wrong result")
        elif name.endswith(".read"):
            feed_stdin("4\n5\n")
            capture_stdout()
            if module.read(2, "", int) != [4, 5]:
                problems.append("read gives a wrong result")
            if not _typed(module.read.__defaults__[1]) or module.read_split.__defaults__[:2] != ("", " "):
                problems.append("read's defaults are wrong")
        elif name.endswith(".write"):
            get = capture_stdout()
            module.write([1, 2], "-")
            if get() != "1-2\n":
                problems.append("write writes {!r}".format(get()))
        elif name.endswith(".ambrel"):
            if module.ambrel([1, 2], pair, 3, k=4) != [pair(1, 3, k=4), pair(2, 3, k=4)]:
                problems.append("ambrel gives a wrong result")
        elif name.endswith(".sprell"):
            if module.multi_str_sprell(",", "a,b", "c") != ["a", "b", "c"] or module.str_sprell(1, 2) is not None:
                problems.append("sprell gives a wrong result")
        elif name == "frametest":
            if module.make(1, 0, None)(5)[2] != 5:
                problems.append("frametest.make gives a wrong result")
        if sys.modules.get(name) is not module:
            problems.append("sys.modules holds another object")
        # A failure still makes a proper traceback entry.
        for attr in ("elemcount", "read", "write", "ambrel", "multi_str_sprell", "make"):
            if hasattr(module, attr):
                try:
                    getattr(module, attr)()
                except TypeError as e:
                    if "positional argument" not in str(e) or not e.__traceback__.tb_next:
                        problems.append("count error reads {!r}".format(str(e)))
                else:
                    problems.append("{}() did not fail".format(attr))
    except BaseException as e:
        problems.append("smoke test raised {}: {}".format(type(e).__name__, e))
    return problems
