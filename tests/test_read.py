"""pelmo.list.read: read and read_split, their default converters, binding,
defaults and traceback entries. Standard input is swapped in-process where
that suffices; real pipes and import-time capture run in fresh interpreters."""
import json
import re
import unittest

from support import CallChecks, assertSameRecursionFailures, console, entries, run_python, src_file, tb_file

import pelmo.list.read as mod
from pelmo.list.read import read, read_split

FILE = tb_file("pelmo", "list", "read")
LAMBDA = read.__defaults__[1]
LAMBDA1 = read_split.__defaults__[2]


def run_json(test, code, stdin=None):
    """Runs code in a fresh interpreter and parses the JSON of its last line."""
    proc = run_python(code, stdin=stdin)
    test.assertEqual(proc.returncode, 0, proc.stderr)
    return json.loads(proc.stdout.splitlines()[-1])


class ReadBody(CallChecks, unittest.TestCase):
    def test_lines_with_defaults_and_prompts(self):
        with console("a\n  b \n\nrest\n") as (log, stdin, out):
            self.assertEqual(read(3), ["a", "  b ", ""])
            self.assertEqual(out.getvalue(), "")
            self.assertEqual(stdin.read(), "rest\n")
        with console("1\n2\n") as (log, stdin, out):
            self.assertEqual(read(2, "> ", int), [1, 2])
            self.assertEqual(out.getvalue(), "> > ")

    def test_reading_and_converting_interleave(self):
        with console("x\ny\n") as (log, stdin, out):
            result = read(2, func=lambda line: log.append(("func", line)) or line.upper())
        self.assertEqual(result, ["X", "Y"])
        self.assertEqual(log, [("line", "x\n"), ("func", "x"), ("line", "y\n"), ("func", "y")])

    def test_no_iteration_reads_nothing_and_ignores_func(self):
        for n in (0, -3, False):
            with console("unread\n") as (log, stdin, out):
                self.assertEqual(read(n, "> ", 42), [])
                self.assertEqual((log, out.getvalue()), ([], ""))

    def test_non_callable_func_after_reading_one_line(self):
        with console("first\nsecond\n") as (log, stdin, out):
            self.assertRaisesAt(TypeError, "'int' object is not callable", (FILE, 2, "pelmo.list.read.read"),
                             read, 3, "? ", 42)
            self.assertEqual(out.getvalue(), "? ")
            self.assertEqual(stdin.read(), "second\n")

    def test_every_kind_of_n_counts_as_range_does(self):
        class Index:
            def __index__(self):
                return 2

        class Int(int):
            pass
        # n, the result (or the exception), the readline calls made
        cases = [(2, ["a", "b"], 2), (True, ["a"], 1), (Int(2), ["a", "b"], 2), (Index(), ["a", "b"], 2),
                 (-(2 ** 70), [], 0), (2 ** 70, EOFError, 3)]
        for n, expected, reads in cases:
            with self.subTest(n=n), console("a\nb\n") as (log, stdin, out):
                if expected is EOFError:
                    self.assertFails(EOFError, None, (FILE, 2, "pelmo.list.read.read"), read, n)
                else:
                    self.assertEqual(read(n), expected)
                self.assertEqual(len(log), reads)

    def test_recursion_limit_met_by_the_call_of_range(self):
        # An exact int is counted without making the range, but never
        # where the call of range (or the comparisons it makes) would fail.
        assertSameRecursionFailures(self, """
import io, sys
from pelmo.list.read import read
class Int(int):
    pass
sys.stdin = io.StringIO("x\\n" * 10000)
pairs = [(lambda n=n: read(n), lambda n=n: read(Int(n))) for n in (0, 2, -1)] + [(lambda: read(0), lambda: read(False))]
""")

    def test_recursion_limit_met_by_each_kind_of_func_as_by_its_call(self):
        # func is prepared once per call, and each kind entered as call_one
        # enters it: one guarded level, then the callee's Python code (here
        # always the same function, f).
        assertSameRecursionFailures(self, """
import codecs, functools, io, sys
from pelmo.list.read import read_split
def deep(n=8):
    return deep(n - 1) if n else None
def f(*args):
    return deep() if args[-1] == "zz" else None
class C:
    f = f
codecs.register(f)
def fed(func):
    sys.stdin = io.StringIO("zz zz\\n")
    return read_split("", " ", func)
pairs = [(lambda k=k: fed(k), lambda: fed(f)) for k in (C().f, functools.partial(f), codecs.lookup)]
""")

    def test_n_rejected_by_range(self):
        for n in ("3", 2.0, None):
            with console("unread\n") as (log, stdin, out):
                self.assertRaisesAt(TypeError, None, (FILE, 2, "pelmo.list.read.read"), read, n)
                self.assertEqual(log, [])

    def test_eof_and_func_errors_at_line_2(self):
        with console("only\n") as (log, stdin, out):
            self.assertRaisesAt(EOFError, "EOF when reading a line", (FILE, 2, "pelmo.list.read.read"), read, 3, ">")
            self.assertEqual(out.getvalue(), ">>")
        with console("1\nx\n3\n") as (log, stdin, out):
            self.assertRaisesAt(ValueError, None, (FILE, 2, "pelmo.list.read.read"), read, 3, "", int)
            self.assertEqual(stdin.read(), "3\n")

    def test_python_func_frame_follows_native_entry(self):
        def boom(line):
            raise KeyError(line)
        with console("k\n"):
            exc = self.assertRaisesAt(KeyError, None, None, read, 1, "", boom)
        self.assertEqual(entries(exc)[-2], (FILE, 2, "pelmo.list.read.read"))
        self.assertEqual(entries(exc)[-1][2], "boom")


class ReadSplitBody(CallChecks, unittest.TestCase):
    CASES = [
        # line, extra args, expected pieces
        ("a b c", (), ["a", "b", "c"]),
        ("", (), [""]),
        ("a  b", (), ["a", "", "b"]),
        (" a\tb ", (), ["", "a\tb", ""]),
        ("  a \t b  ", (None,), ["a", "b"]),
        (" \t ", (None,), []),
        ("a,b,,c", (",",), ["a", "b", "", "c"]),
        ("a--b", ("--",), ["a", "b"]),
    ]

    def test_separators(self):
        for line, extra, expected in self.CASES:
            with self.subTest(line=line, extra=extra), console(line + "\nnext\n") as (log, stdin, out):
                calls = []
                result = read_split("? ", *extra, func=lambda p: calls.append(p) or (p,))
                self.assertEqual(result, [(p,) for p in expected])
                self.assertEqual(calls, expected)
                self.assertEqual(out.getvalue(), "? ")
                self.assertEqual(stdin.read(), "next\n")
        with console("x y\n"):
            self.assertEqual(read_split(), ["x", "y"])

    def test_line_split_completely_before_func(self):
        with console("p q\n") as (log, stdin, out):
            read_split(func=lambda p: log.append(("func", p)))
        self.assertEqual(log, [("line", "p q\n"), ("func", "p"), ("func", "q")])

    def test_failures_at_line_4_consume_the_line(self):
        entry = (FILE, 4, "pelmo.list.read.read_split")
        cases = [
            (ValueError, "empty separator", ("", "")),
            (TypeError, None, ("", 5)),
            (TypeError, "'int' object is not callable", ("", " ", 7)),
            (ZeroDivisionError, None, ("", " ", lambda p: 1 / 0)),
        ]
        for exc_type, message, args in cases:
            with self.subTest(args=args), console("a b\nkept\n") as (log, stdin, out):
                self.assertRaisesAt(exc_type, message, entry, read_split, *args)
                self.assertEqual(stdin.read(), "kept\n")
        with console(""):
            self.assertRaisesAt(EOFError, None, entry, read_split)
        with console("   \n"):  # no pieces: a non-callable func is never called
            self.assertEqual(read_split("", None, 7), [])


class Binding(CallChecks, unittest.TestCase):
    def test_failures(self):
        class Raising(str):
            __hash__ = str.__hash__

            def __eq__(self, other):
                raise LookupError("compared")

        def case(func, line, name, exc, message, *args, kw=None, **more):
            return func, (FILE, line, "pelmo.list.read." + name), exc, message, args, dict(kw or {}, **more)

        T = TypeError
        cases = [
            case(read, 1, "read", T, "read() takes at least 1 positional argument (0 given)"),
            case(read, 1, "read", T, "read() takes at least 1 positional argument (0 given)", s="> "),
            case(read, 1, "read", T, "read() takes at least 1 positional argument (0 given)", x=1),
            case(read, 1, "read", T, "read() takes at most 3 positional arguments (4 given)", 1, 2, 3, 4),
            case(read, 1, "read", T, "read() takes at most 3 positional arguments (5 given)", 1, 2, 3, 4, 5, x=1),
            case(read, 1, "read", T, "read() got an unexpected keyword argument 'x'", 1, x=1),
            case(read, 1, "read", T, "read() got multiple values for keyword argument 'n'", 1, n=2),
            case(read, 1, "read", T, "read() got multiple values for keyword argument 's'", 1, "", None, s=""),
            case(read, 1, "read", LookupError, "compared", 1, kw={Raising("s"): 1}),
            case(read, 1, "read", LookupError, "compared", kw={Raising("n"): 1}),
            case(read_split, 3, "read_split", T, "read_split() takes at most 3 positional arguments (4 given)",
                 1, 2, 3, 4),
            case(read_split, 3, "read_split", T, "read_split() got an unexpected keyword argument 'n'", n=1),
            case(read_split, 3, "read_split", T, "read_split() got multiple values for keyword argument 's'",
                 "a", s="b"),
            case(read_split, 3, "read_split", LookupError, "compared", kw={Raising("spl"): 1}),
        ]
        for fn, name, line in ((LAMBDA, "lambda", 1), (LAMBDA1, "lambda1", 3)):
            cases += [
                case(fn, line, name, T, name + "() takes exactly 1 positional argument (0 given)"),
                case(fn, line, name, T, name + "() takes exactly 1 positional argument (0 given)", x=1),
                case(fn, line, name, T, name + "() takes exactly 1 positional argument (2 given)", 1, 2),
                case(fn, line, name, T, name + "() takes exactly 1 positional argument (2 given)", 1, 2, s=3),
                case(fn, line, name, T, name + "() got multiple values for keyword argument 's'", 1, s=2),
                case(fn, line, name, T, name + "() got an unexpected keyword argument 'y'", 1, y=2),
                case(fn, line, name, LookupError, "compared", kw={Raising("s"): 1}),
            ]
        for func, entry, exc, message, args, kw in cases:
            with self.subTest(func=func.__name__, args=args, kw=kw), console("unread\n") as (log, _, _):
                self.assertRaisesAt(exc, message, entry, lambda: func(*args, **kw))
                self.assertEqual(log, [])

    def test_successful_bindings(self):
        class Equal(str):  # matched by its own __eq__, not by identity
            __hash__ = str.__hash__

            def __eq__(self, other):
                return other == "spl"

        with console("1  2\n3\n") as (log, stdin, out):
            self.assertEqual(read_split(func=int, **{Equal("sep"): None}, s="? "), [1, 2])
            self.assertEqual(read(func=int, s="> ", n=1), [3])
            self.assertEqual(out.getvalue(), "? > ")
        token = ["not copied"]
        for fn in (LAMBDA, LAMBDA1):
            self.assertIs(fn(token), token)
            self.assertIs(fn(s=token), token)
        self.assertRaisesAt(TypeError, "keywords must be strings", None, lambda: read(1, **{1: 2}))


class Attributes(unittest.TestCase):
    def test_function_objects(self):
        table = [
            (read, "read", "read", 1, ("n", "s", "func", "i")),
            (read_split, "read_split", "read_split", 3, ("s", "spl", "func", "i")),
        ]
        for f, name, qualname, line, varnames in table:
            with self.subTest(name=name):
                self.assertEqual((f.__name__, f.__qualname__, f.__module__, f.__doc__),
                                 (name, qualname, "pelmo.list.read", None))
                self.assertIs(f.__globals__, vars(mod))
                self.assertIsNone(f.__kwdefaults__)
                c = f.__code__
                self.assertEqual((c.co_varnames, c.co_firstlineno, c.co_name, c.co_filename),
                                 (varnames, line, name, src_file("pelmo", "list", "read")))
                self.assertEqual((c.co_argcount, c.co_kwonlyargcount, c.co_nlocals, c.co_flags & 0xF),
                                 (3, 0, 4, 3))
        for f, name, qualname in ((LAMBDA, "lambda", "read.<locals>.<lambda>"),
                                  (LAMBDA1, "lambda1", "read_split.<locals>.<lambda>")):
            with self.subTest(name=name):
                self.assertIs(type(f), type(read))
                self.assertEqual((f.__name__, f.__qualname__, f.__module__, f.__doc__, f.__code__, f.__defaults__),
                                 (name, qualname, "pelmo.list.read", None, None, None))
                self.assertIs(f.__globals__, vars(mod))

    def test_defaults(self):
        self.assertEqual(len(read.__defaults__), 2)
        self.assertEqual(read_split.__defaults__[:2], ("", " "))
        self.assertEqual(len(read_split.__defaults__), 3)
        self.assertIs(read.__defaults__[0], read_split.__defaults__[0])
        self.assertIsNot(LAMBDA, LAMBDA1)
        self.assertIs(read.__defaults__[1], LAMBDA)  # stable across reads
        self.assertIs(read_split.__defaults__[2], LAMBDA1)

    def test_namespace(self):
        self.assertEqual(mod.__test__, {})
        self.assertIs(mod.__builtins__, __import__("builtins"))
        published = {k for k, v in vars(mod).items() if type(v) is type(read)}
        self.assertEqual(published, {"read", "read_split"})


class FreshInterpreter(unittest.TestCase):
    def test_done_when(self):
        proc = run_python("from pelmo.list.read import read; print(read(2, '> ', int))", stdin="3\n4\n")
        self.assertEqual((proc.returncode, proc.stdout, proc.stderr), (0, "> > [3, 4]\n", ""))

    def test_real_stdin_eof_and_consumption(self):
        code = """
            import json, sys, traceback
            from pelmo.list.read import read, read_split
            out = []
            for call in (lambda: read(5, "? "), lambda: read(2, "", 0), lambda: read_split("", "")):
                try:
                    call()
                except Exception as e:
                    f = traceback.extract_tb(e.__traceback__)[-1]
                    out.append([type(e).__name__, f.lineno, f.name, sys.stdin.readline()])
            print(); print(json.dumps(out))
        """
        self.assertEqual(run_json(self, code, stdin="a\nb\n"),
                         [["EOFError", 2, "pelmo.list.read.read", ""],
                          ["EOFError", 2, "pelmo.list.read.read", ""],
                          ["EOFError", 4, "pelmo.list.read.read_split", ""]])
        self.assertEqual(run_json(self, code, stdin="1\n2\n3\n4\n5\n6\n7\n8\n9\n"),
                         [["TypeError", 2, "pelmo.list.read.read", "7\n"],
                          ["ValueError", 4, "pelmo.list.read.read_split", "9\n"]])
        proc = run_python(code, stdin="a\nb\n")
        self.assertTrue(proc.stdout.startswith("? ? ? "), proc.stdout)

    def test_input_captured_at_import(self):
        # Rebinding builtins.input before the import redirects every call:
        # always exactly one argument, and the default func is the identity.
        before = """
            import builtins, json, traceback
            log = []
            token = object()
            class Line:
                def split(self, spl):
                    log.append(["split", spl])
                    return iter("xy")
            def fake(*args):
                log.append(["input"] + list(args))
                return Line() if args == ("L",) else token
            builtins.input = fake
            import pelmo.list.read as m
            got = m.read(2, "p", lambda x: log.append(["func", x is token]) or 1)
            plain = m.read(1)
            pieces = m.read_split("L", None)
            try:
                m.read_split()
            except AttributeError as e:
                failed = list(traceback.extract_tb(e.__traceback__)[-1])[1:3]
            print(json.dumps([log, got, plain[0] is token, pieces, failed]))
        """
        self.assertEqual(run_json(self, before),
                         [[["input", "p"], ["func", True], ["input", "p"], ["func", True], ["input", ""],
                           ["input", "L"], ["split", None], ["input", ""]],
                          [1, 1], True, ["x", "y"], [4, "pelmo.list.read.read_split"]])
        # Rebinding it, or the module attribute, after the import changes nothing.
        after = """
            import builtins, json
            import pelmo.list.read as m
            log = []
            def fake(*args):
                log.append(args)
                return "fake"
            builtins.input = fake
            m.input = fake
            print(); print(json.dumps([m.read(2), m.read_split(), log]))
        """
        self.assertEqual(run_json(self, after, stdin="l1\nl2\nw1 w2\n"), [["l1", "l2"], ["w1", "w2"], []])

    def test_range_captured_at_import(self):
        # A range rebound before the import is called with n, and its items
        # (whatever they are) count the lines.
        code = """
            import builtins, io, json, sys
            log = []
            builtins.range = lambda n: log.append(n) or "xyz"
            import pelmo.list.read as m
            sys.stdin = io.StringIO("a\\nb\\nc\\nd\\n")
            print(json.dumps([m.read(1), log]))
        """
        self.assertEqual(run_json(self, code), [["a", "b", "c"], [1]])

    def test_defaults_assignment_warns_but_calls_keep_theirs(self):
        code = """
            import json, warnings
            from pelmo.list.read import read, read_split
            lam = read.__defaults__[1]
            with warnings.catch_warnings(record=True) as w:
                warnings.simplefilter("always")
                read.__defaults__ = ("X", str.upper)
                read_split.__defaults__ = ("Y", ",", str.upper)
            print(json.dumps([[str(x.message) for x in w], [x.category.__name__ for x in w],
                              read.__defaults__[0], read_split.__defaults__[1], read(1), read_split(),
                              lam("z")]))
        """
        result = run_json(self, code, stdin="ab\nc,d e\n")
        msg = "changes to cyfunction.__defaults__ will not currently affect the values used in function calls"
        self.assertEqual(result, [[msg, msg], ["RuntimeWarning"] * 2, "X", ",", ["ab"], ["c,d", "e"], "z"])

    def test_shared_line_entries_keep_their_names(self):
        code = """
            import json, sys, traceback
            from pelmo.list.read import read, read_split
            lam, lam1 = read.__defaults__[1], read_split.__defaults__[2]
            out = []
            for f in (lam, read, read, lam1, read_split, lam1):
                try:
                    f(1, 2, 3, 4)
                except TypeError as e:
                    t = traceback.extract_tb(e.__traceback__)[-1]
                    out.append([t.filename, t.lineno, t.name])
            out.append(sys.modules["cython_runtime"].cline_in_traceback)
            print(json.dumps(out))
        """
        expect = [[FILE, 1, "pelmo.list.read.lambda"], [FILE, 1, "pelmo.list.read.read"],
                  [FILE, 1, "pelmo.list.read.read"], [FILE, 3, "pelmo.list.read.lambda1"],
                  [FILE, 3, "pelmo.list.read.read_split"], [FILE, 3, "pelmo.list.read.lambda1"], False]
        self.assertEqual(run_json(self, code), expect)

    def test_c_line_names(self):
        code = """
            import json, sys, traceback
            sys.modules.setdefault("cython_runtime", type(sys)("cython_runtime"))
            sys.modules["cython_runtime"].cline_in_traceback = True
            from pelmo.list.read import read, read_split
            calls = [lambda: read(1, 2, 3, 4), lambda: read.__defaults__[1](), lambda: read("x"),
                     lambda: read(1, "", 0), lambda: read_split(1, 2, 3, 4), lambda: read_split("", ""),
                     lambda: read_split("", " ", 0), lambda: read(1), lambda: read_split()]
            names = []
            for call in calls:
                try:
                    call()
                except Exception as e:
                    names.append(traceback.extract_tb(e.__traceback__)[-1].name)
            sys.modules["cython_runtime"].cline_in_traceback = False
            try:
                read()
            except TypeError as e:
                names.append(traceback.extract_tb(e.__traceback__)[-1].name)
            print(json.dumps(names))
        """
        names = run_json(self, code, stdin="a\nb c\nd\n")
        funcs = ["read", "lambda", "read", "read", "read_split", "read_split", "read_split", "read", "read_split"]
        self.assertEqual(len(names), len(funcs) + 1)
        lines = []
        for name, func in zip(names, funcs):
            m = re.fullmatch(r"pelmo\.list\.read\.(\w+) \(src/pelmo/list/read:(\d+)\)", name)
            self.assertIsNotNone(m, name)
            self.assertEqual(m.group(1), func)
            lines.append(int(m.group(2)))
        # Distinct failure points carry distinct C lines.
        self.assertEqual(len(set(lines)), len(lines), names)
        self.assertEqual(names[-1], "pelmo.list.read.read")


if __name__ == "__main__":
    unittest.main()
