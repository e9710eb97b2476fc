"""C-line mode: every failure point of argument binding, of every function
(default lambdas included), every step of a module's initialisation, and
the failure points of the bodies that call out (a prepared callee's steps,
print's, a walk's) have a C line of their own within their module.

Binding points are reached by calls built from each function's parameters;
non-string keyword names go through frametest.vcall, which hands names to
the fast entry without a dict. Initialisation steps fail by a missing
builtin, by a key in the module's dictionary (or sys.modules) whose
comparison raises, and by an allocation failing, one allocation after the
other, in a forked child each (tests/allocfail.py). Body points fail by
what the body is given or by an allocation failing, the module having been
executed afresh with its builtins replaced where a scenario says so."""
import json
import unittest

from support import run_python

# Dotted name: (functions published, in order; builtins captured at import).
MODULES = {
    "pelmo.list.read": (("read", "read_split"), ("range", "input")),
    "pelmo.list.write": (("write",), ("range", "print")),
    "pelmo.list.count": (("elemcount",), ()),
    "pelmo.list.ambrel": (("ambrel",), ()),
    "pelmo.list.strutils.sprell": (("str_sprell", "multi_str_sprell"), ()),
}

CHILD = r"""
import _imp, builtins, importlib, importlib.util, io, json, re, sys, traceback, types
import allocfail, frametest

MODULES, BODIES = %r, %r
sys.modules.setdefault("cython_runtime", types.ModuleType("cython_runtime")).cline_in_traceback = True
NAMED = re.compile(r"^(.*) \(src/[\w/]+:(\d+)\)$")


def cline(exc, name):
    # The C line of the entry made for `name`, or None.
    lines = [int(m.group(2)) for m in (NAMED.match(f.name) for f in traceback.extract_tb(exc.__traceback__))
             if m and m.group(1) == name]
    return lines[-1] if lines else None


class Raising(str):
    def __eq__(self, other):
        raise KeyError("compared")
    __hash__ = str.__hash__


class Unhashable(str):
    def __hash__(self):
        raise KeyError("hashed")


class Clash:
    # A key that meets `name` in a dict and fails the comparison.
    def __init__(self, name):
        self.name = name

    def __hash__(self):
        return hash(self.name)

    def __eq__(self, other):
        raise KeyError("clash")


def shape(f):
    code = f.__code__
    if code is None:
        return ("s",), 1, False, False  # the default lambdas: lambda s: s
    n = code.co_argcount
    return code.co_varnames[:n], n - len(f.__defaults__ or ()), bool(code.co_flags & 4), bool(code.co_flags & 8)


def binding_points(f):
    # Every cause of every binding failure point, by point: the count error
    # (a wrong positional count, or the first parameter missing from the
    # keywords), each later required parameter missing from the keywords, a
    # lookup of each parameter's name that raised, and the examination of
    # the keywords left over.
    params, least, star, starstar = shape(f)
    given = (None,) * len(params)
    count, keywords = [], [lambda: f(*given[:max(least, 1)], **{params[0]: 1}),
                           lambda: frametest.vcall(f, given[:least] + (1,), (5,)),
                           lambda: f(*given, **{params[-1]: 1}) if star else f(*given, zz=1)]
    if not star:
        count += [lambda: f(*given, None), lambda: f(*given, None, zz=1)]
    keywords.append((lambda: frametest.vcall(f, given[:least] + (1,), (Unhashable("x"),))) if starstar
                    else (lambda: f(*given[:least], zz=1)))
    points = {"count": count, "keywords": keywords}
    if least:
        count += [lambda: f(), lambda: f(*given[:least - 1]), lambda: f(zz=1)]
    for i, p in enumerate(params):
        if 0 < i < least:
            points["missing " + p] = [lambda i=i: f(*given[:i], zz=1),
                                      lambda i=i: f(**dict.fromkeys(params[:i]))]
        points["comparison with " + p] = [lambda i=i: f(*given[:i], **{Raising("zz"): 1})]
    return points


def attempt(spec, k, prepare=lambda module: None):
    # Executes a new module of `spec` with allocation k failing (None: none)
    # in this forked child: (whether k was reached, C line of the init entry).
    module = importlib.util.module_from_spec(spec)
    prepare(module)
    if k is None:
        try:
            _imp.exec_dynamic(module)
            return True, None
        except Exception as e:
            return True, cline(e, "init " + spec.name)
    _, err, reached = allocfail.hooked(lambda: _imp.exec_dynamic(module), k)
    return reached, None if err is None else cline(err, "init " + spec.name)


def without_builtin(name):
    def prepare(module):
        delattr(builtins, name)
    return prepare


def clashing(name, in_modules=False):
    def prepare(module):
        (sys.modules if in_modules else vars(module))[Clash(name)] = None
    return prepare


class Callee:
    # Called through its type's call slot: a new tuple and dict per call.
    def __call__(self, *args, **kwargs):
        return [args, kwargs]


def python_print(*values, end="\n"):
    sys.stdout.write(" ".join(map(str, values)) + end)


class BadIter:
    def __iter__(self):
        raise KeyError("iter")


def bad_next():
    raise KeyError("next")
    yield


def raises(*args, **kwargs):
    raise KeyError("called")


def fed(text, call):
    sys.stdin = io.StringIO(text)
    return call()


CALLS = {"the callee raised": lambda m: m.ambrel([1], raises, 2),
         "iter(ls) raised": lambda m: m.ambrel(BadIter(), abs),
         "next() raised": lambda m: m.ambrel(bad_next(), abs),
         "iter(range(n)) raised": lambda m: m.read(BadIter()),
         "next() on range(n) raised": lambda m: m.read(bad_next()),
         "read's func raised": lambda m: fed("x\n", lambda: m.read([0], "", raises))}
SWEPT = {"ambrel(ls, callee, *args, **kwargs)": lambda m: m.ambrel([10], Callee(), 2, 3, 4, k=3),
         "write([a, b])": lambda m: m.write([10, 20]),
         "write([a])": lambda m: m.write([10])}
REPLACED = {"print": python_print, "range": lambda n: n}


def body_attempt(spec, scenario, swept, k):
    # Executes a new module of `spec` (builtins replaced first, as the
    # scenario says) in this forked child, then: the C lines of the calls
    # (k None), or (whether k was reached, C line) of the swept call with
    # allocation k failing.
    fname, replaced, calls = scenario[:3]
    saved = {name: getattr(builtins, name) for name in replaced}
    for name in replaced:
        setattr(builtins, name, REPLACED[name])
    module = importlib.util.module_from_spec(spec)
    _imp.exec_dynamic(module)
    for name, value in saved.items():
        setattr(builtins, name, value)
    sys.stdout = io.StringIO()
    name = spec.name + "." + fname
    if k is None:
        lines = {}
        for call in calls:
            try:
                CALLS[call](module)
                lines[call] = "no failure"
            except Exception as e:
                lines[call] = cline(e, name)
        return lines
    # The interpreter keeps freed objects of some kinds for reuse: these hold
    # what it has kept of the kinds the swept calls make (one-tuples for
    # (l,) and four-tuples for (l,) + args, lists, dicts), so that every
    # step making one allocates and can fail.
    # (The lists and dicts first: calling range() makes and frees a one-tuple.)
    held = []
    for _ in range(100):
        held.append([])
        held.append({})
    for _ in range(2100):
        held.append((object(),))
        held.append((object(), object(), object(), object()))
    _, err, reached = allocfail.hooked(lambda: SWEPT[swept](module), k)
    return reached, None if err is None else cline(err, name)


def sweep(attempt_at, *args):
    # The payloads of attempt_at(*args, k), in a child each, for k = 0, 1, ...
    # up to the first k that the attempt no longer reaches.
    lines = []
    while True:
        reached, line = allocfail.run_in_child(attempt_at, *args, len(lines)).payload
        if not reached:
            return lines
        lines.append(line)


allocfail.preload_packages()
report = {}
for dotted, (published, captured) in MODULES.items():
    spec = importlib.util.find_spec(dotted)
    body = {"calls": {}, "sweeps": []}
    if dotted in BODIES:
        scenario = BODIES[dotted]
        body["calls"] = allocfail.run_in_child(body_attempt, spec, scenario, None, None).payload
        body["sweeps"] = [sweep(body_attempt, spec, scenario, swept) for swept in scenario[3]]
    anchors = {"builtin " + b: allocfail.run_in_child(attempt, spec, None, without_builtin(b)).payload[1]
               for b in captured}
    for name in published + ("__test__",):
        anchors["store " + name] = allocfail.run_in_child(attempt, spec, None, clashing(name)).payload[1]
    anchors["sys.modules lookup"] = allocfail.run_in_child(attempt, spec, None, clashing(dotted, True)).payload[1]
    steps = sweep(lambda k: attempt(spec, k))
    module = importlib.import_module(dotted)
    functions = [getattr(module, name) for name in published]
    lambdas = [d for f in functions for d in (f.__defaults__ or ()) if type(d) is type(f)]
    binding = {}
    for f in functions + lambdas:
        for point, calls in binding_points(f).items():
            lines = []
            for call in calls:
                try:
                    call()
                    lines.append("no failure")
                except Exception as e:
                    lines.append(cline(e, dotted + "." + f.__name__))
            binding[f.__name__ + ": " + point] = lines
    allocating = 0
    for f in functions:
        objects = [d for d in f.__defaults__ or () if type(d) is type(f)]
        allocating += 2 + (1 + len(objects) if objects else 0)
    report[dotted] = {"binding": binding, "anchors": anchors, "sweep": steps, "allocating": allocating, "body": body}
print(json.dumps(report))
"""


# Dotted name: (function; builtins replaced before the module is executed;
# calls that fail by what they are given; calls swept with every allocation
# failing in turn; how many failure points all these reach at least).
BODIES = {
    # The sweep: the result list, (l,), (l,) + args, the copy of kwargs, the
    # call and the append; the calls: the walk's two points.
    "pelmo.list.ambrel": ("ambrel", (), ("the callee raised", "iter(ls) raised", "next() raised"),
                          ("ambrel(ls, callee, *args, **kwargs)",), 8),
    # Through a print that is not the builtin, making the arguments of either
    # print and either call. (The second print of a call reuses the freed
    # arguments of the first without allocating: a list of one item reaches
    # the second's.)
    "pelmo.list.write": ("write", ("print",), (), ("write([a, b])", "write([a])"), 4),
    # A range that is not the builtin's, walked, and func called for its items.
    "pelmo.list.read": ("read", ("range",), ("iter(range(n)) raised", "next() on range(n) raised",
                                             "read's func raised"), (), 3),
}


def runs(lines):
    """The lines with repeats in a row dropped: steps run one after the
    other, so a line that comes back after another belongs to two steps."""
    seen = [line for line in lines if line is not None]
    return [line for i, line in enumerate(seen) if i == 0 or seen[i - 1] != line]


class CLines(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        proc = run_python(CHILD % (MODULES, BODIES), timeout=900)
        if proc.returncode != 0:
            raise AssertionError(proc.stderr[-3000:])
        cls.report = json.loads(proc.stdout.splitlines()[-1])
        # Binding: the causes of each point, and the point's line when they agree.
        for r in cls.report.values():
            r["causes"] = r["binding"]
            r["binding"] = {p: lines[0] for p, lines in r["causes"].items()}

    def test_binding_points_have_their_own(self):
        # Every cause of a point gives its line; every point has its own.
        for dotted, r in self.report.items():
            with self.subTest(module=dotted):
                self.assertEqual({p: lines for p, lines in r["causes"].items()
                                  if not isinstance(lines[0], int) or len(set(lines)) != 1}, {})
                self.assertEqual(len(set(r["binding"].values())), len(r["binding"]), r["binding"])

    def test_initialisation_steps_have_their_own(self):
        for dotted, r in self.report.items():
            with self.subTest(module=dotted):
                anchors, sweep = r["anchors"], r["sweep"]
                self.assertEqual([a for a, line in anchors.items() if not isinstance(line, int)], [], anchors)
                self.assertEqual(len(set(anchors.values())), len(anchors), anchors)
                steps = runs(sweep)
                self.assertEqual(len(steps), len(set(steps)), sweep)
                # Code objects, function objects and the defaults storage with
                # its objects always allocate: each of these steps shows.
                self.assertGreaterEqual(len(set(steps)), r["allocating"], sweep)
                steps = set(anchors.values()) | set(steps)
                self.assertEqual(steps & set(r["binding"].values()), set())

    def test_body_points_have_their_own(self):
        for dotted, scenario in BODIES.items():
            with self.subTest(module=dotted):
                r = self.report[dotted]
                calls = r["body"]["calls"]
                self.assertEqual([c for c, line in calls.items() if not isinstance(line, int)], [], calls)
                self.assertEqual(len(set(calls.values())), len(calls), calls)
                points = set(calls.values())
                for sweep in r["body"]["sweeps"]:
                    steps = runs(sweep)
                    self.assertEqual(len(steps), len(set(steps)), sweep)
                    points |= set(steps)
                self.assertGreaterEqual(len(points), scenario[4], r["body"])
                others = set(r["binding"].values()) | set(r["anchors"].values()) | set(r["sweep"])
                self.assertEqual(points & others, set())


if __name__ == "__main__":
    unittest.main()
