"""C-line mode: every failure point of argument binding, of every function
(default lambdas included), and every step of a module's initialisation has
a C line of its own within its module.

Binding points are reached by calls built from each function's parameters;
non-string keyword names go through frametest.vcall, which hands names to
the fast entry without a dict. Initialisation steps fail by a missing
builtin, by a key in the module's dictionary (or sys.modules) whose
comparison raises, and by an allocation failing, one allocation after the
other, in a forked child each (tests/allocfail.py)."""
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
import _imp, builtins, importlib, importlib.util, json, re, sys, traceback, types
import allocfail, frametest

MODULES = %r
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
    params, least, star, starstar = shape(f)
    given = (None,) * len(params)
    points = {"multiple values": lambda: f(*given[:max(least, 1)], **{params[0]: 1}),
              "keyword not a string": lambda: frametest.vcall(f, given[:least] + (1,), (5,))}
    if not star:
        points["too many positional"] = lambda: f(*given, None)
    if starstar:
        points["kwargs store"] = lambda: frametest.vcall(f, given[:least] + (1,), (Unhashable("x"),))
    else:
        points["unexpected keyword"] = lambda: f(*given[:least], zz=1)
    for i, p in enumerate(params):
        if i < least:
            points["missing " + p] = lambda i=i: f(*given[:i], zz=1)
        points["comparison with " + p] = lambda i=i: f(*given[:i], **{Raising("zz"): 1})
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


allocfail.preload_packages()
report = {}
for dotted, (published, captured) in MODULES.items():
    spec = importlib.util.find_spec(dotted)
    anchors = {"builtin " + b: allocfail.run_in_child(attempt, spec, None, without_builtin(b)).payload[1]
               for b in captured}
    for name in published + ("__test__",):
        anchors["store " + name] = allocfail.run_in_child(attempt, spec, None, clashing(name)).payload[1]
    anchors["sys.modules lookup"] = allocfail.run_in_child(attempt, spec, None, clashing(dotted, True)).payload[1]
    sweep = []
    while True:
        reached, line = allocfail.run_in_child(attempt, spec, len(sweep)).payload
        if not reached:
            break
        sweep.append(line)
    module = importlib.import_module(dotted)
    functions = [getattr(module, name) for name in published]
    lambdas = [d for f in functions for d in (f.__defaults__ or ()) if type(d) is type(f)]
    binding = {}
    for f in functions + lambdas:
        for point, call in binding_points(f).items():
            try:
                call()
                line = "no failure"
            except Exception as e:
                line = cline(e, dotted + "." + f.__name__)
            binding[f.__name__ + ": " + point] = line
    allocating = 0
    for f in functions:
        objects = [d for d in f.__defaults__ or () if type(d) is type(f)]
        allocating += 2 + (1 + len(objects) if objects else 0)
    report[dotted] = {"binding": binding, "anchors": anchors, "sweep": sweep, "allocating": allocating}
print(json.dumps(report))
"""


class CLines(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        proc = run_python(CHILD % (MODULES,), timeout=600)
        if proc.returncode != 0:
            raise AssertionError(proc.stderr[-3000:])
        cls.report = json.loads(proc.stdout.splitlines()[-1])

    def test_binding_points_have_their_own(self):
        for dotted, r in self.report.items():
            with self.subTest(module=dotted):
                lines = r["binding"]
                self.assertEqual([p for p, line in lines.items() if not isinstance(line, int)], [], lines)
                self.assertEqual(len(set(lines.values())), len(lines), lines)

    def test_initialisation_steps_have_their_own(self):
        for dotted, r in self.report.items():
            with self.subTest(module=dotted):
                anchors, sweep = r["anchors"], r["sweep"]
                self.assertEqual([a for a, line in anchors.items() if not isinstance(line, int)], [], anchors)
                self.assertEqual(len(set(anchors.values())), len(anchors), anchors)
                seen = [line for line in sweep if line is not None]
                # Steps run one after the other: a line that comes back after
                # another line belongs to two steps.
                runs = [line for i, line in enumerate(seen) if i == 0 or seen[i - 1] != line]
                self.assertEqual(len(runs), len(set(runs)), sweep)
                # Code objects, function objects and the defaults storage with
                # its objects always allocate: each of these steps shows.
                self.assertGreaterEqual(len(set(runs)), r["allocating"], sweep)
                steps = set(anchors.values()) | set(runs)
                self.assertEqual(steps & set(r["binding"].values()), set())


if __name__ == "__main__":
    unittest.main()
