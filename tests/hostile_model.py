"""Random hostile scenarios for the bodies of elemcount, ambrel, write and
multi_str_sprell, each run twice from the same seed: once through the
function, once through a plain-Python version of its body that notes the
source line of every step. Containers and elements follow random scripts:
a protocol call may answer normally, raise, answer with a wrong type, or
change the container under the walk. The two runs must agree on the result
or the exception (type, message, line of the function's entry) and on the
sequence of protocol calls.

Used by tests/test_hostile.py (bounded) and scripts/fuzz_hostile.py (long).
"""
import io
import random
import sys
import traceback

from support import tb_file

LOG = []


class Boom(Exception):
    pass


class Stop(StopIteration):
    pass


class Script:
    """Answers per protocol: the k-th call of a protocol takes the k-th action."""

    def __init__(self, rng, protocols, hostile):
        self.actions = {}
        for p in protocols:
            self.actions[p] = [rng.choice(hostile[p]) if rng.random() < 0.25 else "ok" for _ in range(6)]
        self.calls = {}

    def next(self, protocol):
        k = self.calls.get(protocol, 0)
        self.calls[protocol] = k + 1
        acts = self.actions.get(protocol, [])
        return acts[k] if k < len(acts) else "ok"


class World:
    """One scenario's objects; `mutate` acts on the container under walk."""

    def __init__(self):
        self.container = None
        self.next_tag = 100

    def mutate(self, how):
        c = self.container
        target = c.items if isinstance(c, Seq) else c
        if not isinstance(target, list):
            return
        if how == "clear":
            target.clear()
        elif how == "append" and len(target) < 12:
            self.next_tag += 1
            target.append(Elem(self.next_tag, None, self))
        elif how == "pop" and target:
            target.pop(0)
        elif how == "replace" and target:
            self.next_tag += 1
            target[-1] = Elem(self.next_tag, None, self)


ELEM_HOSTILE = {
    "eq": ["raise", "badbool", "clear", "append", "pop", "replace", "true"],
    "hash": ["raise", "wrong"],
    "str": ["raise", "wrong", "clear", "append", "pop"],
}


class BadBool:
    def __bool__(self):
        LOG.append(("badbool",))
        raise Boom("bool")


class Elem:
    def __init__(self, tag, script, world):
        self.tag = tag
        self.script = script
        self.world = world

    def _act(self, protocol, *args):
        LOG.append((protocol, self.tag) + args)
        return self.script.next(protocol) if self.script else "ok"

    def __eq__(self, other):
        a = self._act("eq", getattr(other, "tag", type(other).__name__))
        if a == "raise":
            raise Boom("eq %d" % self.tag)
        if a == "badbool":
            return BadBool()
        if a == "true":
            return True
        if a in ("clear", "append", "pop", "replace"):
            self.world.mutate(a)
        return isinstance(other, Elem) and other.tag == self.tag

    def __hash__(self):
        a = self._act("hash")
        if a == "raise":
            raise Boom("hash %d" % self.tag)
        if a == "wrong":
            return "h"
        return self.tag

    def __str__(self):
        a = self._act("str")
        if a == "raise":
            raise Boom("str %d" % self.tag)
        if a == "wrong":
            return 5
        if a in ("clear", "append", "pop"):
            self.world.mutate(a)
        return "<%d>" % self.tag

    def split(self, sep):
        a = self._act("split", describe(sep))
        if a == "raise":
            raise Boom("split %d" % self.tag)
        if a == "wrong":
            return 5
        if a == "gen":
            def gen():
                yield "g%d" % self.tag
                raise Boom("gen %d" % self.tag)
            return gen()
        return ["s%d" % self.tag, describe(sep)]

    def __repr__(self):
        return "E%d" % self.tag


SEQ_HOSTILE = {
    "len": ["raise", "str", "negative", "huge", "zero", "plus"],
    "getitem": ["raise", "index", "key"],
    "iter": ["raise", "wrong", "stop", "stopsub", "raise_next"],
    "count": ["raise", "wrong", "clear", "stop"],
}


class Seq:
    """A container of Python class: its own length, subscription, iteration, count."""

    def __init__(self, items, script, world):
        self.items = items
        self.script = script
        self.world = world

    def __len__(self):
        LOG.append(("len",))
        a = self.script.next("len")
        if a == "raise":
            raise Boom("len")
        n = len(self.items)
        return {"str": "3", "negative": -1, "huge": 2 ** 70, "zero": 0, "plus": n + 1}.get(a, n)

    def __getitem__(self, i):
        LOG.append(("getitem", i))
        a = self.script.next("getitem")
        if a == "raise":
            raise Boom("getitem")
        if a == "key":
            raise KeyError(i)
        if a == "index":
            raise IndexError(i)
        return self.items[i]

    def __iter__(self):
        LOG.append(("iter",))
        a = self.script.next("iter")
        if a == "raise":
            raise Boom("iter")
        if a == "wrong":
            return 7
        return SeqIter(self, a)

    def count(self, v):
        LOG.append(("count", describe(v)))
        a = self.script.next("count")
        if a == "raise":
            raise Boom("count")
        if a == "stop":
            raise StopIteration("count")
        if a == "clear":
            self.items.clear()
        if a == "wrong":
            return "many"
        return sum(1 for x in self.items if x is v)


class SeqIter:
    """Walks the live item list; may end early by StopIteration (or a subclass) or raise."""

    def __init__(self, seq, mode):
        self.seq = seq
        self.mode = mode
        self.i = 0

    def __iter__(self):
        return self

    def __next__(self):
        LOG.append(("next", self.i))
        if self.i == 2 and self.mode in ("stop", "stopsub", "raise_next"):
            raise {"stop": StopIteration, "stopsub": Stop, "raise_next": Boom}[self.mode]("next")
        if self.i >= len(self.seq.items):
            raise StopIteration
        self.i += 1
        return self.seq.items[self.i - 1]


def describe(x):
    if isinstance(x, Elem):
        return ("E", x.tag)
    if isinstance(x, (str, int)) or x is None:
        return x
    if isinstance(x, (list, tuple)):
        return (type(x).__name__, [describe(i) for i in x])
    if isinstance(x, dict):
        return ("dict", [(describe(k), describe(v)) for k, v in x.items()])
    return type(x).__name__


class Func:
    """ambrel's callable: records, and may raise or change the container."""

    def __init__(self, script, world):
        self.script = script
        self.world = world

    def __call__(self, *args, **kwargs):
        LOG.append(("call", describe(args), describe(kwargs)))
        a = self.script.next("call")
        if a == "raise":
            raise Boom("call")
        if a == "stop":
            raise StopIteration("call")
        if a in ("clear", "append", "pop", "replace"):
            self.world.mutate(a)
        return ("r", describe(args[0]))


class Out:
    def write(self, text):
        LOG.append(("out", text))

    def flush(self):
        pass


class TextOut(io.StringIO):
    """A stdout whose write is the type's builtin one: the text is compared
    once, at the end."""


def scenario(seed, fname):
    """Builds the arguments of one call from `seed` (fresh objects every time)."""
    rng = random.Random(seed)
    world = World()
    n = rng.choice([0, 1, 2, 3, 4, 6])
    tags = [rng.randrange(4) for _ in range(n)]
    elems = [Elem(t, Script(rng, ("eq", "hash", "str", "split"), dict(ELEM_HOSTILE, split=["raise", "wrong", "gen"])),
                  world) for t in tags]
    kind = rng.choice(["list", "list", "tuple", "seq", "seq", "listsub"])
    if kind == "list":
        ls = elems
    elif kind == "tuple":
        ls = tuple(elems)
    elif kind == "listsub":
        class LS(list):
            pass
        ls = LS(elems)
    else:
        ls = Seq(elems, Script(rng, ("len", "getitem", "iter", "count"), SEQ_HOSTILE), world)
    world.container = ls
    func = Func(Script(rng, ("call",), {"call": ["raise", "stop", "clear", "append", "pop", "replace"]}), world)
    if rng.random() < 0.5:  # a plain Python function, which callers may enter without a tuple
        func = (lambda f: lambda *a, **k: f(*a, **k))(func)
    sep = rng.choice([" ", ",", None, 5])
    end = rng.choice(["\n", ".", None, 5])
    extra = tuple(rng.choice([1, "x", None]) for _ in range(rng.randrange(3)))
    kw = {k: rng.randrange(5) for k in rng.sample(["k", "args", "kwargs"], rng.randrange(3))}
    if fname == "elemcount":
        return (ls,), {}
    if fname == "ambrel":
        return (ls, func) + extra, kw
    if fname == "write":
        return (ls, sep, end), {}
    if fname == "multi_str_sprell":
        return (sep,) + tuple(elems), {}
    raise ValueError(fname)


class Lines:
    line = 0


def ref_elemcount(ls):
    Lines.line = 2
    vis = []
    Lines.line = 3
    it = iter(ls)
    while True:
        Lines.line = 3
        try:
            l = next(it)
        except StopIteration:
            break
        Lines.line = 4
        seen = l in vis
        if not seen:
            Lines.line = 5
            vis.append(l)
    Lines.line = 6
    d = {}
    for v in vis:
        d[v] = ls.count(v)
    return d


def ref_ambrel(ls, func, *args, **kwargs):
    Lines.line = 2
    return [func(l, *args, **kwargs) for l in ls]


def ref_write(ls, sep=" ", end="\n"):
    Lines.line = 2
    n = len(ls)
    for i in range(n - 1):
        Lines.line = 3
        print(ls[i], end=sep)
    Lines.line = 4
    if len(ls) == 0:
        return None
    Lines.line = 5
    print(ls[len(ls) - 1], end=end)
    return None


def ref_multi_str_sprell(sep, *args):
    Lines.line = 4
    ls = []
    for a in args:
        Lines.line = 6
        ls.extend(a.split(sep))
    return ls


def functions():
    from pelmo.list.ambrel import ambrel
    from pelmo.list.count import elemcount
    from pelmo.list.strutils.sprell import multi_str_sprell
    from pelmo.list.write import write
    return {
        "elemcount": (elemcount, ref_elemcount, tb_file("pelmo", "list", "count")),
        "ambrel": (ambrel, ref_ambrel, tb_file("pelmo", "list", "ambrel")),
        "write": (write, ref_write, tb_file("pelmo", "list", "write")),
        "multi_str_sprell": (multi_str_sprell, ref_multi_str_sprell, tb_file("pelmo", "list", "strutils", "sprell")),
    }


def _run(call, file=None, out=Out):
    del LOG[:]
    Lines.line = 0
    saved, sys.stdout = sys.stdout, out()
    stdout = sys.stdout
    try:
        try:
            outcome = ("ok", describe(call()))
        except Exception as e:
            if file is None:
                line = Lines.line
            else:
                mine = [f.lineno for f in traceback.extract_tb(e.__traceback__) if f.filename == file]
                line = mine if len(mine) != 1 else mine[0]
            outcome = ("raise", type(e).__name__, str(e), line)
    finally:
        sys.stdout = saved
    if isinstance(stdout, TextOut):
        LOG.append(("text", stdout.getvalue()))
    return outcome, list(LOG)


def check(seed, fname, funcs):
    func, ref, file = funcs[fname]
    out = TextOut if seed % 2 else Out
    args, kw = scenario(seed, fname)
    actual = _run(lambda: func(*args, **kw), file, out)
    args, kw = scenario(seed, fname)
    expected = _run(lambda: ref(*args, **kw), out=out)
    if actual == expected:
        return None
    return {"seed": seed, "function": fname, "expected": expected, "actual": actual}


def run(count, seed, funcs=None):
    funcs = funcs or functions()
    names = sorted(funcs)
    rng = random.Random(seed)
    mismatches = []
    for i in range(count):
        m = check(rng.randrange(1 << 30), names[i % len(names)], funcs)
        if m:
            mismatches.append(m)
    return count, mismatches
