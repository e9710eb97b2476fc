"""When the functions release what they made or were handed: the line that
`input` read, a bound `split`, the pieces, an element that an iterator made,
a callee's result, print's text, writer and result. Each case runs twice on
objects made afresh the same way, once through the function and once
through the Python statements it stands for (bench.PY). Every object made
for a case logs its destruction, and every call the function makes of one
logs the reference counts of the others still alive; the two logs must be
the same, so an object released late (or early, or never) shows as a
destruction after the wrong call or as a count one too high."""
import functools
import gc
import os
import sys
import unittest
import weakref

import support

sys.path.insert(0, os.path.join(support.SOURCE, "bench"))
from bench import PY  # noqa: E402

import frametest  # noqa: E402
from pelmo.list.ambrel import ambrel  # noqa: E402
from pelmo.list.count import elemcount  # noqa: E402
from pelmo.list.read import read, read_split  # noqa: E402
from pelmo.list.strutils.sprell import multi_str_sprell  # noqa: E402
from pelmo.list.write import write  # noqa: E402

LOG = []
LIVE = {}     # tag -> weak reference, for every object made in the run
INPUTS = set()  # the tags of the objects made before the call (its arguments)
NUMBER = {}   # prefix -> last number given, so that both runs tag alike
RUN = [0]     # objects of earlier runs (kept by a failure's traceback) log nothing


class Tracked:
    """Logs its destruction under its tag: a prefix and a running number."""

    def track(self, prefix):
        self.run = RUN[0]
        NUMBER[prefix] = NUMBER.get(prefix, 0) + 1
        self.tag = "%s%d" % (prefix, NUMBER[prefix])
        LIVE[self.tag] = weakref.ref(self)
        return self

    def __del__(self):
        if self.run == RUN[0]:
            LOG.append(("del", self.tag))


def seen(name, *args, callee=None):
    """Logs a call received, with the reference count of every object the
    run made still alive that is not the callee or one of its arguments.
    What the caller made and handed over is held by frames and cells that
    the two sides need not share, and only shows when it dies."""
    mine = {id(a) for a in args + (callee,)}
    alive = []
    for tag in sorted(set(LIVE) - INPUTS):
        o = LIVE[tag]()
        if o is not None and id(o) not in mine:
            alive.append((tag, sys.getrefcount(o)))
        del o
    LOG.append((name, tuple(getattr(a, "tag", a) for a in args), tuple(alive)))


class Obj(Tracked):
    """An element: equal by key, converted by str() into a fresh Text."""

    def __init__(self, prefix, key=0):
        self.track(prefix)
        self.key = key

    def __eq__(self, other):
        seen("eq", self, other)
        return self.key == getattr(other, "key", None)

    def __hash__(self):
        return hash(self.key)

    def __str__(self):
        seen("str", self)
        return Text("t", "x")


class Text(Tracked, str):
    """A str that `input` hands back as it is (no newline) and that splits
    with str.split."""

    def __new__(cls, prefix, text):
        return str.__new__(cls, text).track(prefix)


def pieces(text, sep):
    return [Text("p", p) for p in str.split(text, sep)]


def made_pieces(text, sep):
    for p in str.split(text, sep):
        seen("next")
        yield Text("p", p)


class ListSplit(Text):
    def split(self, sep):
        seen("split", self, sep)
        return pieces(self, sep)


class GenSplit(Text):
    """Its pieces are made one at a time by a generator: temporaries."""

    def split(self, sep):
        seen("split", self, sep)
        return made_pieces(self, sep)


class Callee(Tracked):
    """A callable object that logs its calls and answers with answer(*args)."""

    def __init__(self, prefix, answer):
        self.track(prefix)
        self.answer = answer

    def __call__(self, *args, **kwargs):
        seen(self.tag, *(args + tuple(kwargs.values())), callee=self)
        return self.answer(*args)


def made_afresh(name, prefix, answer):
    """A __getattr__ that makes the attribute `name` afresh at every lookup:
    a Callee answering with `answer`."""
    def __getattr__(self, attr):
        if attr != name:
            raise AttributeError(attr)
        return Callee(prefix, answer)
    return __getattr__


class PropertySplit(Text):
    """Its `split` is made afresh by every lookup, unbound."""
    split = property(lambda self: Callee("c", functools.partial(pieces, str(self))))


class Stdin:
    """sys.stdin for `input`: every readline is logged and makes a line of
    the kind given."""

    def __init__(self, line=Text):
        self.line = line

    def readline(self, *args):
        seen("readline")
        return self.line("l", "a b c")


class Stdout:
    """sys.stdout whose `write` is made afresh by every lookup, and whose
    every write answers with a fresh object."""

    __getattr__ = made_afresh("write", "w", lambda text: Obj("r"))


class Bag(Tracked):
    """An iterable of fresh elements, with a `count` made afresh by every lookup."""

    def __init__(self, keys):
        self.track("b")
        self.keys = keys

    def __iter__(self):
        return made_one_by_one(self.keys)

    __getattr__ = made_afresh("count", "c", lambda v: Obj("n"))


class Seq:
    """A sequence whose items are made afresh by every subscription."""

    def __init__(self, n):
        self.n = n

    def __len__(self):
        return self.n

    def __getitem__(self, i):
        if not 0 <= i < self.n:
            raise IndexError(i)
        return Obj("e", i)


def answer_fresh(*args):
    return Obj("r")


def answer_first(first, *args):
    return first


def function(*args, **kwargs):
    seen("function", *(args + tuple(kwargs.values())))
    return Obj("r")


class Host(Tracked):
    def method(self, *args, **kwargs):
        seen("method", self, *(args + tuple(kwargs.values())))
        return Obj("r")


def made_one_by_one(keys):
    """Elements made by an iterator, each after a logged call: what the
    walk still holds when it asks for the next one shows."""
    for k in keys:
        seen("next")
        yield Obj("e", k)


def elements(kind, keys):
    """The element sequences a function walks: made up front or by an iterator."""
    if kind == "iterator":
        return made_one_by_one(keys)
    made = [Obj("e", k) for k in keys]
    return tuple(made) if kind == "tuple" else made


# Each case: a name, the function's name and a maker of (args, kwargs,
# sys.stdin, sys.stdout), called afresh for every run.
def read_cases():
    for n in (3, type("Int", (int,), {})(3)):
        for answer in (answer_fresh, answer_first, None):
            def make(n=n, answer=answer):
                args = (n, "") if answer is None else (n, "", Callee("f", answer))
                return args, {}, Stdin(), None
            yield "read %s %s" % (type(n).__name__, getattr(answer, "__name__", "default")), "read", make


def read_split_cases():
    lines = {"str.split": Text, "method": ListSplit, "generator": GenSplit, "property": PropertySplit}
    for line_name, line in lines.items():
        for answer in (answer_fresh, answer_first, None):
            def make(line=line, answer=answer):
                args = ("", " ") if answer is None else ("", " ", Callee("f", answer))
                return args, {}, Stdin(line), None
            yield "read_split %s %s" % (line_name, getattr(answer, "__name__", "default")), "read_split", make


def ambrel_cases():
    callees = {
        "function": lambda: function,
        "method": lambda: Host().track("h").method,
        "object": lambda: Callee("f", answer_fresh),
        "partial": lambda: functools.partial(function),
        "builtin O": lambda: frametest.builtin(0),
        "builtin fastcall": lambda: frametest.builtin(1),
        "builtin fastcall keywords": lambda: frametest.builtin(2),
    }
    for ls in ("list", "tuple", "iterator"):
        for name, callee in callees.items():
            extras = [False] if name.startswith("builtin") else [False, True]
            for extra in extras:
                def make(ls=ls, callee=callee, extra=extra):
                    args = (elements(ls, [1, 2, 3]), callee())
                    if extra:
                        return args + (Obj("x"),), {"k": Obj("y")}, None, None
                    return args, {}, None, None
                yield "ambrel %s %s%s" % (ls, name, " extra" if extra else ""), "ambrel", make


def elemcount_cases():
    for keys in ([1, 2, 1, 3], [1, 2, 2]):
        for ls in ("list", "bag"):
            def make(keys=keys, ls=ls):
                return (Bag(keys) if ls == "bag" else elements(ls, keys),), {}, None, None
            yield "elemcount %s %s" % (ls, keys), "elemcount", make


def write_cases():
    for ls in ("list", "sequence"):
        for n in (1, 3):
            def make(ls=ls, n=n):
                return (Seq(n) if ls == "sequence" else elements(ls, range(n)), "-"), {}, None, Stdout()
            yield "write %s %d" % (ls, n), "write", make


def multi_str_sprell_cases():
    kinds = {"str.split": Text, "method": ListSplit, "generator": GenSplit, "property": PropertySplit}
    for name, kind in kinds.items():
        def make(kind=kind):
            return (" ", kind("a", "a b"), kind("a", "c d e")), {}, None, None
        yield "multi_str_sprell " + name, "multi_str_sprell", make


REFERENCE = PY
NATIVE = {"read": read, "read_split": read_split, "ambrel": ambrel, "elemcount": elemcount, "write": write,
          "multi_str_sprell": multi_str_sprell}
CASES = [c for cases in (read_cases, read_split_cases, ambrel_cases, elemcount_cases, write_cases,
                         multi_str_sprell_cases) for c in cases()]


def shape(result):
    if isinstance(result, dict):
        return [(shape(k), shape(v)) for k, v in result.items()]
    if isinstance(result, (list, tuple)):
        return [shape(r) for r in result]
    return getattr(result, "tag", result)


def run(func, make):
    """The log of one run: the calls, the destructions, the result, and the
    destructions once the caller has dropped the arguments and the result."""
    gc.collect()
    gc.disable()  # no collection in the middle: every release is the function's
    RUN[0] += 1
    del LOG[:]
    LIVE.clear()
    NUMBER.clear()
    INPUTS.clear()
    args, kwargs, stdin, stdout = make()
    saved = sys.stdin, sys.stdout
    sys.stdin, sys.stdout = stdin or sys.stdin, stdout or sys.stdout
    del stdin, stdout
    INPUTS.update(LIVE)
    try:
        result = func(*args, **kwargs)
    finally:
        sys.stdin, sys.stdout = saved
    LOG.append(("returned", shape(result)))
    del args, kwargs, result
    LOG.append(("dropped",))
    gc.enable()
    return list(LOG)


class ReleaseOrder(unittest.TestCase):
    def test_same_as_the_python_statements(self):
        for name, fname, make in CASES:
            with self.subTest(case=name):
                self.assertEqual(run(NATIVE[fname], make), run(REFERENCE[fname], make))


if __name__ == "__main__":
    unittest.main()
