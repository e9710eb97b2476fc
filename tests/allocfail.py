"""Allocation-failure sweeps: run an operation with exactly one allocation
of the interpreter's allocators failing, for every allocation the operation
makes, and check that the failure is reported and nothing else goes wrong.

Every attempt runs in a forked child, so each starts from the same state
(nothing cached by an earlier attempt) and a crash or fatal error takes
down only the child; the parent sees it as a signal or an exit status.

Whether an attempt reached its failing allocation is told by a probe: after
the operation, while the hook is still installed, a series of allocations
is made. If one of them fails, the operation never got as far as the
failing allocation, and the sweep for that operation is complete.

Used by tests/test_nomemory.py (a quick subset) and scripts/nomemory_sweep.py
(everything).
"""
import faulthandler
import gc
import importlib
import io
import os
import pickle
import sys
import tempfile
import traceback

import _testcapi

CHILD_TIMEOUT = int(os.environ.get("PELMO_NOMEM_CHILD_TIMEOUT", "10"))
# A harness failure in a child exits with this status.
HARNESS_FAILED = 3


# --- the hooked region ---------------------------------------------------------

PROBE_ALLOCATIONS = 256


def _probe():
    """True if the next allocations succeed, under the hook: the failing one
    was used up before. (Each step allocates twice; stride steps stay
    below the probe's reach.)"""
    n = 0  # a plain counter: small ints are never allocated
    try:
        while n < PROBE_ALLOCATIONS // 2:
            bytearray(4096)
            n += 1
    except MemoryError:
        return False
    return True


_probe()  # warm the frame of the probe itself


def hooked(thunk, k):
    """Runs thunk() with allocation number k+1 (counted from the hook's
    installation) failing. Returns (result, exception, reached)."""
    set_nomemory = _testcapi.set_nomemory
    remove = _testcapi.remove_mem_hooks
    probe = _probe
    result = err = None
    set_nomemory(k, k + 1)
    try:
        result = thunk()
    except BaseException as e:  # noqa: B902 - everything counts here
        err = e
    reached = probe()
    remove()
    return result, err, reached


# --- running a child --------------------------------------------------------------

class ChildResult:
    def __init__(self, status, payload, stderr):
        self.status = status      # ("exit", code) or ("signal", number) or ("timeout",)
        self.payload = payload    # what the child returned, or None
        self.stderr = stderr

    @property
    def crashed(self):
        return self.status != ("exit", 0) or self.payload is None

    def describe(self):
        tail = self.stderr.strip().splitlines()[-8:]
        return "{} {}".format(self.status, " | ".join(tail))


def start_child(fn, *args):
    """Forks a child that runs fn(*args) (whose result must pickle)."""
    rfd, wfd = os.pipe()
    errfile = tempfile.TemporaryFile()
    sys.stdout.flush()
    sys.stderr.flush()
    pid = os.fork()
    if pid == 0:  # child
        code = 0
        try:
            os.close(rfd)
            os.dup2(errfile.fileno(), 2)
            faulthandler.enable()
            # A hang ends with the Python stacks written out (status 1).
            faulthandler.dump_traceback_later(CHILD_TIMEOUT, exit=True)
            try:
                data = pickle.dumps(fn(*args))
            except BaseException:
                data = pickle.dumps({"harness": traceback.format_exc()})
                code = HARNESS_FAILED
            view = memoryview(data)
            while view:
                view = view[os.write(wfd, view):]
        finally:
            os._exit(code)
    os.close(wfd)
    return pid, rfd, errfile


def finish_child(handle):
    pid, rfd, errfile = handle
    chunks = []
    while True:
        chunk = os.read(rfd, 65536)
        if not chunk:
            break
        chunks.append(chunk)
    os.close(rfd)
    _, status = os.waitpid(pid, 0)
    errfile.seek(0)
    stderr = errfile.read().decode("utf-8", "replace")
    errfile.close()
    if os.WIFSIGNALED(status):
        st = ("signal", os.WTERMSIG(status))
    elif stderr.startswith("Timeout ("):
        st = ("timeout",)
    else:
        st = ("exit", os.WEXITSTATUS(status))
    payload = None
    if chunks:
        try:
            payload = pickle.loads(b"".join(chunks))
        except Exception:  # a truncated payload: the child died while writing
            payload = None
    return ChildResult(st, payload, stderr)


def run_in_child(fn, *args):
    return finish_child(start_child(fn, *args))


def freeze():
    """Moves everything that exists now out of the collector's sight, so
    that a collection in a child does not touch (and copy) the parent's
    objects. Call before sweeping."""
    gc.collect()
    gc.freeze()


# --- expectations -----------------------------------------------------------------

def _entries(exc):
    """(file, line, function) of each traceback entry; C-line information,
    which the entries carry in C-line mode, is left out of the name."""
    return [(f.filename, f.lineno, f.name.split(" (")[0]) for f in traceback.extract_tb(exc.__traceback__)]


def _same(a, b):
    return type(a) is type(b) and a == b


class Ok:
    """The operation returns `value` (or a result for which `pred` holds) and
    writes `out` to sys.stdout (None: output not checked)."""

    def __init__(self, value=None, pred=None, out=None, also=()):
        self.value, self.pred, self.out = value, pred, out
        # Exception types that an interpreter routine used by the operation
        # raises in place of its MemoryError.
        self.also = also

    def matches(self, result, out):
        if self.pred is not None:
            good = self.pred(result)
        else:
            good = _same(result, self.value)
        return good and (self.out is None or out == self.out)

    def __repr__(self):
        return "Ok({!r})".format(self.value if self.pred is None else "<predicate>")


class Raises:
    """The operation raises exactly `type` with `message` (None: any), and its
    traceback holds `entry` (None: not checked)."""

    def __init__(self, type, message=None, entry=None):
        self.type, self.message, self.entry = type, message, entry

    def matches_exc(self, exc, reached=False):
        if type(exc) is not self.type:
            return False
        # Under a failing allocation the interpreter may be unable to make
        # the message itself, and raises the exception without one.
        if self.message is not None and str(exc) != self.message and not (reached and str(exc) == ""):
            return False
        return self.entry is None or tuple(self.entry) in _entries(exc)

    def __repr__(self):
        return "Raises({}, {!r}, {!r})".format(self.type.__name__, self.message, self.entry)


class Instance:
    """One prepared call: `thunk` performs exactly the operation; `tracked`
    objects must keep their reference counts; `output` returns what the
    operation wrote (for Ok.out)."""

    def __init__(self, thunk, expect, tracked=(), output=None):
        self.thunk, self.expect, self.tracked, self.output = thunk, expect, list(tracked), output


def _describe(result, err):
    if err is not None:
        return "{}: {}".format(type(err).__name__, err)
    return "result {!r}".format(result)[:200]


def judge(inst, result, err, reached):
    """Problems with one hooked outcome (empty list: acceptable)."""
    expect = inst.expect
    out = inst.output() if inst.output else None
    got = _describe(result, err)
    if not reached:
        # The failing allocation came after the operation: it must have
        # behaved exactly as without the hook.
        if isinstance(expect, Ok):
            if err is not None or not expect.matches(result, out):
                return ["unreached failure but {} (expected {!r}, output {!r})".format(got, expect, out)]
        elif err is None or not expect.matches_exc(err):
            return ["unreached failure but {} (expected {!r})".format(got, expect)]
        return []
    if err is None:
        if isinstance(expect, Raises):
            return ["failure swallowed: {} where {!r} was expected".format(got, expect)]
        if not expect.matches(result, out):
            return ["silently wrong: {} output {!r} (expected {!r})".format(got, out, expect)]
        return []
    if isinstance(err, MemoryError):
        return []
    if isinstance(expect, Raises) and type(err) is expect.type:
        if not expect.matches_exc(err, reached=True):
            return ["expected exception changed: {} entries {}".format(got, _entries(err)[-3:])]
        return []
    if isinstance(expect, Ok) and isinstance(err, expect.also):
        return []
    if isinstance(err, SystemError):
        return ["SystemError: {}".format(err)]
    return ["unexpected exception {}".format(got)]


def strict(inst, label):
    """Runs the instance without a hook; it must behave exactly as expected."""
    result = err = None
    try:
        result = inst.thunk()
    except BaseException as e:
        err = e
    problems = judge(inst, result, err, reached=False)
    return ["{}: {}".format(label, p) for p in problems]


# --- call sweeps ----------------------------------------------------------------------

def _runtime():
    return sys.modules["cython_runtime"]


def _child_call(case, variant, k):
    warm, cline = variant
    gc.collect()
    if cline:
        _runtime().cline_in_traceback = True
    problems = []
    if warm:
        problems += strict(case.build(), "warm-up")
    inst = case.build()
    gc.collect()
    before = [sys.getrefcount(o) for o in inst.tracked]
    result, err, reached = hooked(inst.thunk, k)
    kind = "ok" if err is None else type(err).__name__
    problems += judge(inst, result, err, reached)
    if sys.exc_info()[0] is not None:
        problems.append("exception still being handled after the call")
    result = err = None
    for e in inst.tracked:
        if isinstance(e, BaseException):  # the frames of its traceback hold locals
            e.__traceback__ = e.__context__ = None
    e = None
    gc.collect()
    after = [sys.getrefcount(o) for o in inst.tracked]
    if before != after:
        problems.append("reference counts of the arguments changed: {} -> {}".format(before, after))
    inst = None
    # The hook is gone: the same call must work as before.
    problems += strict(case.build(), "after the hook")
    if cline:
        _runtime().cline_in_traceback = False
    problems += strict(case.build(), "after the hook, C lines off")
    return {"reached": reached, "kind": kind, "problems": problems}


class Report:
    def __init__(self):
        self.attempts = 0
        self.operations = 0
        self.problems = []     # (label, k, text)
        self.notes = []        # the interpreter's own failures, not ours
        self.kinds = {}        # outcome kind -> count

    def add(self, label, k, res):
        self.attempts += 1
        if res.status == ("timeout",) and _import_lock_hang(res.stderr):
            self.notes.append((label, k, "hang on an import lock the import system left held"))
            return True
        if res.crashed:
            if isinstance(res.payload, dict) and "harness" in res.payload:
                self.problems.append((label, k, "harness error: " + res.payload["harness"]))
            else:
                self.problems.append((label, k, "child died: " + res.describe()))
            return True  # go on with the next allocation
        p = res.payload
        for text in p["problems"]:
            self.problems.append((label, k, text))
        self.kinds[p["kind"]] = self.kinds.get(p["kind"], 0) + 1
        if res.stderr.strip() and "Fatal" in res.stderr:
            self.problems.append((label, k, "fatal error text: " + res.describe()))
        return p["reached"]

    def summary(self):
        return "{} operations, {} attempts, outcomes {}, {} problems, {} notes".format(
            self.operations, self.attempts, dict(sorted(self.kinds.items())), len(self.problems),
            len(self.notes))


def _import_lock_hang(stderr):
    """Whether a hung child waits for a module lock of the import system.

    The 3.7 import system is not safe against allocation failures in its own
    code: a `with` block whose __exit__ cannot be called for want of memory
    leaves a lock held, and the next import in that process waits forever.
    The innermost frame tells: the lock acquisition in importlib."""
    lines = [l.strip() for l in stderr.splitlines() if l.strip().startswith("File ")]
    return bool(lines) and "importlib._bootstrap" in lines[0] and lines[0].endswith("in acquire")


PARALLEL = max(1, int(os.environ.get("PELMO_NOMEM_JOBS", "2")))


def sweep(label, child, args, report, limit=5000, stride=1):
    """Runs child(*args, k) for k = 0, stride, 2*stride, ... until the
    failing allocation is no longer reached, then once more one further
    (which must not be reached either). Up to PARALLEL children at a time;
    attempts started beyond the end are discarded. Returns the first k
    that was not reached: the operation's allocation count (with stride 1)."""
    report.operations += 1
    k = 0
    while k < limit:
        ks = [k + i * stride for i in range(PARALLEL)]
        handles = [start_child(child, *(args + (kk,))) for kk in ks]
        results = [finish_child(h) for h in handles]
        for kk, res in zip(ks, results):
            if not report.add(label, kk, res):
                # The end: confirm with the next allocation.
                if report.add(label, kk + 1, run_in_child(child, *(args + (kk + 1,)))):
                    report.problems.append((label, kk + 1, "failure reached after the end"))
                return kk
        k = ks[-1] + stride
    report.problems.append((label, k, "no end within {} allocations".format(limit)))
    return k


VARIANTS = {
    "cold": (False, False),
    "warm": (True, False),
    "cline-cold": (False, True),
    "cline-warm": (True, True),
}


def sweep_case(case, report, variants=None, stride=1):
    names = variants or case.variants
    counts = {}
    for v in names:
        counts[v] = sweep("{} [{}]".format(case.name, v), _child_call, (case, VARIANTS[v]), report,
                          stride=stride)
    return counts


# --- import sweeps ------------------------------------------------------------------------

IMPORT_SYSTEM_MESSAGES = ("can't allocate lock",)


def _child_import(name, smoke, k):
    problems = []
    gc.collect()
    result, err, reached = hooked(lambda: __import__(name), k)
    kind = "ok" if err is None else type(err).__name__
    # The import system turns some failures into these, with the
    # interpreter's own wording.
    if err is not None and not isinstance(err, (MemoryError, ImportError)) and \
            str(err) not in IMPORT_SYSTEM_MESSAGES:
        problems.append("import raised {}: {}".format(type(err).__name__, err))
    if sys.exc_info()[0] is not None:
        problems.append("exception still being handled after the import")
    if not reached and err is not None:
        problems.append("import failed without reaching the failure: {}: {}".format(type(err).__name__, err))
    result = err = None
    if kind != "ok":
        sys.modules.pop(name, None)
    try:
        module = importlib.import_module(name)
    except BaseException as e:
        problems.append("import after the failed one raised {}: {}".format(type(e).__name__, e))
    else:
        problems += ["after import: " + p for p in smoke(module)]
    return {"reached": reached, "kind": kind, "problems": problems}


def sweep_import(name, smoke, report, stride=1, before=()):
    """Imports `name` with each allocation failing in turn; `before` are
    modules imported first (so `name` is not the first of the process)."""
    def child(k):
        for b in before:
            importlib.import_module(b)
        return _child_import(name, smoke, k)
    label = "import {}{}".format(name, " after " + ",".join(before) if before else "")
    return sweep(label, child, (), report, stride=stride)


def preload_packages():
    """Imports the packages (not the extension modules) and warms the path
    finders, so that an import in a child costs only the module's own load."""
    import pelmo.list  # noqa: F401
    for pkg in ("pelmo.list.strutils",):
        try:
            importlib.import_module(pkg)
        except ImportError:
            pass
    from importlib import util
    for name in ("pelmo.list.read", "pelmo.list.write", "pelmo.list.count", "pelmo.list.ambrel",
                 "pelmo.list.strutils.sprell", "frametest"):
        try:
            util.find_spec(name)
        except ImportError:
            pass


# --- stdio for read and write ---------------------------------------------------------------

def feed_stdin(text):
    """Makes `text` the whole of the process's standard input (fd 0)."""
    r, w = os.pipe()
    os.write(w, text.encode())
    os.close(w)
    os.dup2(r, 0)
    os.close(r)
    sys.stdin = io.TextIOWrapper(io.BufferedReader(io.FileIO(0, "r", closefd=False)))


def capture_stdout():
    buf = io.StringIO()
    sys.stdout = buf
    return buf.getvalue


class Case:
    """One operation: build() prepares a fresh Instance (arguments, stdin,
    expectation) each time it is called."""

    def __init__(self, name, build, variants=("cold", "warm")):
        self.name, self.build, self.variants = name, build, variants

    def __reduce__(self):  # never sent to a child; cases live in both
        raise TypeError("cases are not pickled")
