"""pelmo.list.write: write(ls, sep=" ", end="\\n").

The order of Python-level operations is observed through an event log that
both the sequence under test (length queries, subscriptions) and a stand-in
for sys.stdout (what the captured `print` writes) append to.
"""
import ast
import collections
import contextlib
import sys
import unittest

from support import CallChecks, run_python, tb_file, src_file, entries

from pelmo.list.write import write

TB = tb_file("pelmo", "list", "write")
NAME = "pelmo.list.write.write"


def at(line):
    return (TB, line, NAME)


class Out:
    """sys.stdout stand-in: every write is an event."""

    def __init__(self, log):
        self.log = log

    def write(self, text):
        self.log.append(("out", text))
        return len(text)

    def flush(self):
        pass


class Seq:
    """A sequence that logs its length queries and subscriptions. `lens`,
    when given, supplies the answers of successive length queries (an
    exception instance is raised)."""

    def __init__(self, items, log, lens=None):
        self.items = list(items)
        self.log = log
        self.lens = iter(lens) if lens is not None else None

    def __len__(self):
        self.log.append(("len",))
        if self.lens is None:
            return len(self.items)
        n = next(self.lens)
        if isinstance(n, BaseException):
            raise n
        return n

    def __getitem__(self, i):
        self.log.append(("get", i))
        return self.items[i]


class Loud:
    """An element whose conversion to text runs code (and may fail)."""

    def __init__(self, text, action=None):
        self.text = text
        self.action = action

    def __str__(self):
        if self.action:
            self.action()
        return self.text


def log_of(args):
    return args[0].log if args and isinstance(args[0], Seq) else []


def printed(log):
    return "".join(e[1] for e in log if e[0] == "out")


def run(*args, **kwargs):
    """Calls write with stdout captured; returns (result, log, output)."""
    log = log_of(args)
    with contextlib.redirect_stdout(Out(log)):
        result = write(*args, **kwargs)
    return result, log, printed(log)


def native_entries(exc):
    return [e for e in entries(exc) if e[0] == TB]


def run_failing(test, exc_type, message, line, *args, **kwargs):
    """Expects write to fail with exactly one entry of its own, at `line`;
    code that write called (and that raised) may follow that entry."""
    log = log_of(args)
    with contextlib.redirect_stdout(Out(log)):
        exc = test.assertFails(exc_type, message, None, write, *args, **kwargs)
    test.assertEqual(native_entries(exc), [at(line)])
    return exc, log, printed(log)


class OutputTest(unittest.TestCase):
    def test_outputs(self):
        d = collections.deque
        cases = [
            # (ls, args, kwargs, expected output)
            ([], (), {}, ""),
            ([], (5, 6), {}, ""),
            ([7], (), {}, "7\n"),
            ([1, 2, 3], (), {}, "1 2 3\n"),
            ([1, 2, 3], (", ", ".\n"), {}, "1, 2, 3.\n"),
            ((1, "b"), ("-",), {}, "1-b\n"),
            ("abc", (), {}, "a b c\n"),
            ({0: "x", 1: "y"}, (), {}, "x y\n"),
            (range(3), ("",), {"end": ""}, "012"),
            (d([4, 5, 6]), (), {}, "4 5 6\n"),
            ([1, 2], (None,), {}, "1\n2\n"),
            ([1, 2], (), {"end": None}, "1 2\n"),
            ([1, 2], (), {"sep": None, "end": None}, "1\n2\n"),
            # sep is never used for a single element, so an invalid one is fine
            ([7], (5,), {}, "7\n"),
            (set(), (), {}, ""),
            # keyword forms
            ([1, 2], (), {"end": "!", "sep": "+"}, "1+2!"),
        ]
        for ls, args, kwargs, expected in cases:
            with self.subTest(ls=ls, args=args, kwargs=kwargs):
                result, _, output = run(ls, *args, **kwargs)
                self.assertIsNone(result)
                self.assertEqual(output, expected)

    def test_all_by_keyword(self):
        result, _, output = run(**{"end": ".", "ls": [1, 2], "sep": ","})
        self.assertIsNone(result)
        self.assertEqual(output, "1,2.")

    def test_subclass_getitem_is_honoured(self):
        class Shout(list):
            def __getitem__(self, i):
                return str(list.__getitem__(self, i)).upper()

        class Pair(tuple):
            def __getitem__(self, i):
                return tuple.__getitem__(self, i) * 2

        self.assertEqual(run(Shout(["a", "b"]))[2], "A B\n")
        self.assertEqual(run(Pair((1, 2)))[2], "2 4\n")


class OrderTest(unittest.TestCase):
    """Length queries, fetches and printing, in order."""

    def test_event_order(self):
        E = "\n"
        cases = [
            # (items, lens, expected log)
            ([], None, [("len",), ("len",)]),
            (["a"], None, [("len",), ("len",), ("len",), ("get", 0), ("out", "a"), ("out", E)]),
            (["a", "b", "c"], None,
             [("len",), ("get", 0), ("out", "a"), ("out", " "), ("get", 1), ("out", "b"), ("out", " "),
              ("len",), ("len",), ("get", 2), ("out", "c"), ("out", E)]),
            # the loop bound comes from the first query only
            (["a", "b", "c"], [2, 3, 3],
             [("len",), ("get", 0), ("out", "a"), ("out", " "), ("len",), ("len",), ("get", 2),
              ("out", "c"), ("out", E)]),
            # empty at the second query: nothing more happens
            (["a", "b"], [2, 0],
             [("len",), ("get", 0), ("out", "a"), ("out", " "), ("len",)]),
            # empty only at the third query: element -1 is requested
            (["a", "b", "c"], [3, 3, 0],
             [("len",), ("get", 0), ("out", "a"), ("out", " "), ("get", 1), ("out", "b"), ("out", " "),
              ("len",), ("len",), ("get", -1), ("out", "c"), ("out", E)]),
        ]
        for items, lens, expected in cases:
            with self.subTest(items=items, lens=lens):
                log = []
                result, got, _ = run(Seq(items, log, lens))
                self.assertIsNone(result)
                self.assertEqual(got, expected)

    def test_element_converted_after_fetch(self):
        log = []
        items = [Loud("x", lambda: log.append(("str", 0))), Loud("y", lambda: log.append(("str", 1)))]
        run(Seq(items, log))
        self.assertEqual(log, [("len",), ("get", 0), ("str", 0), ("out", "x"), ("out", " "),
                               ("len",), ("len",), ("get", 1), ("str", 1), ("out", "y"), ("out", "\n")])

    def test_growing_list_prints_last_of_third_length(self):
        ls = []
        ls.extend([Loud("a", lambda: ls.append("new")), "b", "c"])
        _, _, output = run(ls)
        # indexes 0 and 1 of the first length 3, then ls[3] of the length 4
        self.assertEqual(output, "a b new\n")


class SequenceSlotTest(CallChecks, unittest.TestCase):
    """A type with an item slot and no subscript slot (a deque subclass with
    its own __len__) gets the last index made non-negative by one more length
    query, where an OverflowError is ignored."""

    def make(self, fourth, *more):
        log = []

        class Counted(collections.deque):
            answers = iter([2, 2, 0, fourth, *more])

            def __len__(self):
                log.append(("len",))
                n = next(self.answers)
                if isinstance(n, BaseException):
                    raise n
                return n

        return Counted(["a", "b"]), log

    def test_length_added(self):
        ls, log = self.make(2)
        with contextlib.redirect_stdout(Out(log)):
            write(ls)
        self.assertEqual(log, [("len",), ("out", "a"), ("out", " "), ("len",), ("len",), ("len",),
                               ("out", "b"), ("out", "\n")])

    def test_overflow_ignored(self):
        for fourth in (OverflowError("too big"), 2 ** 70):
            with self.subTest(fourth=fourth):
                ls, log = self.make(fourth)
                with contextlib.redirect_stdout(Out(log)):
                    # -1 reaches the deque's own item slot unchanged
                    self.assertFails(IndexError, "deque index out of range", at(5), write, ls)
                self.assertEqual(log, [("len",), ("out", "a"), ("out", " "), ("len",), ("len",), ("len",)])

    def test_overflow_ignored_before_an_item_slot_that_takes_it(self):
        # frametest's CFile hands -1 on to its items, whose own length (the
        # fifth answer) turns it into the last index.
        import frametest
        items, log = self.make(2 ** 70, 2)
        with contextlib.redirect_stdout(Out(log)):
            self.assertIsNone(write(frametest.cfile(items)))
        self.assertEqual(log, [("len",), ("out", "a"), ("out", " "), ("len",), ("len",), ("len",), ("len",),
                               ("out", "b"), ("out", "\n")])

    def test_other_length_error_fails(self):
        ls, log = self.make(ValueError("no length"))
        with contextlib.redirect_stdout(Out(log)):
            exc = self.assertFails(ValueError, "no length", None, write, ls)
        self.assertEqual(native_entries(exc), [at(5)])


class FailureTest(CallChecks, unittest.TestCase):
    def test_body_failures(self):
        def gen():
            yield 1

        shrinking = []
        shrinking.extend([Loud("a", lambda: shrinking.clear()), "b", "c"])
        cases = [
            # (ls, args, exception, message, line, expected output)
            (gen(), (), TypeError, "object of type 'generator' has no len()", 2, ""),
            (5, (), TypeError, "object of type 'int' has no len()", 2, ""),
            ({1, 2}, (), TypeError, "'set' object is not subscriptable", 3, ""),
            ({1}, (), TypeError, "'set' object is not subscriptable", 5, ""),
            ({5: "a", 6: "b"}, (), KeyError, "0", 3, ""),
            ({5: "a"}, (), KeyError, "0", 5, ""),
            ([1, 2, 3], (5,), TypeError, "end must be None or a string, not int", 3, ""),
            ([1, 2, 3], (" ", 5), TypeError, "end must be None or a string, not int", 5, "1 2 "),
            (shrinking, (), IndexError, "list index out of range", 3, "a "),
        ]
        for ls, args, exc_type, message, line, output in cases:
            with self.subTest(ls=ls, args=args):
                _, _, got = run_failing(self, exc_type, message, line, ls, *args)
                self.assertEqual(got, output)

    def test_length_failures(self):
        for lens, line, printed in (([ValueError("q1")], 2, ""),
                                    ([3, ValueError("q2")], 4, "a b "),
                                    ([3, 3, ValueError("q3")], 5, "a b ")):
            with self.subTest(line=line):
                seq = Seq("abc", [], lens)
                exc, _, got = run_failing(self, ValueError, None, line, seq)
                self.assertEqual(got, printed)

    def test_failure_in_called_code(self):
        def boom():
            raise ArithmeticError("inside")

        for ls, line in (([Loud("a", boom), "b"], 3), (["a", Loud("b", boom)], 5)):
            with self.subTest(line=line):
                log = []
                with contextlib.redirect_stdout(Out(log)):
                    exc = self.assertFails(ArithmeticError, "inside", None, write, ls)
                # the native entry sits directly before the Python frames it called
                self.assertEqual([e[2] for e in entries(exc)[-3:]], [NAME, "__str__", "boom"])
                self.assertEqual(entries(exc)[-3], at(line))

    def test_getitem_failures(self):
        class Bad:
            def __init__(self, n, bad):
                self.n, self.bad = n, bad

            def __len__(self):
                return self.n

            def __getitem__(self, i):
                if i == self.bad:
                    raise LookupError("no %d" % i)
                return i

        for n, bad, line, printed in ((3, 1, 3, "0 "), (3, 2, 5, "0 1 "), (1, 0, 5, "")):
            with self.subTest(n=n, bad=bad):
                _, _, got = run_failing(self, LookupError, "no %d" % bad, line, Bad(n, bad))
                self.assertEqual(got, printed)


class BindingTest(CallChecks, unittest.TestCase):
    def test_binding_failures(self):
        least = "write() takes at least 1 positional argument (0 given)"
        cases = [
            ((), {}, least),
            ((), {"sep": ","}, least),
            ((), {"x": 1}, least),
            ((1, 2, 3, 4), {}, "write() takes at most 3 positional arguments (4 given)"),
            ((1, 2, 3, 4, 5), {"x": 1}, "write() takes at most 3 positional arguments (5 given)"),
            (([1],), {"ls": [2]}, "write() got multiple values for keyword argument 'ls'"),
            (([1], " ", "\n"), {"sep": ","}, "write() got multiple values for keyword argument 'sep'"),
            (([1],), {"x": 1}, "write() got an unexpected keyword argument 'x'"),
            (([1],), {"end": "", "x": 1}, "write() got an unexpected keyword argument 'x'"),
        ]
        for args, kwargs, message in cases:
            with self.subTest(args=args, kwargs=kwargs):
                _, log, output = run_failing(self, TypeError, message, 1, *args, **kwargs)
                self.assertEqual(output, "")

    def test_keyword_name_compared_by_eq(self):
        class Name(str):
            __hash__ = str.__hash__

            def __eq__(self, other):
                if str(other) != "sep":
                    return False
                if self.startswith("raise"):
                    raise RuntimeError("compared")
                return True

        _, _, output = run([1, 2], **{Name("anything"): "+"})
        self.assertEqual(output, "1+2\n")
        run_failing(self, RuntimeError, "compared", 1, [1, 2], **{Name("raise"): "+"})

    def test_non_string_keyword(self):
        with self.assertRaises(TypeError) as cm:
            write([1], **{1: 2})
        self.assertIn("keywords must be strings", str(cm.exception))


class ObjectTest(unittest.TestCase):
    def test_function_and_code(self):
        import pelmo.list.write as mod

        self.assertIs(mod.write, write)
        self.assertEqual(mod.__test__, {})
        self.assertEqual(write.__defaults__, (" ", "\n"))
        self.assertIsNone(write.__kwdefaults__)
        self.assertEqual((write.__name__, write.__qualname__, write.__module__), ("write", "write", mod.__name__))
        self.assertIsNone(write.__doc__)
        code = write.__code__
        self.assertEqual(code.co_varnames, ("ls", "sep", "end", "i"))
        self.assertEqual((code.co_argcount, code.co_kwonlyargcount, code.co_nlocals), (3, 0, 4))
        self.assertEqual(code.co_flags & 0xF, 3)
        self.assertEqual((code.co_filename, code.co_name, code.co_firstlineno),
                         (src_file("pelmo", "list", "write"), "write", 1))

    def test_no_leaks(self):
        # Successes and failures alike release what they took.
        item = object.__new__(Loud)
        item.text, item.action = "x", None
        sep = "".join(["-", "-"])
        before = sys.getrefcount(item), sys.getrefcount(sep)
        for _ in range(50):
            run([item, item, item], sep)
            run((item,), sep)
            with contextlib.redirect_stdout(Out([])):
                with self.assertRaises(TypeError):
                    write([item, item], 5)
                with self.assertRaises(KeyError):
                    write({1: item}, sep)
        self.assertEqual((sys.getrefcount(item), sys.getrefcount(sep)), before)


class CapturedPrintTest(unittest.TestCase):
    """`print` is looked up once, at import; these need fresh interpreters."""

    def test_print_swapped_before_import(self):
        proc = run_python("""
            import builtins, sys
            calls = []
            def recorder(*args, **kwargs):
                calls.append((args, dict(kwargs)))
                ends.append(kwargs["end"])
            ends = []
            builtins.print = recorder
            from pelmo.list.write import write
            import pelmo.list.write as mod
            write([1, 2, 3])
            same = [e is write.__defaults__[i] for e, i in zip(ends, (0, 0, 1))]
            write([])
            write(["x"], 5, None)
            write(("a", "b"), sep=".", end="!")
            def other(*args, **kwargs):
                calls.append("other")
            builtins.print = other          # after the import: no effect
            mod.print = other               # a module global: no effect either
            write([9])
            sys.stdout.write(repr((calls, same)))
            """)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        calls, same = ast.literal_eval(proc.stdout)
        self.assertEqual(calls, [
            ((1,), {"end": " "}), ((2,), {"end": " "}), ((3,), {"end": "\n"}),
            (("x",), {"end": None}),
            (("a",), {"end": "."}), (("b",), {"end": "!"}),
            ((9,), {"end": "\n"}),
        ])
        # the omitted arguments are the very objects __defaults__ reports
        self.assertEqual(same, [True, True, True])

    def test_print_swapped_after_import(self):
        proc = run_python("""
            import builtins
            from pelmo.list.write import write
            builtins.print = lambda *a, **k: None
            write([1, 2], "+")
            """)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        self.assertEqual(proc.stdout, "1+2\n")

    def test_missing_builtins_fail_import(self):
        for removed, name in ((("range", "print"), "range"), (("print",), "print"), (("range",), "range")):
            with self.subTest(removed=removed):
                proc = run_python("""
                    import builtins, sys, traceback
                    for n in %r:
                        delattr(builtins, n)
                    try:
                        import pelmo.list.write
                    except NameError as e:
                        f = traceback.extract_tb(e.__traceback__)[-1]
                        sys.stdout.write(repr((str(e), f.filename, f.lineno, f.name)))
                    """ % (removed,))
                self.assertEqual(proc.returncode, 0, proc.stderr)
                self.assertEqual(ast.literal_eval(proc.stdout),
                                 ("name '%s' is not defined" % name, TB, 1, "init pelmo.list.write"))

    def test_failure_points_have_own_c_lines(self):
        proc = run_python("""
            import sys, traceback, io, contextlib
            from pelmo.list.write import write
            sys.modules["cython_runtime"].cline_in_traceback = True
            names = []
            for ls, sep in (({1, 2}, " "), ([1, 2], 5), ([], " "), (5, " ")):
                try:
                    with contextlib.redirect_stdout(io.StringIO()):
                        write(ls, sep)
                except TypeError as e:
                    names.append(traceback.extract_tb(e.__traceback__)[-1].name)
            sys.stdout.write(repr(names))
            """)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        names = ast.literal_eval(proc.stdout)
        self.assertEqual(len(names), 3)
        for n in names:
            self.assertRegex(n, r"^pelmo\.list\.write\.write \(src/pelmo/list/write:\d+\)$")
        self.assertEqual(len(set(names)), 3)


if __name__ == "__main__":
    unittest.main()
