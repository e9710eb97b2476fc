"""A reference model of argument binding, and a random caller that checks
every function of the package (and read's two default converters) against it.

The model binds a call the way the functions do: count check, positional
parameters, the per-parameter keyword lookup (identity first, then `==`), the
general keyword parser (identity, then the code points of `str` names, never a
user `__eq__`), defaults. It either predicts the exception (type, message and
where the traceback ends) or yields the bound values; a plain-Python version
of each body then turns those values into the result and the observable
effects (prints, prompts, reads, calls), which are compared with the real call.

Names that the call operation never hands to binding (non-strings, the same
name twice) are sent through the test module `frametest.vcall`, which enters
a function's fast entry directly.

Run by tests/test_binding_fuzz.py and scripts/fuzz_binding.py, each in a fresh
interpreter: `load()` must import pelmo.list.write itself, with a recording
`print` in the builtins, so that write's captured print reveals its arguments.
"""
import builtins
import random
import sys

from support import entries, tb_file

LOG = []  # everything observable that happens during one call


def _intern(name):
    return sys.intern(name)


# --- the model -------------------------------------------------------------------

class Expect(Exception):
    """A binding failure the model predicts: exception type and message."""

    def __init__(self, exc_type, message, where):
        super().__init__(message)
        self.exc_type = exc_type
        self.message = message
        self.where = where  # "def": traceback ends at the def line; "call": no entry


class Sig:
    def __init__(self, name, traceback_name, file, def_line, params, minimum,
                 star_args=False, star_kwargs=False, defaults=()):
        self.name = name
        self.traceback_name = traceback_name
        self.file = file
        self.def_line = def_line
        self.params = tuple(_intern(p) for p in params)
        self.min = minimum
        self.star_args = star_args
        self.star_kwargs = star_kwargs
        self.defaults = tuple(defaults)  # the objects calls use, for params[min:]

    @property
    def entry(self):
        return (self.file, self.def_line, self.traceback_name)


class Model:
    """The binding rules. Subclassed by the self-test to inject faults."""

    def count_error(self, sig, too_many, given):
        nparams = len(sig.params)
        exact = not sig.star_args and sig.min == nparams
        expected = nparams if too_many else sig.min
        word = "exactly" if exact else ("at most" if too_many else "at least")
        return Expect(TypeError, "%s() takes %s %d positional argument%s (%d given)"
                      % (sig.name, word, expected, "" if expected == 1 else "s", given), "def")

    def lookup(self, name, kwnames, kwvalues):
        """The per-parameter lookup: identity over all names, then `==`."""
        for k, v in zip(kwnames, kwvalues):
            if k is name:
                return True, v
        for k, v in zip(kwnames, kwvalues):
            if k == name:  # the user's __eq__ and __bool__ run here, and may raise
                return True, v
        return False, None

    @staticmethod
    def same_text(key, name):
        # Length and code points of the str itself: no __len__/__eq__ of a subclass.
        return key is name or (str.__len__(key) == str.__len__(name) and str.__eq__(key, name))

    def parse_keywords(self, sig, kwnames, kwvalues, kwargs, values, npos):
        params = sig.params
        for k, v in zip(kwnames, kwvalues):
            hit = next((i for i in range(npos, len(params)) if params[i] is k), None)
            if hit is None:
                if not issubclass(type(k), str):
                    raise Expect(TypeError, "%s() keywords must be strings" % sig.name, "def")
                hit = next((i for i in range(npos, len(params)) if self.same_text(k, params[i])), None)
            if hit is not None:
                values[hit] = v
                continue
            if any(self.same_text(k, params[i]) for i in range(npos)):
                raise Expect(TypeError, "%s() got multiple values for keyword argument '%s'"
                             % (sig.name, str.__str__(k)), "def")
            if kwargs is None:
                raise Expect(TypeError, "%s() got an unexpected keyword argument '%s'"
                             % (sig.name, str.__str__(k)), "def")
            kwargs[k] = v  # the key's __hash__ (and __eq__ on a collision) run here

    def bind(self, sig, pos, kwnames, kwvalues, through_call):
        """Returns (values, args, kwargs), or raises Expect or the user's exception."""
        if through_call and any(not issubclass(type(k), str) for k in kwnames):
            raise Expect(TypeError, "keywords must be strings", "call")
        nparams = len(sig.params)
        kwargs = {} if sig.star_kwargs else None
        args = None
        if sig.star_args:
            args = tuple(pos[nparams:])
        elif len(pos) > nparams:
            raise self.count_error(sig, True, len(pos))
        npos = min(len(pos), nparams)
        missing = object()
        values = list(pos[:npos]) + [missing] * (nparams - npos)
        if not kwnames:
            if len(pos) < sig.min:
                raise self.count_error(sig, False, len(pos))
        else:
            left = len(kwnames)
            for i in range(npos, nparams):
                required = i < sig.min
                if not required and left == 0:
                    break
                found, v = self.lookup(sig.params[i], kwnames, kwvalues)
                if found:
                    values[i] = v
                    left -= 1
                elif required:
                    raise self.count_error(sig, False, i)
            if left > 0:
                self.parse_keywords(sig, kwnames, kwvalues, kwargs, values, npos)
        for i in range(sig.min, nparams):
            if values[i] is missing:
                values[i] = sig.defaults[i - sig.min]
        return values, args, kwargs


# --- probes: objects that make binding and bodies observable ---------------------------

class Token:
    """An argument value: every protocol the bodies use is logged and answered."""

    def __init__(self, label):
        self.label = label

    def __repr__(self):
        return self.label

    def __str__(self):
        LOG.append(("str", self))
        return self.label

    def __index__(self):
        LOG.append(("index", self))
        return 1

    def __len__(self):
        LOG.append(("len", self))
        return 2

    def __getitem__(self, i):
        LOG.append(("getitem", self, i))
        return (self, i)

    def __iter__(self):
        LOG.append(("iter", self))
        return iter([self])

    def count(self, v):
        LOG.append(("count", self, v))
        return ("count", self, v)

    def split(self, sep):
        LOG.append(("split", self, sep))
        return [("piece", self, sep)]

    def __call__(self, *args, **kwargs):
        LOG.append(("call", self, args, kwargs))
        return ("called", self, args, kwargs)


class Name(str):
    """A str subclass keyword name with its own `==`: equal to the texts in
    `equals`, raising, returning a truth-raising object, or NotImplemented."""
    _next = 0

    def __new__(cls, text, equals=(), mode="set"):
        self = super().__new__(cls, text)
        Name._next += 1
        self.uid = Name._next
        self.equals = frozenset(equals)
        self.mode = mode
        return self

    def __hash__(self):
        # Never equal to a str's hash, so building a dict of names asks no __eq__.
        return hash(("Name", self.uid))

    def __eq__(self, other):
        LOG.append(("eq", ("Name", self.uid), describe(other)))
        if self.mode == "raise":
            raise EqBoom("eq %d" % self.uid)
        if self.mode == "badbool":
            return BadBool(self.uid)
        if self.mode == "notimpl":
            return NotImplemented
        return str.__str__(other) in self.equals if isinstance(other, str) else False

    def __ne__(self, other):
        return not self.__eq__(other)

    def __len__(self):  # binding must not ask a name for its length
        LOG.append(("namelen", ("Name", self.uid)))
        return 99

    def __repr__(self):
        return "Name(%r, %s, %s)" % (str.__str__(self), sorted(self.equals), self.mode)


class HashBoomName(Name):
    def __hash__(self):
        raise HashBoom("hash %d" % self.uid)


class EqBoom(Exception):
    pass


class HashBoom(Exception):
    pass


class BadBool:
    def __init__(self, uid):
        self.uid = uid

    def __bool__(self):
        raise EqBoom("bool %d" % self.uid)


class Other:
    """A non-string keyword name (only through vcall) with its own `==`."""

    def __init__(self, equals):
        self.equals = equals

    def __eq__(self, other):
        LOG.append(("eq", ("Other", id(self)), describe(other)))
        return other == self.equals

    __hash__ = object.__hash__

    def __repr__(self):
        return "Other(%r)" % (self.equals,)


class Line(str):
    """What the fake standard input hands out; its `split` is logged."""

    def split(self, sep=None):
        LOG.append(("linesplit", str.__str__(self), sep))
        return [("piece", sep)]


class FakeStdin:
    def readline(self, *args):
        LOG.append(("readline", args))
        return Line("L")


class FakeStdout:
    def write(self, text):
        LOG.append(("out", text))
        return len(text)

    def flush(self):
        pass


def record_print(*args, **kwargs):
    LOG.append(("print", args, kwargs))


def describe(x):
    if isinstance(x, Name):
        return ("Name", x.uid)
    if isinstance(x, str):
        return (type(x).__name__, str.__str__(x))
    return (type(x).__name__, id(x))


SPECIAL = {}  # id -> label for the default objects, compared by identity


def canon(x):
    """A comparable picture of a result or log, identity where it matters,
    without ever calling a user __eq__."""
    if id(x) in SPECIAL and SPECIAL[id(x)][0] is x:
        return ("default", SPECIAL[id(x)][1])
    if isinstance(x, Token):
        return ("T", x.label)
    if isinstance(x, (Name, Other)):
        return describe(x)
    if isinstance(x, str):
        return (type(x).__name__, str.__str__(x))
    if isinstance(x, (tuple, list)):
        return (type(x).__name__, [canon(i) for i in x])
    if isinstance(x, dict):
        return ("dict", [(canon(k), canon(v)) for k, v in x.items()])
    if isinstance(x, int) or x is None:
        return ("v", x)
    return ("obj", type(x).__name__, id(x))


# --- the functions under test ----------------------------------------------------------

class Target:
    def __init__(self, func, sig, body):
        self.func = func
        self.sig = sig
        self.body = body  # the body in Python, on the model's bound values


_TARGETS = []


def load():
    """Imports the package with write's print captured as the recorder."""
    if _TARGETS:
        return _TARGETS
    if "pelmo.list.write" in sys.modules:
        raise RuntimeError("pelmo.list.write was imported before the recording print was in place")
    saved = builtins.print
    builtins.print = record_print
    try:
        from pelmo.list.write import write
    finally:
        builtins.print = saved
    from pelmo.list.read import read, read_split
    from pelmo.list.count import elemcount
    from pelmo.list.ambrel import ambrel
    from pelmo.list.strutils.sprell import str_sprell, multi_str_sprell

    lam, lam1 = read.__defaults__[1], read_split.__defaults__[2]
    read_file = tb_file("pelmo", "list", "read")

    def body_read(v, a, k):
        n, s, func = v
        return [func(input(s)) for i in range(n)]

    def body_read_split(v, a, k):
        s, spl, func = v
        return [func(i) for i in input(s).split(spl)]

    def body_write(v, a, k):
        ls, sep, end = v
        for i in range(len(ls) - 1):
            record_print(ls[i], end=sep)
        if len(ls) == 0:
            return None
        record_print(ls[len(ls) - 1], end=end)
        return None

    def body_elemcount(v, a, k):
        ls = v[0]
        vis = []
        for l in ls:
            if l not in vis:
                vis.append(l)
        return {v: ls.count(v) for v in vis}

    def body_multi(v, args, k):
        ls = []
        for x in args:
            ls.extend(x.split(v[0]))
        return ls

    def body_ambrel(v, args, kwargs):
        ls, func = v
        return [func(l, *args, **kwargs) for l in ls]

    targets = [
        Target(read, Sig("read", "pelmo.list.read.read", read_file, 1, ("n", "s", "func"), 1,
                         defaults=read.__defaults__), body_read),
        Target(read_split, Sig("read_split", "pelmo.list.read.read_split", read_file, 3, ("s", "spl", "func"), 0,
                               defaults=read_split.__defaults__), body_read_split),
        Target(lam, Sig("lambda", "pelmo.list.read.lambda", read_file, 1, ("s",), 1), lambda v, a, k: v[0]),
        Target(lam1, Sig("lambda1", "pelmo.list.read.lambda1", read_file, 3, ("s",), 1), lambda v, a, k: v[0]),
        Target(write, Sig("write", "pelmo.list.write.write", tb_file("pelmo", "list", "write"), 1,
                          ("ls", "sep", "end"), 1, defaults=write.__defaults__), body_write),
        Target(elemcount, Sig("elemcount", "pelmo.list.count.elemcount", tb_file("pelmo", "list", "count"), 1,
                              ("ls",), 1), body_elemcount),
        Target(str_sprell, Sig("str_sprell", "pelmo.list.strutils.sprell.str_sprell",
                               tb_file("pelmo", "list", "strutils", "sprell"), 1, ("sep", "s"), 2),
               lambda v, a, k: None),
        Target(multi_str_sprell, Sig("multi_str_sprell", "pelmo.list.strutils.sprell.multi_str_sprell",
                                     tb_file("pelmo", "list", "strutils", "sprell"), 3, ("sep",), 1,
                                     star_args=True), body_multi),
        Target(ambrel, Sig("ambrel", "pelmo.list.ambrel.ambrel", tb_file("pelmo", "list", "ambrel"), 1,
                           ("ls", "func"), 2, star_args=True, star_kwargs=True), body_ambrel),
    ]
    for t in targets:
        for i, d in enumerate(t.sig.defaults):
            SPECIAL[id(d)] = (d, "%s.%d" % (t.sig.name, i))
    _TARGETS[:] = targets
    return targets


# --- running one call both ways -----------------------------------------------------

def _on_fake_console(run, failed):
    """Runs `run` with an empty log and the fake console; returns (outcome,
    log), the outcome ("ok", result) or what `failed` makes of the exception."""
    del LOG[:]
    saved = sys.stdin, sys.stdout
    sys.stdin, sys.stdout = FakeStdin(), FakeStdout()
    try:
        try:
            outcome = ("ok", canon(run()))
        except Exception as e:
            outcome = failed(e)
    finally:
        sys.stdin, sys.stdout = saved
    return outcome, canon(LOG)


def _observe(run):
    """Runs `run` with the fake console; returns (outcome, log)."""
    def failed(e):
        if isinstance(e, Expect):
            return ("raise", e.exc_type, e.message, e.where)
        # raised by a probe: ends in that probe's frame
        return ("raise", type(e), str(e), "def+1")
    return _on_fake_console(run, failed)


def _actual(target, call):
    """Calls the real function; classifies where its traceback ends."""
    def failed(e):
        tb = entries(e)
        native = [i for i, entry in enumerate(tb) if entry[0] == target.sig.file]
        if not native:
            where = "call"
        elif len(native) == 1 and tb[native[0]] == target.sig.entry:
            tail = len(tb) - 1 - native[0]
            where = "def" if tail == 0 else "def+%d" % tail
        elif len(native) == 1 and tb[native[0]][2] == target.sig.traceback_name:
            where = "body"
        else:
            where = "unexpected traceback %r" % (tb,)
        return ("raise", type(e), str(e), where)
    return _on_fake_console(call, failed)


def check_call(target, pos, keywords, vector, model=None, empty_names=False):
    """One call: keywords is a list of (name, value). Through the call operation
    (`f(*pos, **dict)`) unless `vector`, then through frametest.vcall with the
    names as given (an empty names tuple rather than none when `empty_names`).
    Returns None, or a description of the mismatch."""
    model = model or Model()
    if vector:
        import frametest
        kwnames = tuple(k for k, _ in keywords)
        kwvalues = tuple(v for _, v in keywords)
        names = kwnames if keywords or empty_names else None
        call = lambda: frametest.vcall(target.func, tuple(pos) + kwvalues, names)
    else:
        d = {}
        for k, v in keywords:
            d[k] = v
        kwnames, kwvalues = tuple(d), tuple(d.values())
        call = lambda: target.func(*pos, **d)

    def predicted():
        values, args, kwargs = model.bind(target.sig, list(pos), kwnames, kwvalues, not vector)
        try:
            return target.body(values, args, kwargs)
        except Exception as e:  # a probe raised in the body (a raising name in ambrel's kwargs)
            raise Expect(type(e), str(e), "body")

    expected = _observe(predicted)
    actual = _actual(target, call)
    if expected == actual:
        return None
    return {"function": target.sig.name, "positional": list(pos), "keywords": [(k, v) for k, v in zip(kwnames, kwvalues)],
            "vector": vector, "expected": expected, "actual": actual}


# --- the random caller ---------------------------------------------------------------

ALL_NAMES = ("n", "s", "func", "spl", "ls", "sep", "end", "args", "kwargs", "x", "l", "v", "i", "a",
             "", "lt", "fund", "\u00e9", "s\u00e9", "\U0001f600", "ls" * 40)


def random_name(rng, sig, vector):
    params = list(sig.params) or ["s"]
    r = rng.random()
    if r < 0.40:
        return rng.choice(params)                             # interned, matched by identity
    if r < 0.50:
        return "".join(list(rng.choice(params)))             # equal text, another object
    if r < 0.65:
        return rng.choice(ALL_NAMES)
    if r < 0.72:
        return _intern("x%d" % rng.randrange(3))
    mode = rng.choice(["set", "set", "set", "raise", "badbool", "notimpl"])
    text = rng.choice(params + ["zz", "x"])
    equals = rng.sample(params + ["zz"], rng.randrange(0, len(params) + 1))
    if vector and rng.random() < 0.25:
        return rng.choice([1, None, b"ls", Other(rng.choice(params)), HashBoomName(text, equals, "set")])
    return Name(text, equals, mode)


def random_call(rng, targets, index):
    target = rng.choice(targets)
    vector = rng.random() < 0.25
    tok = lambda j: Token("t%d.%d" % (index, j))
    pos = [tok(j) for j in range(rng.choice([0, 0, 1, 1, 1, 2, 2, 3, 4, 5]))]
    keywords = []
    for j in range(rng.choice([0, 0, 1, 1, 2, 2, 3, 4])):
        name = random_name(rng, target.sig, vector)
        if not vector and rng.random() < 0.03:
            name = rng.choice([1, None, b"x"])  # refused by the call operation
        keywords.append((name, tok(10 + j)))
    if vector and keywords and rng.random() < 0.2:
        keywords.append((keywords[0][0], tok(20)))  # the same name twice
    return target, pos, keywords, vector, vector and rng.random() < 0.5


def run(calls, seed, model=None, report=None):
    """Makes `calls` random calls; returns (count, mismatches)."""
    targets = load()
    rng = random.Random(seed)
    mismatches = []
    for index in range(calls):
        target, pos, keywords, vector, empty_names = random_call(rng, targets, index)
        m = check_call(target, pos, keywords, vector, model, empty_names)
        if m:
            mismatches.append(m)
            if report:
                report(index, m)
    return calls, mismatches
