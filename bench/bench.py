#!/usr/bin/env python3.7
"""Native pelmo.list functions against the pure-Python functions they stand for.

Every workload runs the native function and its pure-Python counterpart
(written out below) in the same process: the two sides are first called once
and their results compared (a failed comparison stops the run), then timed
alternately, and the best sample of each side is kept. Rows report the time
per call of each side and the ratio Python / native (above 1: native is
faster).

Rows labelled "(idiom, not identical)" compare against what a user would
write instead (`list(map(f, ls))`, `collections.Counter`); they do not compute
the same thing in the same way, so they are shown but left out of the
geometric mean and of the worst case.

The gated targets follow the table in a section of their own. Each gate is
a ratio of two timings taken in this process, interleaved, best of several
samples: a call against the floor (`callfloor`, a test-only object whose call
returns None without looking at its arguments, so that the ratio says what
our call costs beyond what the interpreter spends on any call), or a function
against the builtin idiom a user would write instead, at a fixed size. A
few gates compare peak memory instead of time (the most traced while one
call runs, least of three calls) against the idiom's. The geometric mean
of the table must not fall below the baseline recorded from the code
before this round of work. Every gate prints pass or FAIL; the last
line sums them up.

Usage:
    python3.7 bench/bench.py [--build DIR] [--quick | --smoke | --gates] [--filter TEXT]

    --build DIR   put DIR/python (the built package tree) and DIR/testmods
                  (the floor) first on sys.path
    --quick       fewer and shorter samples (whole run well under a minute)
    --smoke       every workload and gate once at tiny sizes, results compared,
                  no timing worth reading and nothing judged; for the test suite
    --gates       only what the gates need (the gated rows, and the table's
                  rows against pure Python for the geomean); exits 1 when a
                  gate fails
    --filter TEXT only table rows whose name contains TEXT (gates: all)
"""
import argparse
import collections
import contextlib
import gc
import io
import math
import os
import random
import subprocess
import sys
import tempfile
import time
import tracemalloc

# --- the pure-Python functions ---------------------------------------------------
# The same functions written in Python, statement for statement.


def py_read(n, s="", func=lambda s: s):
    return [func(input(s)) for i in range(n)]


def py_read_split(s="", spl=" ", func=lambda s: s):
    return [func(i) for i in input(s).split(spl)]


def py_write(ls, sep=" ", end="\n"):
    for i in range(len(ls) - 1):
        print(ls[i], end=sep)
    if len(ls) == 0:
        return None
    print(ls[len(ls) - 1], end=end)


def py_elemcount(ls):
    vis = []
    for l in ls:
        if l not in vis:
            vis.append(l)
    return {v: ls.count(v) for v in vis}


def py_str_sprell(sep, s):
    pass


def py_multi_str_sprell(sep, *args):
    ls = []
    for a in args:
        ls.extend(a.split(sep))
    return ls


def py_ambrel(ls, func, *args, **kwargs):
    return [func(l, *args, **kwargs) for l in ls]


PY = {
    "read": py_read,
    "read_split": py_read_split,
    "write": py_write,
    "elemcount": py_elemcount,
    "str_sprell": py_str_sprell,
    "multi_str_sprell": py_multi_str_sprell,
    "ambrel": py_ambrel,
}

# Sizes of the --smoke run: the "few distinct" and "many distinct" rows differ.
SMOKE_SIZES = (5,)

MODULES = [
    ("pelmo.list.read", ("read", "read_split")),
    ("pelmo.list.write", ("write",)),
    ("pelmo.list.count", ("elemcount",)),
    ("pelmo.list.strutils.sprell", ("str_sprell", "multi_str_sprell")),
    ("pelmo.list.ambrel", ("ambrel",)),
]


def load_floor():
    """The floor object, or None when the test module is not built."""
    try:
        import callfloor
    except ImportError:
        return None
    return callfloor.make()


def load_native():
    """The native functions that can be imported, and notes on the rest."""
    native, notes = {}, []
    for dotted, names in MODULES:
        try:
            mod = __import__(dotted, fromlist=list(names))
        except ImportError as exc:
            notes.append("skipped %s (%s): not built (%s)" % (dotted, ", ".join(names), exc))
            continue
        for name in names:
            native[name] = getattr(mod, name)
    return native, notes


# --- callees and data -------------------------------------------------------------


def ident(x):
    return x


def add(x, y):
    return x + y


def addk(x, y=0):
    return x + y


class NullSink:
    """A stdout whose write does nothing (a builtin, so that it costs little)."""
    write = len

    def flush(self):
        pass


def ints(n, k):
    """n small ints with k distinct values, in a repeating pattern."""
    return [i % k for i in range(n)]


def decimal_strings(n):
    """n decimal strings of ints of one to five digits, a fifth negative."""
    rnd = random.Random(7)
    return [str(rnd.choice((1, 1, 1, 1, -1)) * rnd.randrange(10 ** rnd.randint(1, 5))) for _ in range(n)]


def float_strings(n):
    """n strings of floats as they are written: a few digits, some signed,
    some with a fraction, an exponent now and then."""
    rnd = random.Random(11)
    forms = ("%.5f", "%.1f", "%.2f", "%g", "%.3e")
    return [rnd.choice(forms) % (rnd.choice((1, 1, 1, -1)) * rnd.uniform(0, 10 ** rnd.randint(0, 4)))
            for _ in range(n)]


def chars(n, k):
    """A str of n characters with k distinct ones."""
    return "".join(chr(0x41 + (i % k)) for i in range(n))


# --- workloads --------------------------------------------------------------------


class Workload:
    """One row: a statement timed on both sides.

    `stmt` is a Python expression in which `f` names the function under
    test; the names in `ns` are locals of the timing loop. `idiom`, when
    given, replaces the pure-Python side by the expression a user would write
    instead (in which `f` is not defined). `io` is "stdout" (null sink) or "stdin" (see `lines`), or None.
    """

    def __init__(self, name, func, stmt, ns=None, idiom=None, io=None, lines=None):
        self.name = name
        self.func = func
        self.stmt = stmt
        self.ns = ns or {}
        self.idiom = idiom
        self.io = io
        self.lines = lines  # stdin: (text of one call's input, lines per call)

    @property
    def label(self):
        return self.name + (" (idiom, not identical)" if self.idiom else "")


def workloads(native, sizes):
    """All rows whose native function was imported."""
    rows = []

    def add_row(*args, **kwargs):
        w = Workload(*args, **kwargs)
        if w.func in native:
            rows.append(w)

    # Per-call overhead: calls that do (almost) nothing.
    add_row("str_sprell(1, 2)", "str_sprell", "f(1, 2)")
    add_row("str_sprell(sep=1, s=2)", "str_sprell", "f(sep=1, s=2)")
    add_row("elemcount(())", "elemcount", "f(())")
    add_row("elemcount(ls=())", "elemcount", "f(ls=())")
    add_row("ambrel((), g)", "ambrel", "f((), g)", {"g": abs})
    add_row("ambrel(ls=(), func=g)", "ambrel", "f(ls=(), func=g)", {"g": abs})
    add_row("read(0)", "read", "f(0)")
    add_row("read(n=0)", "read", "f(n=0)")
    add_row("write([])", "write", "f([])")
    add_row("write(ls=[])", "write", "f(ls=[])")
    add_row("multi_str_sprell(',')", "multi_str_sprell", "f(',')")
    add_row("multi_str_sprell(sep=',')", "multi_str_sprell", "f(sep=',')")
    add_row("multi_str_sprell(',', 'a,b')", "multi_str_sprell", "f(',', 'a,b')")

    few = 3
    for n in sizes:
        ls = ints(n, 1000)
        add_row("ambrel(ls, abs) n=%d" % n, "ambrel", "f(ls, abs)", {"ls": ls})
        add_row("ambrel(ls, abs) n=%d" % n, "ambrel", "f(ls, abs)", {"ls": ls}, idiom="list(map(abs, ls))")
        add_row("ambrel(ls, pyfunc) n=%d" % n, "ambrel", "f(ls, g)", {"ls": ls, "g": ident})
        add_row("ambrel(ls, pyfunc) n=%d" % n, "ambrel", "f(ls, g)", {"ls": ls, "g": ident},
                idiom="list(map(g, ls))")
        add_row("ambrel(tuple, pyfunc) n=%d" % n, "ambrel", "f(t, g)", {"t": tuple(ls), "g": ident})
        add_row("ambrel(ls, pyfunc, 1) n=%d" % n, "ambrel", "f(ls, g, 1)", {"ls": ls, "g": add})
        add_row("ambrel(ls, pyfunc, y=1) n=%d" % n, "ambrel", "f(ls, g, y=1)", {"ls": ls, "g": addk})
        add_row("ambrel(genexpr, abs) n=%d" % n, "ambrel", "f((x for x in ls), abs)", {"ls": ls})

        many = min(n, 200)
        lf, lm = ints(n, few), ints(n, many)
        sf, sm = chars(n, few), chars(n, many)
        add_row("elemcount(list, %d distinct) n=%d" % (few, n), "elemcount", "f(ls)", {"ls": lf})
        add_row("elemcount(list, %d distinct) n=%d" % (few, n), "elemcount", "f(ls)",
                {"ls": lf, "Counter": collections.Counter}, idiom="Counter(ls)")
        add_row("elemcount(list, %d distinct) n=%d" % (many, n), "elemcount", "f(ls)", {"ls": lm})
        add_row("elemcount(str, %d distinct) n=%d" % (few, n), "elemcount", "f(ls)", {"ls": sf})
        add_row("elemcount(str, %d distinct) n=%d" % (few, n), "elemcount", "f(ls)",
                {"ls": sf, "Counter": collections.Counter}, idiom="Counter(ls)")
        add_row("elemcount(str, %d distinct) n=%d" % (many, n), "elemcount", "f(ls)", {"ls": sm})

        strs = tuple("%d,%d,x" % (i, i + 1) for i in range(n))
        add_row("multi_str_sprell(',', *strs) n=%d" % n, "multi_str_sprell", "f(',', *strs)",
                {"strs": strs})

        add_row("write(ls) n=%d" % n, "write", "f(ls)", {"ls": ls}, io="stdout")
        add_row("write(ls, ', ', '.') n=%d" % n, "write", "f(ls, ', ', '.')", {"ls": ls}, io="stdout")

        line = "".join("%d\n" % (i % 1000) for i in range(n))
        add_row("read(n) n=%d" % n, "read", "f(n)", {"n": n}, io="stdin", lines=(line, n))
        add_row("read(n, '', int) n=%d" % n, "read", "f(n, '', int)", {"n": n}, io="stdin",
                lines=(line, n))
        words = " ".join(str(i % 1000) for i in range(n)) + "\n"
        add_row("read_split() pieces=%d" % n, "read_split", "f()", io="stdin", lines=(words, 1))
        add_row("read_split('', ' ', int) pieces=%d" % n, "read_split", "f('', ' ', int)", io="stdin",
                lines=(words, 1))
    return rows


# --- gates ------------------------------------------------------------------------

# The geometric mean of the table (native against pure Python) before the
# calls were brought to the floor: this script's full run with `--build` of a
# tree built from commit 21bc7ed.
BASELINE_GEOMEAN = 1.63


class Gate:
    """A gated target: `stmt` (with the native function as `f`) against
    `ref`, an expression with the floor as `fl` or a builtin idiom.

    kind "floor": native time / floor time must be at most `limit`; the
    result is checked against the pure-Python function, since the floor
    computes nothing. kind "idiom": idiom time / native time (how many times
    as fast) must be at least `limit`; native and idiom results are compared
    (a Counter as a dict). kind "memory": native peak / idiom peak of the
    memory traced while one call runs (tracemalloc, which sees the
    interpreter's allocators, PyMem included; the result is alive at the
    end) must be at most `limit`; results compared as for "idiom". `io`
    "stringio": sys.stdout is an io.StringIO, fresh for every sample, and
    both sides' output is compared. `io` "files": real files as under
    `script < in > out` (see real_stdio), `lines` the text of one call's
    input. `ns` may be a function that makes the names when the gate runs.

    kind "script": `stmt` and `ref` are whole programs, each run as a
    process of its own with `lines` as its standard input (ScriptSide);
    ref time / native time must be at least `limit`."""

    def __init__(self, label, func, stmt, ref, kind, limit, ns=None, io=None, lines=None):
        self.label, self.func, self.stmt, self.ref = label, func, stmt, ref
        self.kind, self.limit, self.ns, self.io = kind, limit, ns or {}, io
        self.idiom = ref if kind != "floor" else None
        self.lines = (lines, None) if lines is not None else None

    def at_most(self):
        return self.kind in ("floor", "memory")

    def target(self):
        return ("<= %.2fx" if self.at_most() else ">= %.2fx") % self.limit

    def passes(self, ratio):
        return ratio <= self.limit if self.at_most() else ratio >= self.limit


def gates(native, smoke=False):
    """The gated targets whose native function was imported."""
    big = 5 if smoke else 100000
    small = 5 if smoke else 1000
    out = []

    def add(*args, **kwargs):
        g = Gate(*args, **kwargs)
        if g.func in native:
            out.append(g)

    add("str_sprell(1, 2) vs floor", "str_sprell", "f(1, 2)", "fl(1, 2)", "floor", 1.15)
    add("str_sprell(sep=1, s=2) vs floor", "str_sprell", "f(sep=1, s=2)", "fl(sep=1, s=2)", "floor", 1.35)
    add("elemcount(ls=()) vs floor", "elemcount", "f(ls=())", "fl(ls=())", "floor", 1.6)
    ls = ints(big, 1000)
    add("ambrel(ls, abs) n=%d vs list(map(abs, ls))" % big, "ambrel", "f(ls, abs)", "list(map(abs, ls))",
        "idiom", 1.3, {"ls": ls})
    add("ambrel(ls, pyfunc) n=%d vs list(map(g, ls))" % big, "ambrel", "f(ls, g)", "list(map(g, ls))",
        "idiom", 1.0, {"ls": ls, "g": ident})
    add("write(ls) n=%d vs print(*ls)" % big, "write", "f(ls)", "print(*ls)", "idiom", 1.1, {"ls": ls},
        io="stringio")
    for conv, data in (("int", decimal_strings(big)), ("float", float_strings(big))):
        add("ambrel(strs, %s) n=%d vs list(map(%s, strs))" % (conv, big, conv), "ambrel", "f(strs, %s)" % conv,
            "list(map(%s, strs))" % conv, "idiom", 1.5, {"strs": data})
    add("ambrel(ints, str) n=%d vs list(map(str, ints))" % big, "ambrel", "f(ints, str)", "list(map(str, ints))",
        "idiom", 1.3, {"ints": [int(x) for x in decimal_strings(big)]})
    counts = [
        ("n=%d, 3 distinct ints" % small, ints(small, 3)),
        ("n=%d, all distinct" % small, list(range(small))),
        ("n=%d, %d distinct ints" % (big, min(big, 1000)), ints(big, 1000)),
        ("n=%d, 3 distinct short strings" % big, ["s%d" % (i % 3) for i in range(big)]),
        ("str of %d letters" % big, chars(big, 26)),
    ]
    for what, data in counts:
        add("elemcount(%s) vs Counter" % what, "elemcount", "f(ls)", "Counter(ls)", "idiom", 1.0,
            {"ls": data, "Counter": collections.Counter})
    # Peak memory: the result dict as it grows, beside what is left of the
    # counting table. The inputs are large: made when their gate runs.
    n_ints, n_strs = (5, 5) if smoke else (10**6, 10**5)
    for what, make in (("%d distinct ints" % n_ints, lambda: list(range(n_ints))),
                       ("%d distinct strs" % n_strs, lambda: ["s%d" % i for i in range(n_strs)])):
        add("elemcount(%s) peak memory vs Counter" % what, "elemcount", "f(ls)", "Counter(ls)", "memory", 1.35,
            lambda make=make: {"ls": make(), "Counter": collections.Counter})
    # Reading standard input from a real file, writing the prompts to a
    # real one, as a script run as `script < in > out` does.
    lines = "".join("%d\n" % (i % 1000) for i in range(big))
    add("read(n) n=%d vs [input('') for i in range(n)]" % big, "read", "f(n)",
        "[input('') for i in range(n)]", "idiom", 1.2, {"n": big}, io="files", lines=lines)
    add("read(n, '', int) n=%d vs [int(input('')) for i in range(n)]" % big, "read", "f(n, '', int)",
        "[int(input('')) for i in range(n)]", "idiom", 1.3, {"n": big}, io="files", lines=lines)
    words = " ".join(str(i % 1000) for i in range(big)) + "\n"
    add("read_split('', ' ', int) pieces=%d vs list(map(int, input().split(' ')))" % big, "read_split",
        "f('', ' ', int)", "list(map(int, input().split(' ')))", "idiom", 1.2, io="files", lines=words)
    add("whole script, %d numbers on a line and %d on lines, as processes" % (big * 2, big * 2), "read",
        SCRIPT_PACKAGE, SCRIPT_IDIOMS, "script", 1.0, lines=script_input(big * 2))
    return out


# The whole-script gate: the same program written with this package and with
# the idioms. It reads a count, a line of numbers and then as many lines of
# one number each, counts the numbers, and prints a few results.
SCRIPT_PACKAGE = """
from pelmo.list.count import elemcount
from pelmo.list.read import read, read_split
from pelmo.list.write import write
n = read(1, '', int)[0]
row = read_split('', ' ', int)
col = read(n, '', int)
counts = elemcount(row + col)
write([n, len(row), len(col), len(counts)])
write([counts.get(k, 0) for k in range(10)])
"""

SCRIPT_IDIOMS = """
import collections
n = int(input())
row = list(map(int, input().split(' ')))
col = [int(input()) for _ in range(n)]
counts = collections.Counter(row + col)
print(*[n, len(row), len(col), len(counts)])
print(*[counts.get(k, 0) for k in range(10)])
"""


def script_input(n):
    numbers = [(i * 7919) % 100003 for i in range(2 * n)]
    return "%d\n%s\n%s" % (n, " ".join(map(str, numbers[:n])), "".join("%d\n" % x for x in numbers[n:]))


# --- timing -----------------------------------------------------------------------

_TEMPLATE = """
def inner(_it, _timer, _ns):
{assign}
    _t0 = _timer()
    for _i in _it:
        {stmt}
    _t1 = _timer()
    return _t1 - _t0
"""


def compile_loop(stmt, ns):
    """A timing loop with the workload's names as fast locals."""
    assign = "".join("    {0} = _ns[{0!r}]\n".format(k) for k in sorted(ns)) or "    pass\n"
    src = _TEMPLATE.format(assign=assign, stmt=stmt)
    scope = {}
    exec(compile(src, "<bench>", "exec"), scope)
    return scope["inner"]


def compile_once(stmt, ns):
    """The statement as an expression evaluated once, for the result check."""
    code = compile(stmt, "<bench>", "eval")
    return lambda: eval(code, {"__builtins__": __builtins__}, ns)


class Side:
    """One side of a workload: the statement with `f` bound, and its I/O."""

    def __init__(self, w, f, stmt, extra=None):
        self.w = w
        self.ns = dict(w.ns)
        self.ns.update(extra or {})
        if f is not None:
            self.ns["f"] = f
        self.loop = compile_loop(stmt, self.ns)
        self.once = compile_once(stmt, self.ns)

    def _stdin(self, calls):
        text, _ = self.w.lines
        return io.StringIO(text * calls)

    def run_once(self):
        """The result, the text written and the input left over, for comparison."""
        saved = sys.stdin, sys.stdout
        out = io.StringIO()
        try:
            with contextlib.ExitStack() as stack:
                if self.w.io == "stdin":
                    sys.stdin = io.StringIO(self.w.lines[0] + "rest\n")
                elif self.w.io == "files":
                    stack.enter_context(real_stdio(self.w.lines[0] + "rest\n"))
                sys.stdout = out
                result = self.once()
                rest = sys.stdin.read() if self.w.io in ("stdin", "files") else None
        finally:
            sys.stdin, sys.stdout = saved
        return result, out.getvalue(), rest

    def sample(self, number):
        """Seconds for `number` calls."""
        saved = sys.stdin, sys.stdout
        try:
            with contextlib.ExitStack() as stack:
                if self.w.io == "stdin":
                    sys.stdin = self._stdin(number)
                elif self.w.io == "stdout":
                    sys.stdout = NullSink()
                elif self.w.io == "stringio":
                    sys.stdout = io.StringIO()
                elif self.w.io == "files":
                    stack.enter_context(real_stdio(self.w.lines[0] * number))
                gc_was = gc.isenabled()
                gc.disable()
                try:
                    return self.loop(range(number), time.perf_counter, self.ns)
                finally:
                    if gc_was:
                        gc.enable()
        finally:
            sys.stdin, sys.stdout = saved


@contextlib.contextmanager
def real_stdio(text, out=None):
    """Standard input and output as under `script < in > out`: file
    descriptor 0 a file holding `text` and sys.stdin the text file the
    interpreter makes on it; sys.stdout a buffered text file on /dev/null.
    Both restored afterwards."""
    with tempfile.TemporaryFile() as data, open(os.devnull, "w") as null:
        data.write(text.encode("utf-8"))
        data.seek(0)
        saved_fd = os.dup(0)
        saved = sys.stdin, sys.stdout
        try:
            os.dup2(data.fileno(), 0)
            sys.stdin = io.TextIOWrapper(io.open(0, "rb", closefd=False), encoding="utf-8", newline="\n")
            sys.stdout = null
            yield
        finally:
            sys.stdin, sys.stdout = saved
            os.dup2(saved_fd, 0)
            os.close(saved_fd)


class ScriptSide:
    """One side of a whole-script gate: the program run as a process of its
    own (`python -E`, so that no PYTHON* setting of the caller applies: its
    stdout is block-buffered as a script's is by default), the built package
    first on its path, standard input from a file and standard output on
    /dev/null. A sample is the wall time of the processes."""

    def __init__(self, w, program):
        import pelmo
        tree = os.path.dirname(os.path.dirname(os.path.abspath(pelmo.__file__)))
        self.w = w
        self.code = "import sys; sys.path.insert(0, %r)\n%s" % (tree, program)

    def _run(self, stdout):
        with tempfile.TemporaryFile() as data:
            data.write(self.w.lines[0].encode("utf-8"))
            data.seek(0)
            t0 = time.perf_counter()
            proc = subprocess.run([sys.executable, "-E", "-c", self.code], stdin=data, stdout=stdout,
                                  stderr=subprocess.PIPE, universal_newlines=True)
            t1 = time.perf_counter()
        if proc.returncode != 0:
            raise Mismatch("%s: the script failed: %s" % (self.w.label, proc.stderr))
        return t1 - t0, proc.stdout

    def run_once(self):
        return self._run(subprocess.PIPE)[1], None, None

    def sample(self, number):
        return sum(self._run(subprocess.DEVNULL)[0] for _ in range(number))


class Mismatch(AssertionError):
    pass


def check(w, native_side, py_side):
    """Both sides once; they must agree in result, output and input consumed."""
    a = native_side.run_once()
    b = py_side.run_once()
    if w.idiom:
        a = (a[0] if not isinstance(a[0], dict) else dict(a[0]),) + a[1:]
        b = (b[0] if not isinstance(b[0], dict) else dict(b[0]),) + b[1:]
    if a != b or type(a[0]) is not type(b[0]) and not w.idiom:
        raise Mismatch("%s: native gave %r, Python gave %r" % (w.label, shorten(a), shorten(b)))


def shorten(x):
    r = repr(x)
    return r if len(r) < 300 else r[:300] + "..."


def calibrate(side, target):
    """A loop count whose sample takes about `target` seconds, and the time
    per call of the last trial (a sample in its own right)."""
    number = 1
    while True:
        t = side.sample(number)
        if t >= target * 0.5 or number >= 1 << 24:
            break
        if t <= 0:
            number *= 10
        else:
            number = max(number * 2, min(number * 100, int(number * target / t) + 1))
    per_call = t / number
    if t > 0:
        number = max(1, int(number * target / t))
    return number, per_call


def measure(w, native_side, py_side, target, repeats):
    """Best time per call of each side, the samples interleaved."""
    n_native, best_native = calibrate(native_side, target)
    n_py, best_py = calibrate(py_side, target)
    # The calibration trials count as one sample each.
    for _ in range(repeats - 1):
        best_native = min(best_native, native_side.sample(n_native) / n_native)
        best_py = min(best_py, py_side.sample(n_py) / n_py)
    return best_native, best_py


def peak_memory(side, repeats):
    """The least peak, over `repeats` calls, of the memory traced while one
    call runs, above what was traced when it began."""
    best = None
    gc_was = gc.isenabled()
    gc.disable()
    try:
        for _ in range(repeats):
            tracemalloc.start()
            try:
                before = tracemalloc.get_traced_memory()[0]
                result = side.once()
                peak = tracemalloc.get_traced_memory()[1] - before
            finally:
                tracemalloc.stop()
            del result
            best = peak if best is None else min(best, peak)
    finally:
        if gc_was:
            gc.enable()
    return best


def fmt_ratio(r):
    return ("%6.3fx" if r >= 0.1 or r == 0 else "%6.3gx") % r


def fmt_bytes(n):
    for unit, scale in (("MB", 1e6), ("kB", 1e3)):
        if n >= scale:
            return "%8.2f %s" % (n / scale, unit)
    return "%8d B " % n


def fmt_time(t):
    for unit, scale in (("s ", 1.0), ("ms", 1e-3), ("us", 1e-6)):
        if t >= scale:
            return "%8.2f %s" % (t / scale, unit)
    return "%8.1f ns" % (t / 1e-9)


def run_table(rows, native, smoke, target, repeats):
    """The table of native against pure Python (and idioms); returns the
    geomean over the rows against pure Python."""
    width = max([len(w.label) for w in rows] + [8])
    print("%-*s  %11s  %11s  %7s" % (width, "workload", "native", "Python", "ratio"))
    print("-" * (width + 36))
    ratios = []
    for w in rows:
        native_side = Side(w, native[w.func], w.stmt)
        if w.idiom:
            py_side = Side(w, None, w.idiom)
        else:
            py_side = Side(w, PY[w.func], w.stmt)
        check(w, native_side, py_side)
        if smoke:
            tn, tp = native_side.sample(1), py_side.sample(1)
        else:
            tn, tp = measure(w, native_side, py_side, target, repeats)
        ratio = tp / tn if tn > 0 else float("inf")
        if not w.idiom:
            ratios.append((ratio, w.label))
        print("%-*s  %s  %s  %7.2f" % (width, w.label, fmt_time(tn), fmt_time(tp), ratio))
        sys.stdout.flush()
    print("-" * (width + 36))
    print("ratio = Python time / native time; rows marked (idiom, not identical) are "
          "excluded from the geomean and the worst case")
    if not ratios:
        print("geomean speedup vs pure Python: nan (worst: none nan)")
        return float("nan")
    finite = [r for r in ratios if math.isfinite(r[0]) and r[0] > 0]
    geo = math.exp(sum(math.log(r) for r, _ in finite) / len(finite)) if finite else float("nan")
    worst = min(ratios)
    print("geomean speedup vs pure Python: %.2f (worst: %s %.2f)" % (geo, worst[1], worst[0]))
    return geo


def run_gates(native, floor, smoke, target, repeats, geomean):
    """The gated targets; returns (passed, failed labels)."""
    print()
    print("=== gated targets (ratios in one process, interleaved, best of %d) ===" % repeats)
    rows = gates(native, smoke)
    width = max([len(g.label) for g in rows] + [30])
    print("%-*s  %11s  %11s  %7s  %9s  %s" % (width, "gate", "native", "reference", "ratio", "target", "result"))
    print("-" * (width + 56))
    passed, failed = 0, []

    def verdict(label, ok):
        nonlocal passed
        if smoke:
            return "(smoke)"
        if ok:
            passed += 1
            return "pass"
        failed.append(label)
        return "FAIL"

    for g in rows:
        if callable(g.ns):
            g.ns = g.ns()
        if g.kind == "script":
            native_side, ref_side = ScriptSide(g, g.stmt), ScriptSide(g, g.ref)
            check(g, native_side, ref_side)
        elif g.kind == "floor":
            if floor is None:
                print("%-*s  %s" % (width, g.label, verdict(g.label, False) + ": floor not built (callfloor)"))
                continue
            native_side = Side(g, native[g.func], g.stmt)
            check(g, native_side, Side(g, PY[g.func], g.stmt))
            ref_side = Side(g, None, g.ref, {"fl": floor})
        else:
            native_side = Side(g, native[g.func], g.stmt)
            ref_side = Side(g, None, g.ref)
            check(g, native_side, ref_side)
        fmt = fmt_time
        if g.kind == "memory":
            fmt = fmt_bytes
            tn, tr = (peak_memory(side, 1 if smoke else 3) for side in (native_side, ref_side))
        elif smoke:
            tn, tr = native_side.sample(1), ref_side.sample(1)
        else:
            tn, tr = measure(g, native_side, ref_side, target, repeats)
        if g.at_most():
            ratio = tn / tr if tr > 0 else float("inf")
        else:
            ratio = tr / tn if tn > 0 else float("inf")
        print("%-*s  %s  %s  %s  %9s  %s" % (width, g.label, fmt(tn), fmt(tr), fmt_ratio(ratio),
                                              g.target(), verdict(g.label, g.passes(ratio))))
        sys.stdout.flush()
    label = "geomean vs pure Python"
    if geomean is None:
        print("%-*s  %s" % (width, label, "not judged: the table was filtered"))
    else:
        print("%-*s  %11s  %11s  %6.2f   %9s  %s" % (width, label, "", "", geomean, ">= %.2f" % BASELINE_GEOMEAN,
                                                    verdict(label, geomean >= BASELINE_GEOMEAN)))
    print("-" * (width + 56))
    print("floor ratio = native time / floor time (at most the target); idiom ratio = idiom time / "
          "native time (at least the target); memory ratio = native peak / idiom peak (at most the target)")
    return passed, failed


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--build", help="build directory whose python/ and testmods/ trees are imported")
    mode = p.add_mutually_exclusive_group()
    mode.add_argument("--quick", action="store_true")
    mode.add_argument("--smoke", action="store_true")
    mode.add_argument("--gates", action="store_true")
    p.add_argument("--filter", default="")
    opts = p.parse_args(argv)
    if opts.build:
        sys.path.insert(0, os.path.join(os.path.abspath(opts.build), "testmods"))
        sys.path.insert(0, os.path.join(os.path.abspath(opts.build), "python"))

    native, notes = load_native()
    floor = load_floor()
    if opts.smoke:
        sizes, target, repeats, gate_repeats = SMOKE_SIZES, 0.0, 1, 1
    elif opts.quick:
        sizes, target, repeats, gate_repeats = (10, 1000, 100000), 0.012, 3, 5
    else:
        sizes, target, repeats, gate_repeats = (10, 1000, 100000), 0.03, 5, 9
    rows = [w for w in workloads(native, sizes) if opts.filter in w.label]
    if opts.gates:
        rows = [w for w in rows if not w.idiom]

    for note in notes:
        print("note: " + note)
    if floor is None:
        print("note: the floor (test module callfloor) is not built: its gates fail")
    geomean = run_table(rows, native, opts.smoke, target, repeats)
    passed, failed = run_gates(native, floor, opts.smoke, target, gate_repeats,
                               None if opts.filter else geomean)
    if opts.smoke:
        print("gates: not judged in a smoke run")
        return 0
    if failed:
        print("gates: %d passed, %d FAILED: %s" % (passed, len(failed), "; ".join(failed)))
    else:
        print("gates: all %d passed" % passed)
    return 1 if opts.gates and failed else 0


if __name__ == "__main__":
    sys.exit(main())
