"""The typed interface (.pyi beside each library) against the real functions.

inspect.signature() reads a function object's __code__ and __defaults__, so
this compares what the libraries tell introspection with what the stubs tell
type checkers. A stub may split a function into overloads; each overload must
then be a way of calling the real function, and together they must cover it.
"""
import ast
import importlib
import importlib.util
import inspect
import os
import unittest

from test_linkage import KNOWN_MODULES

P = inspect.Parameter
NO_LITERAL = object()       # the stub's default is `...` (present, value unstated)

PUBLIC_FUNCTIONS = {
    "pelmo.list.read": {"read", "read_split"},
    "pelmo.list.write": {"write"},
    "pelmo.list.count": {"elemcount"},
    "pelmo.list.strutils.sprell": {"str_sprell", "multi_str_sprell"},
    "pelmo.list.ambrel": {"ambrel"},
}


class StubParam:
    def __init__(self, name, kind, has_default, default=NO_LITERAL):
        self.name, self.kind, self.has_default, self.default = name, kind, has_default, default

    def __repr__(self):
        d = ("=" + (repr(self.default) if self.default is not NO_LITERAL else "...")
             if self.has_default else "")
        return "%s:%s%s" % (self.name, self.kind, d)


def _literal(node):
    if isinstance(node, ast.Ellipsis) or (isinstance(node, ast.Constant) and node.value is Ellipsis):
        return NO_LITERAL
    return ast.literal_eval(node)


def stub_params(fn):
    """The parameters of one `def` of a stub, in order."""
    a = fn.args
    positional = list(getattr(a, "posonlyargs", [])) + list(a.args)
    defaults = [None] * (len(positional) - len(a.defaults)) + list(a.defaults)
    params = []
    for arg, d in zip(positional, defaults):
        params.append(StubParam(arg.arg, P.POSITIONAL_OR_KEYWORD, d is not None,
                                NO_LITERAL if d is None else _literal(d)))
    if a.vararg:
        params.append(StubParam(a.vararg.arg, P.VAR_POSITIONAL, False))
    for arg, d in zip(a.kwonlyargs, a.kw_defaults):
        params.append(StubParam(arg.arg, P.KEYWORD_ONLY, d is not None,
                                NO_LITERAL if d is None else _literal(d)))
    if a.kwarg:
        params.append(StubParam(a.kwarg.arg, P.VAR_KEYWORD, False))
    return params


def is_overload(fn):
    return any(isinstance(d, ast.Name) and d.id == "overload" or
               isinstance(d, ast.Attribute) and d.attr == "overload"
               for d in fn.decorator_list)


def parse_stub(text):
    """{function name: [params of each def]} of the module-level defs."""
    tree = ast.parse(text)
    functions = {}
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            functions.setdefault(node.name, []).append((is_overload(node), stub_params(node)))
    result = {}
    for name, defs in functions.items():
        if len(defs) > 1 and not all(o for o, _ in defs):
            raise ValueError("%s: several defs that are not all @overload" % name)
        if len(defs) == 1 and defs[0][0]:
            raise ValueError("%s: a lone @overload" % name)
        result[name] = [p for _, p in defs]
    return result


def _same_default(stub, real):
    return (stub.default is NO_LITERAL or
            (type(stub.default) is type(real.default) and stub.default == real.default))


def signature_problems(sig, overloads):
    """Ways in which the stub's defs of one function misdescribe `sig`."""
    real = list(sig.parameters.values())
    index = {p.name: i for i, p in enumerate(real)}
    problems = []
    if len(overloads) == 1:
        stub = overloads[0]
        got = [(s.name, s.kind, s.has_default) for s in stub]
        want = [(p.name, p.kind, p.default is not P.empty) for p in real]
        if got != want:
            return ["stub %r, function %s" % (stub, sig)]
        for s, p in zip(stub, real):
            if s.has_default and not _same_default(s, p):
                problems.append("default of %s: stub %r, function %r" % (s.name, s.default, p.default))
        return problems

    real_positional = [p.name for p in real if p.kind == P.POSITIONAL_OR_KEYWORD]
    omittable = set()
    positional_somewhere = set()
    present = set()
    for n, stub in enumerate(overloads, 1):
        where = "overload %d %r" % (n, stub)
        names = [s.name for s in stub]
        if any(name not in index for name in names):
            problems.append("%s: unknown parameter" % where)
            continue
        if [index[name] for name in names] != sorted(index[name] for name in names):
            problems.append("%s: parameters out of order" % where)
        positional = [s.name for s in stub if s.kind == P.POSITIONAL_OR_KEYWORD]
        if positional != real_positional[:len(positional)]:
            problems.append("%s: positional parameters must be a prefix of %r"
                            % (where, real_positional))
        for s in stub:
            p = real[index[s.name]]
            present.add(s.name)
            if s.kind != p.kind and not (s.kind == P.KEYWORD_ONLY and
                                         p.kind == P.POSITIONAL_OR_KEYWORD):
                problems.append("%s: %s is %s, function has %s" % (where, s.name, s.kind, p.kind))
            if s.kind == p.kind:
                positional_somewhere.add(s.name)
            if s.has_default:
                omittable.add(s.name)
                if p.default is P.empty:
                    problems.append("%s: %s has a default only in the stub" % (where, s.name))
                elif not _same_default(s, p):
                    problems.append("%s: default of %s: stub %r, function %r"
                                    % (where, s.name, s.default, p.default))
        for p in real:
            if p.name not in names:
                omittable.add(p.name)
                if p.default is P.empty and p.kind not in (P.VAR_POSITIONAL, P.VAR_KEYWORD):
                    problems.append("%s: leaves out the required %s" % (where, p.name))
    for p in real:
        if p.name not in present:
            problems.append("no overload accepts %s" % p.name)
        elif p.kind == P.POSITIONAL_OR_KEYWORD and p.name not in positional_somewhere:
            problems.append("no overload passes %s by position" % p.name)
        if p.default is not P.empty and p.name not in omittable:
            problems.append("no overload lets %s be omitted" % p.name)
    return problems


def stub_path(module):
    """The stub beside the library that was imported."""
    return os.path.join(os.path.dirname(module.__file__),
                        module.__name__.rsplit(".", 1)[-1] + ".pyi")


class StubsMatchFunctions(unittest.TestCase):

    def check_module(self, dotted):
        # Modules land one by one; test_linkage insists on all five.
        if importlib.util.find_spec(dotted) is None:
            self.skipTest("%s is not built" % dotted)
        module = importlib.import_module(dotted)
        path = stub_path(module)
        self.assertTrue(os.path.isfile(path), "no stub beside %s" % module.__file__)
        with open(path) as f:
            stub = parse_stub(f.read())
        public = {n for n in vars(module) if not n.startswith("_")}
        self.assertEqual(public, PUBLIC_FUNCTIONS[dotted])
        self.assertEqual(set(stub), public, "functions declared by %s" % path)
        for name in sorted(public):
            with self.subTest(function=name):
                sig = inspect.signature(getattr(module, name))
                self.assertEqual(signature_problems(sig, stub[name]), [])

    def test_read(self):
        self.check_module("pelmo.list.read")

    def test_write(self):
        self.check_module("pelmo.list.write")

    def test_count(self):
        self.check_module("pelmo.list.count")

    def test_sprell(self):
        self.check_module("pelmo.list.strutils.sprell")

    def test_ambrel(self):
        self.check_module("pelmo.list.ambrel")

    def test_every_module_has_a_stub_in_the_source(self):
        source = os.environ.get("PELMO_SOURCE",
                                os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
        self.assertEqual(set(PUBLIC_FUNCTIONS), set(KNOWN_MODULES))
        for dotted in KNOWN_MODULES:
            path = os.path.join(source, "src", *dotted.split(".")) + ".pyi"
            with open(path) as f:
                self.assertEqual(set(parse_stub(f.read())), PUBLIC_FUNCTIONS[dotted], path)
        self.assertTrue(os.path.isfile(os.path.join(source, "src", "pelmo", "list", "py.typed")))


def _sig(text):
    ns = {}
    exec(text, ns)
    return inspect.signature(ns["f"])


class ComparisonCatchesMistakes(unittest.TestCase):
    """The comparison must reject stubs that would mislead a type checker."""

    def problems(self, real, stub):
        return signature_problems(_sig(real), parse_stub(stub)["f"])

    def test_plain_defs(self):
        real = "def f(a, b=' ', *args, **kw): pass"
        self.assertEqual(self.problems(real, "def f(a, b: str = ' ', *args, **kw): ..."), [])
        self.assertEqual(self.problems(real, "def f(a, b=..., *args, **kw): ..."), [])
        for wrong in ("def f(a, c=' ', *args, **kw): ...",      # name
                      "def f(a, b, *args, **kw): ...",          # default missing
                      "def f(a, b='', *args, **kw): ...",       # default value
                      "def f(a, b=' ', **kw): ...",             # *args missing
                      "def f(a, *args, b=' ', **kw): ...",      # kind
                      "def f(a=1, b=' ', *args, **kw): ..."):   # default invented
            with self.subTest(stub=wrong):
                self.assertNotEqual(self.problems(real, wrong), [])

    def test_overloads(self):
        real = "def f(n, s='', func=None): pass"
        good = ("@overload\ndef f(n, s='') -> int: ...\n"
                "@overload\ndef f(n, s, func) -> str: ...\n"
                "@overload\ndef f(n, s='', *, func) -> str: ...\n")
        self.assertEqual(self.problems(real, good), [])
        for wrong in (
                # func can never be given
                "@overload\ndef f(n, s='') -> int: ...\n@overload\ndef f(n, s) -> str: ...\n",
                # func only by keyword
                "@overload\ndef f(n, s='') -> int: ...\n@overload\ndef f(n, *, func) -> str: ...\n",
                # skips s but passes func by position
                "@overload\ndef f(n) -> int: ...\n@overload\ndef f(n, func) -> str: ...\n",
                # leaves out the required n
                "@overload\ndef f(s='') -> int: ...\n@overload\ndef f(n, s, func) -> str: ...\n",
                # wrong literal
                "@overload\ndef f(n, s='x') -> int: ...\n@overload\ndef f(n, s, func) -> str: ...\n"):
            with self.subTest(stub=wrong):
                self.assertNotEqual(self.problems(real, wrong), [])

    def test_malformed_overloads(self):
        with self.assertRaises(ValueError):
            parse_stub("def f(a): ...\ndef f(b): ...\n")
        with self.assertRaises(ValueError):
            parse_stub("@overload\ndef f(a): ...\n")


def _mypy():
    """A command that runs mypy, or None (Debian: apt-get install python3-mypy)."""
    import shutil
    import subprocess
    for cmd in ([shutil.which("mypy")], ["/usr/bin/python3", "-m", "mypy"]):
        if cmd[0] and os.path.exists(cmd[0]) and subprocess.run(
                cmd + ["--version"], stdout=subprocess.DEVNULL,
                stderr=subprocess.DEVNULL).returncode == 0:
            return cmd
    return None


USAGE = """
from pelmo.list.read import read, read_split
from pelmo.list.write import write
from pelmo.list.count import elemcount
from pelmo.list.ambrel import ambrel
from pelmo.list.strutils.sprell import str_sprell, multi_str_sprell
reveal_type(read(2))
reveal_type(read(2, "> ", int))
reveal_type(read(2, func=float))
reveal_type(read_split())
reveal_type(read_split("", None, int))
reveal_type(write([1, 2], sep=","))
reveal_type(elemcount([1, 2]))
reveal_type(elemcount(iter("ab")))
reveal_type(ambrel(["1"], int, base=16))
reveal_type(multi_str_sprell(",", "a,b"))
reveal_type(multi_str_sprell(b",", b"a,b"))
reveal_type(str_sprell(1, 2))
"""
REVEALED = ["builtins.list[builtins.str]", "builtins.list[builtins.int]",
            "builtins.list[builtins.float]", "builtins.list[builtins.str]",
            "builtins.list[builtins.int]", "None", "builtins.dict[builtins.int, builtins.int]",
            "builtins.dict[builtins.str, Any]", "builtins.list[builtins.int]",
            "builtins.list[builtins.str]", "builtins.list[builtins.bytes]", "None"]


@unittest.skipUnless(_mypy(), "mypy is not installed")
class StubsTypeCheck(unittest.TestCase):
    """A type checker accepts the stubs and infers what the functions return."""

    def test_mypy(self):
        import re
        import subprocess
        import tempfile
        source = os.environ.get("PELMO_SOURCE",
                                os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
        with tempfile.TemporaryDirectory() as tmp:
            use = os.path.join(tmp, "use.py")
            with open(use, "w") as f:
                f.write(USAGE)
            run = subprocess.run(
                _mypy() + ["--python-version", "3.7", "--strict", "--no-incremental",
                           "--cache-dir", os.path.join(tmp, "cache"), use],
                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, universal_newlines=True,
                cwd=tmp, env=dict(os.environ, MYPYPATH=os.path.join(source, "src")))
        revealed = re.findall(r'Revealed type is "(.*)"', run.stdout)
        self.assertEqual(revealed, REVEALED, run.stdout)
        self.assertNotIn("error:", run.stdout)


if __name__ == "__main__":
    unittest.main()
