"""Shared helpers for the test suite.

Tests run with the built package tree on sys.path (ctest sets PYTHONPATH);
anything that changes process-wide state runs in a fresh interpreter through
run_python(), which inherits that path.
"""
import ast
import contextlib
import gc
import io
import os
import subprocess
import sys
import textwrap
import traceback
import tracemalloc
import unittest

PYTHON = sys.executable
BUILD = os.environ.get("PELMO_BUILD", "")
SOURCE = os.environ.get("PELMO_SOURCE", os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
# The target (such as aarch64-linux-musl) when the suite runs inside the
# target's interpreter against libraries cross-built for it; empty on the host.
TARGET = os.environ.get("PELMO_TARGET", "")
# An interpreter built with Py_DEBUG (./run-tests --debug): it keeps a total of
# all references, and a builtin that returns NULL without an exception, or a
# result with one set, is a fatal error there rather than a SystemError.
PYDEBUG = hasattr(sys, "gettotalrefcount")


def host_only(why):
    """Skips a test or test class inside the target's interpreter, saying
    `why` it needs the build machine."""
    return unittest.skipIf(TARGET, "runs on the host, not on %s: %s" % (TARGET, why))


def reference_delta(op):
    """How much op() changes the interpreter's total of references (a Py_DEBUG
    interpreter's sys.gettotalrefcount()), garbage collected before and after;
    what is kept for the measurement itself is in both readings."""
    before = after = 0
    gc.collect()
    before = sys.gettotalrefcount()
    op()
    gc.collect()
    after = sys.gettotalrefcount()
    return after - before


def release_only(why):
    """Skips a test in a debug (Py_DEBUG) interpreter, saying `why`."""
    return unittest.skipIf(PYDEBUG, "runs in a release interpreter, not a Py_DEBUG one: %s" % why)


# Under valgrind (scripts/valgrind-tests) an interpreter runs some 30 times
# slower: the time a child is given grows with it.
SLOWDOWN = 10 if os.environ.get("PELMO_VALGRIND") else 1


def run_python(code, stdin=None, args=(), env=None, timeout=120):
    """Runs `code` in a fresh interpreter; returns the CompletedProcess (text).
    The time limit is `timeout` seconds, times SLOWDOWN."""
    full_env = dict(os.environ)
    if env:
        full_env.update(env)
    return subprocess.run(
        [PYTHON] + list(args) + ["-c", textwrap.dedent(code)],
        input=stdin, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
        universal_newlines=True, env=full_env, timeout=timeout * SLOWDOWN)


def both_ways(code, switch, env=None, **kwargs):
    """Runs `code` in two fresh interpreters, first with the environment
    variable `switch` empty, then with it "1"; returns the Python literal each
    wrote on stdout, as a pair."""
    results = []
    for value in ("", "1"):
        proc = run_python(code, env=dict(env or {}, **{switch: value}), **kwargs)
        if proc.returncode != 0:
            raise AssertionError(proc.stderr)
        results.append(ast.literal_eval(proc.stdout))
    return results


def assertSameCases(test, cases, reference, **context):
    """Two dicts of outcomes by case: the same cases, each with the same outcome."""
    test.assertEqual(sorted(cases, key=repr), sorted(reference, key=repr))
    for key in cases:
        with test.subTest(case=key, **context):
            test.assertEqual(cases[key], reference[key])


def entries(exc):
    """The traceback of an exception as (file, line, name) triples."""
    return [(f.filename, f.lineno, f.name) for f in traceback.extract_tb(exc.__traceback__)]


def last_entry(exc):
    return entries(exc)[-1]


def tb_file(*components):
    r"""The traceback file name: components joined by two backslashes."""
    return "\\\\".join(("src",) + components)


def src_file(*components):
    r"""The code objects' file name: components joined by one backslash."""
    return "\\".join(("src",) + components)


def is_native_file(filename):
    """Whether a traceback entry's file is one of a native module's."""
    return filename.startswith(tb_file(""))


def traced_peak(func, arg, repeats=3):
    """The least, over `repeats` calls of func(arg), of the most memory
    traced (tracemalloc: the interpreter's allocators, PyMem included) while
    one call runs; its result is alive at the end."""
    peaks = []
    for _ in range(repeats):
        tracemalloc.start()
        try:
            result = func(arg)
            peaks.append(tracemalloc.get_traced_memory()[1])
        finally:
            tracemalloc.stop()
        del result
    return min(peaks)


class Stdin:
    """A stand-in for sys.stdin as the builtin `input` reads it (readline()):
    hands out `lines` one at a time, a str being cut into its lines, then ""
    (the end of input). An exception among the lines is raised instead of
    being read; any other object is handed out as it is. With a `log` list,
    every line handed out is appended to it as ("line", line). read() returns
    what was not read."""

    def __init__(self, lines, log=None):
        self.lines = io.StringIO(lines).readlines() if isinstance(lines, str) else list(lines)
        self.log = log

    def readline(self, *args):
        line = self.lines.pop(0) if self.lines else ""
        if isinstance(line, BaseException):
            raise line
        if self.log is not None:
            self.log.append(("line", line))
        return line

    def read(self):
        rest, self.lines = "".join(self.lines), []
        return rest


@contextlib.contextmanager
def console(lines):
    """sys.stdin replaced by Stdin(lines) and sys.stdout by a StringIO until
    the block ends; yields (log, stdin, stdout)."""
    log = []
    stdin, stdout = Stdin(lines, log), io.StringIO()
    saved = sys.stdin, sys.stdout
    sys.stdin, sys.stdout = stdin, stdout
    try:
        yield log, stdin, stdout
    finally:
        sys.stdin, sys.stdout = saved


class CallChecks:
    """Mixin for unittest.TestCase: exceptions with message and last entry."""

    def assertFailure(self, exc_type, message, func, *args, **kwargs):
        """Calls func, expects exc_type with `message` (None: any) and returns
        the exception with its traceback, for checks of the entries."""
        # assertRaises drops the traceback, which is what is under test here.
        try:
            func(*args, **kwargs)
        except exc_type as e:
            exc = e
        else:
            self.fail("%s not raised" % exc_type.__name__)
        if message is not None:
            self.assertEqual(str(exc), message)
        return exc

    def assertFails(self, exc_type, message, entry, func, *args, **kwargs):
        """assertFailure, and when `entry` is given, that (file, line, name)
        is the last traceback entry. Returns the exception."""
        exc = self.assertFailure(exc_type, message, func, *args, **kwargs)
        if entry is not None:
            self.assertEqual(last_entry(exc), entry)
        return exc

    def assertOnlyEntry(self, exc, entry):
        """`entry` is the only traceback entry in its file; any entries after
        it are Python frames of what it called, in no native module."""
        tb = entries(exc)
        mine = [i for i, e in enumerate(tb) if e[0] == entry[0]]
        self.assertEqual([tb[i] for i in mine], [entry], tb)
        for later in tb[mine[0] + 1:]:
            self.assertFalse(is_native_file(later[0]), tb)

    def assertRaisesAt(self, exc_type, message, entry, func, *args, **kwargs):
        """assertFailure, and when `entry` is given, assertOnlyEntry."""
        exc = self.assertFailure(exc_type, message, func, *args, **kwargs)
        if entry is not None:
            self.assertOnlyEntry(exc, entry)
        return exc


def recursion_failure(call, window=60):
    """How call() fails when the recursion limit is near: the fewest extra
    frames under which it raises RecursionError, the message, and the names
    of the traceback entries below this helper. None when it does not fail
    within `window` frames of the limit. Failing is monotonic in the depth,
    so the window is bisected."""
    def at_depth(n):
        if n:  # no comparison: comparisons have a recursion guard of their own
            return at_depth(n - 1)
        try:
            call()
        except RecursionError as e:
            return str(e), [f.name for f in traceback.extract_tb(e.__traceback__)[1:]]
        except Exception:  # a failure of its own, short of the limit
            pass
        return None

    f, base = sys._getframe(), 0
    while f:
        base, f = base + 1, f.f_back
    # the deepest frame of at_depth(hi) is two short of the limit, and call()
    # adds at least a frame of its own and a level of what it calls
    hi = sys.getrecursionlimit() - base - 3
    lo = hi - window
    if at_depth(lo) or not at_depth(hi):
        return None
    while hi - lo > 1:
        mid = (lo + hi) // 2
        lo, hi = (lo, mid) if at_depth(mid) else (mid, hi)
    return hi, at_depth(hi)


def recursion_reach(n=1):
    """How many more frames this interpreter can nest from here."""
    try:
        return recursion_reach(n + 1)
    except RecursionError:
        return n


def recursion_recovers(call):
    """Makes call() from every depth near the recursion limit, then tells how
    deep the interpreter can still recurse (the same as before, unless a
    failure left the recursion accounting behind)."""
    def at(k):
        if k:
            return at(k - 1)
        try:
            call()
        except Exception:
            pass
    f, n = sys._getframe(), 0
    while f:
        n, f = n + 1, f.f_back
    for k in range(sys.getrecursionlimit() - n - 60, sys.getrecursionlimit() - n):
        try:
            at(k)
        except RecursionError:
            pass
    return recursion_reach()


def assertSameRecursionFailures(test, code):
    """Runs `code` (which defines `pairs`, a list of (call, reference)
    pairs) in a fresh interpreter with a low recursion limit: each call must
    first fail at the same depth as its reference, in the same way; and
    after it was made from every depth near the limit, the interpreter must
    still recurse exactly as deep as before (no failure left the recursion
    accounting behind)."""
    proc = run_python(code + """
import sys
from support import recursion_failure, recursion_recovers
sys.setrecursionlimit(300)
found = [(recursion_failure(a), recursion_failure(b)) for a, b in pairs]
print(repr([found, [recursion_recovers(a) for a in [lambda: None] + [a for a, _ in pairs]]]))
""")
    test.assertEqual(proc.returncode, 0, proc.stderr)
    found, recovered = ast.literal_eval(proc.stdout.splitlines()[-1])
    for call, reference in found:
        test.assertIsNotNone(call)
        test.assertEqual(call, reference)
    test.assertEqual(set(recovered), {recovered[0]}, recovered)
