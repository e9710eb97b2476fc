"""Reference ownership, counted as CPython counts its own (regrtest -R).

In an interpreter built with Py_DEBUG, sys.gettotalrefcount() is the sum of
all reference counts, and a count that drops below zero is a fatal error. A
reference missing or left over anywhere in a library moves that total: each
operation below runs a few rounds to warm up (caches, interned strings, the
traceback entries' code objects), then measured rounds, over each of which
the total must not change at all.

Imports: a library holds one module per process (its create step returns
that module while it is set) and drops it when its exec fails, so that the
next import starts again from the beginning. A fresh interpreter per module
therefore makes new module objects over and over and fails every exec at one
of its steps: the store of each function it publishes or of `__test__` (a
key of the module's dict with that name's hash refuses the comparison), each
builtin it captures missing in turn, each allocation failing in turn. Every
new exec replaces what the one before made (strings, variable names, code
objects, defaults), and the lazily made attributes of every new function
object, and of the function objects among their defaults, are read.

Calls: every operation of allocfail_cases (each function's successful calls,
binding failures of every kind, body failures; the function type's other
conventions and lazily made attributes), in both traceback modes.
"""
import builtins
import importlib.util
import json
import re
import sys
import types
import unittest

import support

WARMUP, ROUNDS = 2, 3
LAZY = ("__defaults__", "__kwdefaults__", "__name__", "__qualname__", "__doc__", "__dict__",
        "__annotations__", "_is_coroutine", "__code__", "__module__", "__globals__", "__closure__")


def reference_deltas(one_round):
    """regrtest -R: after WARMUP rounds, the change of the reference total
    over each of ROUNDS measured rounds. A reference missing or left over on
    the operation's path moves the total in every round; the interpreter's
    own caches, rarely, in one: a change is measured once more, from new
    warm-up rounds, and only what comes back is reported."""
    for _ in range(2):
        for _ in range(WARMUP):
            one_round()
        deltas = [0] * ROUNDS
        for i in range(ROUNDS):
            deltas[i] = support.reference_delta(one_round)
        if not any(deltas):
            break
    return deltas


def is_function(v):
    return type(v).__name__ == "cython_function_or_method"


def touch(functions):
    """Reads every lazily made attribute of the functions and of the
    function objects among their defaults."""
    for f in functions:
        for attr in LAZY:
            getattr(f, attr)
        touch([d for d in f.__defaults__ or () if is_function(d)])


class Refused(Exception):
    pass


class Clash:
    """A key of a dict that refuses the comparison with any other key of
    `name`'s hash: a store of `name` into that dict fails."""

    def __init__(self, name):
        self.name = name

    def __hash__(self):
        return hash(self.name)

    def __eq__(self, other):
        raise Refused(self.name)


def fresh_exec(spec, refused="__test__", failing_allocation=None):
    """A new module object of `spec`, executed with its store of `refused`
    failing (and with allocation number `failing_allocation` failing), so
    that the library drops it. Returns (exception, names of the functions
    published, whether the failing allocation was reached)."""
    module = importlib.util.module_from_spec(spec)
    vars(module)[Clash(refused)] = None
    run = lambda: spec.loader.exec_module(module)  # noqa: E731
    reached = err = None
    try:
        if failing_allocation is None:
            run()
        else:
            import allocfail
            err, reached = allocfail.hooked(run, failing_allocation)[1:]
    except BaseException as e:  # noqa: B902 - every failure counts
        err = e
    finally:
        sys.modules.pop(spec.name, None)
    if err is None:
        raise AssertionError("the exec of %s succeeded: the library keeps that module" % spec.name)
    published = [k for k, v in vars(module).items() if is_function(v)]
    touch([getattr(module, k) for k in published])
    return err, published, reached


def refused_stores(spec, names):
    """One failed exec per published name and __test__: (count, problems)."""
    problems = ["store of %s: %r" % (n, e) for n in names for e in [fresh_exec(spec, n)[0]]
                if type(e) is not Refused]
    return len(names), problems


def missing_builtins(spec):
    """Execs with the builtins replaced by a module that lacks the one the
    exec looked up last, until it looks up no more: (count, problems)."""
    present, count = {}, 0
    while True:
        fake = types.ModuleType("builtins")
        vars(fake).update(present)
        sys.modules["builtins"] = fake
        try:
            err = fresh_exec(spec)[0]
        finally:
            sys.modules["builtins"] = builtins
        missing = re.fullmatch(r"name '(\w+)' is not defined", str(err)) if type(err) is NameError else None
        if not missing:
            return count, [] if type(err) is Refused else ["with the builtins present: %r" % err]
        if missing.group(1) in present:
            return count, ["%s missing although present" % missing.group(1)]
        present[missing.group(1)] = getattr(builtins, missing.group(1))
        count += 1


def failing_allocations(spec):
    """One exec with each allocation failing in turn: (count, problems)."""
    k, problems = 0, []
    while True:
        err, _, reached = fresh_exec(spec, failing_allocation=k)
        if not reached:
            return k, problems + ([] if type(err) is Refused else ["past the end: %r" % err])
        if not isinstance(err, (MemoryError, Refused)):
            problems.append("allocation %d: %r" % (k + 1, err))
        k += 1


def import_child(name):
    """In a fresh interpreter: the reference deltas of each way the exec of
    module `name` is made to fail, as JSON on standard output."""
    try:
        spec = importlib.util.find_spec(name)
    except ImportError:
        spec = None
    if spec is None:
        print(json.dumps({"missing": name}))
        return
    import allocfail  # noqa: F401 - the allocation hooks, imported before any measurement
    names = fresh_exec(spec)[1] + ["__test__"]
    kinds = {
        "refused stores": lambda: refused_stores(spec, names),
        "missing builtins": lambda: missing_builtins(spec),
        "failing allocations": lambda: failing_allocations(spec),
    }
    result = {"published": names, "deltas": {}, "counts": {}, "problems": []}
    for kind, run in kinds.items():
        result["deltas"][kind] = reference_deltas(run)
        count, problems = run()
        result["counts"][kind] = count
        result["problems"] += ["%s: %s" % (kind, p) for p in problems]
    print(json.dumps(result))


def call_child():
    """In a fresh interpreter with every module imported: the reference
    deltas of every operation of allocfail_cases, as JSON."""
    import allocfail
    import allocfail_cases
    stdout = sys.stdout
    cases = allocfail_cases.all_cases(allocfail_cases.load_modules())
    runtime = sys.modules["cython_runtime"]
    problems = []

    def one_round(case):
        for cline in (False, True):
            runtime.cline_in_traceback = cline
            problems.extend(allocfail.strict(case.build(), "%s (C lines %s)" % (case.name, cline)))
        runtime.cline_in_traceback = False
        sys.stdout = stdout

    deltas = {case.name: reference_deltas(lambda: one_round(case)) for case in cases}
    stdout.write(json.dumps({"deltas": deltas, "problems": problems}) + "\n")


@unittest.skipUnless(support.PYDEBUG, "needs an interpreter built with Py_DEBUG (sys.gettotalrefcount): "
                                      "./run-tests --debug runs the suite in one")
class ReferenceTotals(unittest.TestCase):
    maxDiff = None

    def child(self, call):
        r = support.run_python("import test_refcounts\ntest_refcounts." + call, timeout=600)
        # A negative reference count aborts the child with a fatal error.
        self.assertEqual(r.returncode, 0, r.stderr[-3000:])
        return json.loads(r.stdout.splitlines()[-1])

    def assertUnchanged(self, deltas):
        self.assertEqual({k: d for k, d in deltas.items() if any(d)}, {},
                         "reference totals changed over the measured rounds")

    def test_imports_and_teardowns(self):
        import allocfail_cases
        for name in allocfail_cases.MODULES:
            with self.subTest(module=name):
                out = self.child("import_child(%r)" % name)
                if "missing" in out:
                    self.skipTest(name + " not built")
                self.assertEqual(out["problems"], [])
                self.assertUnchanged(out["deltas"])
                # The exec failed at every store and at many allocations.
                self.assertGreater(len(out["published"]), 1)
                self.assertEqual(out["counts"]["refused stores"], len(out["published"]))
                self.assertGreater(out["counts"]["failing allocations"], 20)

    def test_calls(self):
        out = self.child("call_child()")
        self.assertEqual(out["problems"], [])
        self.assertGreater(len(out["deltas"]), 50)
        self.assertUnchanged(out["deltas"])


if __name__ == "__main__":
    unittest.main()
