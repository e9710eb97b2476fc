"""write does the builtin print's work itself when the captured `print` is
the interpreter's own. The same script runs twice in fresh interpreters:
once so, once with `print` replaced before the import by a
functools.partial of itself, which write can only call through its call
slot (and which adds no frame or recursion level of its own). Every outcome
must be the same, and the same as print's."""
import unittest

import support

SCRIPT = r"""
import builtins, functools, io, os, re, sys, traceback
if os.environ.get("PELMO_PRINT_GENERIC"):
    builtins.print = functools.partial(builtins.print)
import frametest
from pelmo.list.write import write
from support import recursion_failure

LOG = []
MISSING = object()


class Rec:                       # a write method in Python
    def write(self, s):
        LOG.append(("w", s))
        return len(s)


class SubIO(io.StringIO):        # the builtin write, found through the type
    pass


def sub_io():                    # found anew: with an exception pending, the
    SubIO.changed = None         # lookup of write clears it and fails (as it
    return SubIO()               # does whenever the method cache misses)


class PyIO(io.StringIO):         # the builtin write overridden in Python
    def write(self, s):
        LOG.append(("py", s))
        return super().write(s)


class Foreign:                   # another type's builtin write: refuses to bind
    write = io.StringIO.write


class NoWrite:
    pass


def shadowed():                  # an instance attribute before the type's method
    f = io.StringIO()
    f.write = lambda s: LOG.append(("inst", s))
    return f


def with_dict():                 # an instance dict without `write`
    f = sub_io()
    f.mode = "w"
    return f


class Text(str):
    def __str__(self):
        LOG.append(("str", str.__str__(self)))
        return "<" + str.__str__(self) + ">"


class Loud:
    def __init__(self, action):
        self.action = action

    def __str__(self):
        return self.action()


def boom():
    raise ArithmeticError("in __str__")


class Other:
    def write(self, s):
        LOG.append(("other", s))


OTHER = Other()


def switch():                    # rebinds sys.stdout while it is being printed to
    sys.stdout = OTHER
    LOG.append(("switched",))
    return "s"


class Dropped:                   # a stdout referred to by sys.stdout only
    def write(self, s):
        LOG.append(("old", s))

    def __del__(self):
        LOG.append(("del",))


def drop():
    sys.stdout = OTHER
    return "d"


def py_write(ls, sep=" ", end="\n"):
    for i in range(len(ls) - 1):
        print(ls[i], end=sep)
    if len(ls) == 0: return None
    print(ls[len(ls) - 1], end=end)


def entry(f):                    # py_write's lines stand for write's
    if f.name == "py_write":
        return f.lineno - py_write.__code__.co_firstlineno + 1, "pelmo.list.write.write"
    return f.lineno, f.name


def run(func, file, args):
    del LOG[:]
    saved = sys.stdout
    if file is MISSING:
        del sys.stdout
    else:
        sys.stdout = file
    try:
        outcome = ("ok", func(*args))
    except Exception as e:
        where = [entry(f) for f in traceback.extract_tb(e.__traceback__) if f.name != "run"]
        outcome = (type(e).__name__, re.sub("0x[0-9a-f]+", "0x?", str(e)), type(e.__cause__).__name__, where)
    finally:
        sys.stdout = saved
    text = file.getvalue() if isinstance(file, io.StringIO) else None
    return outcome, list(LOG), text


def none():
    return None


def missing():
    return MISSING


FILES = [Rec, io.StringIO, sub_io, PyIO, shadowed, with_dict, Foreign, NoWrite, frametest.cfile, none, missing]
INPUTS = [
    ([1, "a", None, 2.5],), ([1, 2], "-", "."), ([1, 2], None, None), ([1, 2, 3], 5), ([1], 5),
    ([1, 2], " ", b"x"), ([1], None, Text("e")), ([Text("x"), 2], Text(",")), ([], 5, 5), ("abc",),
    ([Loud(boom), 1],), ([1, Loud(boom)],), ([Loud(lambda: 5)],), ([Loud(switch), 2],),
    ([2, 0, 3],), ([2, 1],),     # the misbehaving builtin write: null without error; result with error
    # items from an item slot that leaves an exception pending: print is
    # entered with it, and where it writes nothing (sys.stdout None), its
    # success is what the interpreter's result check turns into an error
    (frametest.cfile([2, 1, 3]),), (frametest.cfile([1]),),
    (frametest.cfile([2, 0]),),  # an item slot's null without error: as in a Python frame
]
if hasattr(sys, "gettotalrefcount"):  # a debug interpreter aborts when a native slot misbehaves
    FILES.remove(frametest.cfile)
    INPUTS = [i for i in INPUTS if not isinstance(i[0], type(frametest.cfile()))]

cases = {}
for make in FILES:
    for i, args in enumerate(INPUTS):
        cases[make.__name__, i] = run(write, make(), args), run(py_write, make(), args)


def printing(file, ls):
    def call():
        saved, sys.stdout = sys.stdout, file
        try:
            write(ls)
        finally:
            sys.stdout = saved
    return call


# The builtin print of 3.7 keeps using a stdout that an element's __str__
# has released (sys.stdout was its last reference); the print done in place
# holds it until the print is over.
del LOG[:]
if not os.environ.get("PELMO_PRINT_GENERIC"):
    saved, sys.stdout = sys.stdout, Dropped()
    try:
        write([Loud(drop), 2])
    finally:
        sys.stdout = saved
dropped = list(LOG)

sys.setrecursionlimit(300)
limits = [recursion_failure(printing(make(), ls)) for make in (io.StringIO, Rec, PyIO, frametest.cfile)
          for ls in (["x", "y"], [Text("z")])]
sys.stdout.write(repr((cases, limits, dropped)))
"""


class InlinePrintTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.inline, cls.generic = support.both_ways(SCRIPT, "PELMO_PRINT_GENERIC")

    def test_same_as_through_the_call_slot(self):
        support.assertSameCases(self, self.inline[0], self.generic[0])
        self.assertEqual(self.inline[1], self.generic[1])
        for failure in self.inline[1]:
            depth, (message, where) = failure
            self.assertRegex(message, "^maximum recursion depth exceeded")

    def test_same_as_print(self):
        # Outcome, message, traceback (the native entry where the Python
        # version has its line), the writes made and the text.
        for key, (native, ref) in self.inline[0].items():
            with self.subTest(case=key):
                self.assertEqual(native, ref)

    def test_where_it_matters(self):
        # A few outcomes spelled out, so that both runs cannot agree on a fault.
        cases = self.inline[0]
        self.assertEqual(cases["missing", 0][0][0],
                         ("RuntimeError", "lost sys.stdout", "NoneType", [(3, "pelmo.list.write.write")]))
        self.assertEqual(cases["none", 3][0], (("ok", None), [], None))
        self.assertEqual(cases["StringIO", 1][0], (("ok", None), [], "1-2."))
        self.assertEqual(cases["shadowed", 2][0][1], [("inst", "1"), ("inst", "\n"), ("inst", "2"), ("inst", "\n")])
        self.assertEqual(cases["Foreign", 4][0][0][1],
                         "descriptor 'write' for '_io.StringIO' objects doesn't apply to 'Foreign' object")
        if not support.PYDEBUG:
            self.assertEqual(cases["cfile", 14][0][0][:3],
                             ("SystemError", "<built-in method write of frametest.CFile object at 0x?> "
                              "returned NULL without setting an error", "NoneType"))
            self.assertEqual(cases["none", 16][0][0], ("SystemError", "<built-in function print> returned a result "
                                                       "with an error set", "ValueError", [(3, "pelmo.list.write.write")]))
        self.assertEqual(cases["Rec", 13][0][1],
                         [("switched",), ("w", "s"), ("w", " "), ("other", "2"), ("other", "\n")])
        self.assertEqual(cases["StringIO", 13][0][1:], ([("switched",), ("other", "2"), ("other", "\n")], "s "))

    def test_stdout_released_while_printing(self):
        self.assertEqual(self.inline[2], [("old", "d"), ("old", " "), ("del",), ("other", "2"), ("other", "\n")])


if __name__ == "__main__":
    unittest.main()
