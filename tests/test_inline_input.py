"""read and read_split do the builtin input's work themselves when the
captured `input` is the interpreter's own. The same script runs twice in
fresh interpreters: once so, once with `input` replaced before the import by
frametest.builtin(input), the builtin's own definition in another function
object, which read calls as it calls any builtin (through its vector entry,
at the same depth). Everything must come out the same: results, exceptions
and tracebacks, every call made on sys.stdin, sys.stdout and sys.stderr and
their order, the text written, the recursion limit met at the same depth;
with stand-in files of every kind (methods in Python, builtin methods, the
interpreter's own files), files that fail or misbehave in each step, and a
pseudo-terminal for the builtin's line editing."""
import json
import os
import random
import select
import sys
import tempfile
import time
import unittest

import support

PRELUDE = r"""
import builtins, io, os, re, sys, traceback
import frametest
if os.environ.get("PELMO_INPUT_GENERIC"):
    builtins.input = frametest.builtin(builtins.input)
from pelmo.list.read import read, read_split
"""

SCRIPT = PRELUDE + r"""
from support import recursion_failure, recursion_recovers

LOG = []
METHODS = ("flush", "fileno", "readline", "write")
ROLES = {"in": "stdin", "out": "stdout", "err": "stderr"}
MISSING = object()


class Rec:
    # A file whose every call is logged; `how` maps a method to a function
    # of the arguments that gives its outcome, else the default below.
    def __init__(self, role, how=None, lines=("one\n", "two\n", "three\n")):
        self.role, self.how, self.lines = role, how or {}, list(lines)

    def act(self, name, *args):
        LOG.append((self.role, name) + tuple(map(repr, args)))
        if name in self.how:
            return self.how[name](*args)
        if name == "readline":
            return self.lines.pop(0) if self.lines else ""
        if name == "write":
            return len(args[0])
        if name == "fileno":
            raise io.UnsupportedOperation("fileno")


def file_class(spy=False, **shapes):
    # Rec with the four methods in Python, except those given in `shapes`:
    # None leaves the method out, anything else stands in its place.
    ns = {}
    for m in METHODS:
        if m not in shapes:
            ns[m] = (lambda m: lambda self, *args: self.act(m, *args))(m)
        elif shapes[m] is not None:
            ns[m] = shapes[m]
    if spy:  # every lookup of a public name logged too
        def __getattribute__(self, name):
            if name in METHODS or name in ("encoding", "errors"):
                LOG.append((object.__getattribute__(self, "role"), "get", name))
            return object.__getattribute__(self, name)
        ns["__getattribute__"] = __getattribute__
    return type("Spy" if spy else "Rec", (Rec,), ns)


PY, SPY = file_class(), file_class(spy=True)


def builtin_methods(role, how=None):
    # The same behaviour behind builtin methods, entered directly.
    return frametest.cstream(Rec(role, how).act)


class SubIO(io.StringIO):
    pass


class Foreign:  # another type's builtin method: refuses to bind
    readline = io.StringIO.readline
    write = io.StringIO.write
    flush = io.StringIO.flush


class Line(str):
    pass


class Number:  # a fileno converted through __int__
    def __int__(self):
        LOG.append("__int__")
        return 0


class Prompt(str):
    def __str__(self):
        LOG.append("__str__")
        return "<" + str.__str__(self) + ">"


class Bad:
    def __init__(self, result):
        self.result = result

    def __str__(self):
        LOG.append("__str__")
        if isinstance(self.result, Exception):
            raise self.result
        return self.result


def raises(name):
    def fail(*args):
        raise OSError(name + " failed")
    return fail


def gives(value):
    return lambda *args: value


SHARED = b"kept\n"
# What each file is asked, and ways for each call to go wrong.
ASKED = {"in": ("fileno", "readline"), "out": ("write", "flush"), "err": ("flush",)}
ODD = {
    "flush": [raises("flush"), gives(5)],
    "fileno": [raises("fileno"), gives("x"), gives(-1), gives(-7), gives(2 ** 70), gives(0), gives(True),
               gives(Number()), gives(None)],
    "readline": [raises("readline"), gives(b"b\n"), gives(b""), gives(b"no newline"), gives(SHARED), gives(""),
                 gives("no newline"), gives("\n"), gives(5), gives(Line("sub\n")), gives(Line("sub")), gives(None)],
    "write": [raises("write"), gives(None)],
}
# builtin methods only, and not in a debug interpreter, which aborts on them
MISBEHAVING = [] if hasattr(sys, "gettotalrefcount") else [gives(("null",)), gives(("pending", "x\n"))]
KINDS = {"py": PY, "spy": SPY, "builtin": builtin_methods}


def where(e):
    return [(f.lineno, f.name) for f in traceback.extract_tb(e.__traceback__) if f.name != "attempt"]


def attempt(call, files):
    # call() with the files (role -> file, MISSING: not in sys at all) in sys.
    del LOG[:]
    saved = sys.stdin, sys.stdout, sys.stderr
    for role, name in ROLES.items():
        f = files.get(role, MISSING)
        if f is MISSING:
            delattr(sys, name)
        else:
            setattr(sys, name, f)
    try:
        outcome = ("ok", repr(call()))
    except Exception as e:
        outcome = (type(e).__name__, re.sub("0x[0-9a-f]+", "0x?", str(e)), type(e.__cause__).__name__,
                   type(e.__context__).__name__, where(e))
    finally:
        sys.stdin, sys.stdout, sys.stderr = saved
    texts = {r: f.getvalue() for r, f in files.items() if isinstance(f, io.StringIO)}
    return outcome, list(LOG), texts


def plain(**chosen):
    files = {r: PY(r) for r in ROLES}
    files.update(chosen)
    return files


CALLS = [lambda: read(2, "> "), lambda: read_split("> ")]
cases = {}


def case(key, make_files, calls=CALLS):
    cases[key] = [attempt(call, make_files()) for call in calls]


# Every kind of file in each role, each step failing or misbehaving in turn.
for role, asked in ASKED.items():
    for kind, make in KINDS.items():
        case((role, kind), lambda: plain(**{role: make(role)}))
        for m in asked:
            odd = ODD[m] + (MISBEHAVING if kind == "builtin" else [])
            for i, how in enumerate(odd):
                case((role, kind, m, i), lambda: plain(**{role: make(role, {m: how})}))
    for m in asked:
        for shape, value in (("absent", None), ("not callable", 5), ("foreign", getattr(Foreign, m, None))):
            case((role, m, shape), lambda: plain(**{role: file_class(**{m: value})(role)}))
    case((role, "None"), lambda: plain(**{role: None}))
    case((role, "missing"), lambda: plain(**{role: MISSING}))
    case((role, "spy everywhere"), lambda: {r: SPY(r) for r in ROLES})

# The interpreter's own files, and their subclasses, with and without an
# instance attribute in front of a method.
def shadowed():
    f = SubIO("a\nb\nc\n")
    f.readline = lambda *args: LOG.append("instance readline") or "shadow\n"
    return f


def with_dict():
    f = SubIO("a\nb\nc\n")
    f.mode = "r"
    return f


for name, make_in in (("StringIO", lambda: io.StringIO("a\nb\nc\n")), ("shadowed", shadowed),
                      ("with dict", with_dict)):
    case(("io", name), lambda: {"in": make_in(), "out": io.StringIO(), "err": SubIO()})

# The interpreter's stdin on a pipe (descriptor 0, not a terminal), the
# prompts to another pipe.
def real_files(call):
    r, w = os.pipe()
    with open(w, "w") as out:
        outcome = attempt(call, {"in": sys.__stdin__, "out": out, "err": sys.__stderr__})
    with open(r) as written:
        return outcome + (written.read(),)


cases["real files"] = [real_files(call) for call in CALLS]

# Prompts of every kind, through every kind of stdout.
PROMPTS = ["", "> ", 5, Prompt("p"), Bad(ArithmeticError("in __str__")), Bad(5), Bad("made")]
for kind, make in KINDS.items():
    for i, prompt in enumerate(PROMPTS):
        case(("prompt", kind, i), lambda: plain(out=make("out")), [lambda: read(2, prompt), lambda: read_split(prompt)])


# Everything is asked again for every line: files rebound in sys, methods
# that appear or change between lines, keys that compare in Python.
# (Each change comes after lines enough for a lookup to be remembered.)
def rebinding(line):
    if line == "three":
        sys.stdin = PY("in", lines=["other\n"] * 3)
    return line


case("rebound after a line", plain, [lambda: read(5, "", rebinding)])


def deleting_stdout():
    if len([e for e in LOG if e[:2] == ("err", "flush")]) == 3:
        del sys.stdout


case("stdout deleted by a flush of stderr", lambda: plain(err=PY("err", {"flush": deleting_stdout})),
     [lambda: read(5)])


def shadowing(text):
    if len([e for e in LOG if e[:2] == ("out", "write")]) == 4:
        sys.stdin.readline = lambda *args: "from the instance\n"
    return len(text)


case("instance method appearing", lambda: plain(**{"in": with_dict(), "out": PY("out", {"write": shadowing})}),
     [lambda: read(5)])


def retyping(text):
    if len([e for e in LOG if e[:2] == ("out", "write")]) == 2:
        SubIO.readline = lambda self, *args: "from the class\n"
    return len(text)


case("class method appearing", lambda: plain(**{"in": SubIO("a\nb\nc\n"), "out": PY("out", {"write": retyping})}),
     [lambda: read(3)])
del SubIO.readline


class Key(str):  # compared whenever a lookup of `name` reaches it
    def __hash__(self):
        return hash(str.__str__(self)[1:])

    def __eq__(self, other):
        LOG.append(("compared", str.__str__(self)))
        return False


def colliding_instance_key():
    f = with_dict()
    f.__dict__[Key("xreadline")] = 1
    return {"in": f, "out": PY("out"), "err": PY("err")}


case("instance dict compares", colliding_instance_key, [lambda: read(3)])
# Put in front of "stdin" in its lookups, which then compare it every time.
COLLIDING, saved = Key("xstdin"), sys.stdin
del sys.stdin
sys.__dict__[COLLIDING] = 1
sys.stdin = saved
case("sys dict compares", plain, [lambda: read(3)])
del sys.__dict__[COLLIDING]


def reading(make_files, call):
    def run():
        saved = sys.stdin, sys.stdout, sys.stderr
        sys.stdin, sys.stdout, sys.stderr = make_files()
        try:
            call()
        finally:
            sys.stdin, sys.stdout, sys.stderr = saved
    return run


sys.setrecursionlimit(300)
FILES = [lambda: (PY("in"), PY("out"), PY("err")),
         lambda: (builtin_methods("in"), builtin_methods("out"), builtin_methods("err")),
         lambda: (io.StringIO("x\nx\n"), io.StringIO(), io.StringIO())]
runs = [reading(f, lambda: read(2, "> ")) for f in FILES] + [reading(FILES[2], lambda: read_split(""))]
limits = [recursion_failure(r) for r in runs]
recovered = [recursion_recovers(r) for r in [lambda: None] + runs]

# The builtin borrows the files it looked up; a file that only sys held,
# dropped by stderr's flush, is used after its release. Done in place, it is
# held until input returns (only this run: the builtin's would be undefined).
dropped = []
if not os.environ.get("PELMO_INPUT_GENERIC"):
    class Dropped(Rec):
        def readline(self):
            return self.act("readline")

        def __del__(self):
            LOG.append("del")

    def drop():
        del sys.stdin

    saved = sys.stdin
    sys.stdin = Dropped("in")
    dropped = attempt(lambda: read(1), {"in": sys.stdin, "out": PY("out"), "err": PY("err", {"flush": drop})})
    sys.stdin = saved
    dropped = [dropped, list(LOG)]

sys.stdout.write(repr((cases, limits, recovered, dropped)))
"""


# Both runs hash alike: how often a lookup meets a key that compares in
# Python depends on where the hashes put the keys.
HASH_SEED = str(random.randrange(1 << 32))


class InlineInputTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.inline, cls.generic = support.both_ways(SCRIPT, "PELMO_INPUT_GENERIC", {"PYTHONHASHSEED": HASH_SEED},
                                                    stdin="p\nq\nr s\n")

    def test_same_as_the_builtin(self):
        support.assertSameCases(self, self.inline[0], self.generic[0], hash_seed=HASH_SEED)
        self.assertGreater(len(self.inline[0]), 140)

    def test_recursion_limit_met_at_the_same_depth(self):
        limits, recovered = self.inline[1:3]
        self.assertEqual(limits, self.generic[1])
        self.assertEqual(recovered, self.generic[2])
        for limit in limits:
            self.assertIsNotNone(limit)
            self.assertRegex(limit[1][0], "^maximum recursion depth exceeded")
        self.assertEqual(set(recovered), {recovered[0]})

    @support.release_only("a debug interpreter aborts on a native method that misbehaves")
    def test_misbehaving_native_methods(self):
        cases = self.inline[0]
        self.assertEqual(cases["err", "builtin", "flush", 3][0][0][0], "ok")  # stderr's failure ignored
        self.assertEqual(cases["in", "builtin", "readline", 12][0][0][:3],
                         ("SystemError", "<built-in method readline of frametest.CStream object at 0x?> returned "
                                         "NULL without setting an error", "NoneType"))

    def test_where_it_matters(self):
        # A few outcomes spelled out, so that both runs cannot agree on a fault.
        cases = self.inline[0]
        ok, log, _ = cases["in", "py"][0]
        self.assertEqual(ok, ("ok", "['one', 'two']"))
        line = [("err", "flush"), ("in", "fileno"), ("out", "write", "'> '"), ("out", "flush"), ("in", "readline")]
        self.assertEqual(log, line * 2)
        spied = cases["in", "spy everywhere"][1][1]
        self.assertEqual(spied[:8], [("err", "get", "flush"), ("err", "flush"), ("in", "get", "fileno"),
                                     ("in", "fileno"), ("out", "get", "write"), ("out", "write", "'> '"),
                                     ("out", "get", "flush"), ("out", "flush")])
        self.assertEqual(cases["out", "missing"][0][0][:2], ("RuntimeError", "input(): lost sys.stdout"))
        self.assertEqual(cases["in", "py", "readline", 4][0][0], ("ok", "[b'kept', b'kept']"))
        self.assertEqual(cases["in", "py", "readline", 8][0][0][:2],
                         ("TypeError", "object.readline() returned non-string"))
        self.assertEqual(cases["in", "readline", "foreign"][0][0][:2],
                         ("TypeError", "descriptor 'readline' for '_io.StringIO' objects doesn't apply to 'Rec' "
                                       "object"))
        self.assertEqual(cases["instance method appearing"][0][0], ("ok", "['a', 'b', 'c', 'from the instance', "
                                                                  "'from the instance']"))
        self.assertEqual(cases["class method appearing"][0][0], ("ok", "['a', 'from the class', 'from the class']"))
        for key, name in (("sys dict compares", "xstdin"), ("instance dict compares", "xreadline")):
            # Compared in every line's lookup: a lookup is never left out.
            lines = repr(cases[key][0][1]).split(repr(("err", "flush")))
            self.assertTrue(all(repr(("compared", name)) in line for line in lines[1:]), key)
        self.assertEqual(cases["io", "StringIO"][0][2], {"in": "a\nb\nc\n", "out": "> > ", "err": ""})
        self.assertEqual([(c[0], c[3]) for c in cases["real files"]],
                         [(("ok", "['p', 'q']"), "> > "), (("ok", "['r', 's']"), "> ")])

    def test_file_released_by_sys_during_input(self):
        (outcome, log, _), after = self.inline[3]
        self.assertEqual(outcome, ("ok", "['one']"))
        self.assertEqual(after, [("err", "flush"), ("out", "write", "''"), ("out", "flush"), ("in", "readline"), "del"])


TERMINAL = PRELUDE + r"""
import json
import signal
signal.signal(signal.SIGINT, signal.default_int_handler)  # a shell may have started the test ignoring it
if os.environ.get("PELMO_READLINE"):
    import readline
LOG = []


def logged(base):
    class Logged(base):
        for name in ("fileno", "flush", "readline", "write"):
            locals()[name] = (lambda name: lambda self, *a: LOG.append([name] + list(map(repr, a))) or
                              getattr(base, name)(self, *a))(name)
    return Logged


class NoEncoding(io.TextIOWrapper):
    encoding = None


class BadEncoding(io.TextIOWrapper):
    encoding = "utf-8\udcff"


def text(cls, fd, mode):
    return cls(io.open(fd, mode, closefd=False), encoding="utf-8", line_buffering=True)


# Edited lines (the files asked only whether they are on the terminal),
# then the same with stand-ins that log those questions, then stdin without
# a text encoding (the files' own methods instead) and with one that cannot
# be used; last, an interrupt and the end of input.
SESSIONS = [io.TextIOWrapper, logged(io.TextIOWrapper), logged(NoEncoding), BadEncoding]
outcomes = []


def attempt(call):
    del LOG[:]
    try:
        outcome = ["ok", call()]
    except BaseException as e:
        outcome = [type(e).__name__, str(e)]
    outcomes.append([outcome, list(LOG)])


for i, cls in enumerate(SESSIONS):
    sys.stdin, sys.stdout = text(cls, 0, "rb"), text(logged(io.TextIOWrapper), 1, "wb")
    attempt(lambda: read(2, "p%d> " % i))
    attempt(lambda: read_split(5))
sys.stdin = text(io.TextIOWrapper, 0, "rb")
if os.environ.get("PELMO_INTERRUPT"):
    attempt(lambda: read(1, "int> "))
attempt(lambda: read(1, "end> "))
with open(os.environ["PELMO_RESULT"], "w") as f:
    json.dump(outcomes, f)
"""

# What the terminal shows before each line is typed, and the line.
TYPED = [(b"p0> ", b"la\n"), (b"p0> ", b"lb\n"), (b"5", b"wa wb\n"), (b"p1> ", b"lc\n"), (b"p1> ", b"ld\n"),
         (b"5", b"we\n"), (b"p2> ", b"lf\n"), (b"p2> ", b"lg\n"), (b"5", b"wh wi\n"), (b"int> ", b"\x03"),
         (b"end> ", b"\x04")]
# An interrupt, typed once the read has begun: not with the readline
# module, whose own handling of it races with the typing, and not under
# qemu's user-mode emulation (the aarch64 run), where it does not end the
# emulated read.
EMULATED = support.TARGET.startswith("aarch64")


def terminal_session(generic, with_readline):
    """Runs TERMINAL on a pseudo-terminal, typing each line of TYPED once its
    prompt has appeared; returns the outcomes and everything it put on the
    terminal."""
    import pty
    interrupt = not (with_readline or EMULATED)
    typed = [t for t in TYPED if interrupt or t[1] != b"\x03"]
    with tempfile.NamedTemporaryFile("r", suffix=".json") as result:
        env = dict(os.environ, PELMO_INPUT_GENERIC="1" if generic else "", PELMO_RESULT=result.name,
                   PELMO_READLINE="1" if with_readline else "", TERM="dumb",
                   PELMO_INTERRUPT="1" if interrupt else "")
        pid, master = pty.fork()
        if pid == 0:
            try:
                os.execve(sys.executable, [sys.executable, "-c", TERMINAL], env)
            finally:
                os._exit(127)
        seen, start = b"", 0

        def more():
            if not select.select([master], [], [], 60)[0]:
                return b""
            try:
                return os.read(master, 4096)
            except OSError:  # the child is gone
                return b""
        try:
            for prompt, line in typed:
                while prompt not in seen[start:]:
                    chunk = more()
                    if not chunk:
                        raise AssertionError("no prompt %r in %r" % (prompt, seen))
                    seen += chunk
                start = seen.index(prompt, start) + len(prompt)
                if line == b"\x03":
                    time.sleep(0.5)  # the prompt comes just before the read
                os.write(master, line)
            chunk = more()
            while chunk:
                seen += chunk
                chunk = more()
        finally:
            os.close(master)
            _, status = os.waitpid(pid, 0)
        if status != 0:
            raise AssertionError(seen.decode("utf-8", "replace"))
        return json.load(result), seen


class Terminal(unittest.TestCase):
    """stdin and stdout on a terminal: the line editing of the interpreter."""

    def session(self, with_readline):
        try:
            import pty  # noqa: F401
            inline = terminal_session(False, with_readline)
        except (ImportError, OSError) as e:
            self.skipTest("no pseudo-terminal here: %s" % e)
        generic = terminal_session(True, with_readline)
        self.assertEqual(inline[0], generic[0])
        return inline

    def check(self, interrupt, outcomes, screen):
        self.assertEqual([o[0] for o in outcomes[:6]], [
            ["ok", ["la", "lb"]], ["ok", ["wa", "wb"]], ["ok", ["lc", "ld"]], ["ok", ["we"]],
            ["ok", ["lf", "lg"]], ["ok", ["wh", "wi"]]])
        # Edited: the files are asked whether they are on the terminal, and
        # stdout is flushed; nothing is written to them or read from them.
        self.assertEqual(outcomes[2][1], [["fileno"], ["fileno"], ["flush"]] * 2)
        # Without an encoding: the files' own methods after the questions.
        self.assertEqual(outcomes[4][1], [["fileno"], ["fileno"], ["write", "'p2> '"], ["flush"], ["readline"]] * 2)
        self.assertEqual([o[0][0] for o in outcomes[6:]],
                         ["UnicodeEncodeError"] * 2 + ["KeyboardInterrupt"] * interrupt + ["EOFError"])
        self.assertEqual(outcomes[-1][0][1], "")

    def test_line_editing(self):
        self.check(not EMULATED, *self.session(False))

    def test_line_editing_with_readline(self):
        try:
            import readline  # noqa: F401
        except ImportError:
            self.skipTest("no readline module")
        self.check(False, *self.session(True))


if __name__ == "__main__":
    unittest.main()
