"""pelmo.list.count: what elemcount returns and raises, its binding, its code
object and the module's namespace. Hostile arguments are in test_hostile.py;
the function type and the frame, shown through elemcount, in test_frame.py."""
import sys
import unittest

import pelmo.list.count as count_mod
from pelmo.list.count import elemcount
from support import CallChecks, entries, src_file, tb_file

FILE = tb_file("pelmo", "list", "count")
NAME = "pelmo.list.count.elemcount"


class ResultTest(CallChecks, unittest.TestCase):

    def test_counts_in_order_of_first_occurrence(self):
        cases = [([], {}), ((), {}), (iter([]), {}), (set(), {}),
                 ([3, 1, 3, 2, 1, 3], {3: 3, 1: 2, 2: 1}),
                 ("abca", {"a": 2, "b": 1, "c": 1}), (b"aba", {97: 2, 98: 1}),
                 ([1, True, 1.0], {1: 3})]
        for ls, expected in cases:
            with self.subTest(ls=ls):
                self.assertEqual(list(elemcount(ls).items()), list(expected.items()))
        # Equal elements collapse onto the first one met.
        self.assertIs(type(next(iter(elemcount([1, True, 1.0])))), int)

    def test_own_iteration_and_count(self):
        class L(list):
            def __iter__(self):
                return iter([2, 2, 5])

            def count(self, v):
                return "n%d" % v  # stored as it is
        self.assertEqual(elemcount(L([9])), {2: "n2", 5: "n5"})

    def test_failures(self):
        it = iter([1, 2])
        for ls, exc_type, line in [([[1], [1]], TypeError, 6), (it, AttributeError, 6), (5, TypeError, 3),
                                   ({1: 2}, AttributeError, 6)]:
            with self.subTest(ls=ls):
                self.assertFails(exc_type, None, (FILE, line, NAME), elemcount, ls)
        self.assertEqual(list(it), [])  # consumed before `count` was looked up


class BindingTest(CallChecks, unittest.TestCase):

    def test_count_errors(self):
        cases = [
            ((), {}, "elemcount() takes exactly 1 positional argument (0 given)"),
            ((1, 2), {}, "elemcount() takes exactly 1 positional argument (2 given)"),
            ((1, 2), {"x": 1}, "elemcount() takes exactly 1 positional argument (2 given)"),
            ((), {"x": 1}, "elemcount() takes exactly 1 positional argument (0 given)"),
            ((1,), {"ls": 2}, "elemcount() got multiple values for keyword argument 'ls'"),
            ((1,), {"x": 2}, "elemcount() got an unexpected keyword argument 'x'"),
            ((), {"ls": [], "x": 2}, "elemcount() got an unexpected keyword argument 'x'"),
        ]
        for args, kwargs, message in cases:
            with self.subTest(args=args, kwargs=kwargs):
                self.assertFails(TypeError, message, (FILE, 1, NAME), elemcount, *args, **kwargs)

    def test_keywords(self):
        self.assertEqual(elemcount(ls=[2, 2]), {2: 2})
        self.assertEqual(elemcount(**{"l" + "s": (1,)}), {1: 1})  # equal, not identical

        class Name(str):
            def __eq__(self, other):
                return other == "ls"
            __hash__ = str.__hash__
        name = {Name("other"): "aa"}
        self.assertEqual(elemcount(**name), {"a": 2})

        class Raising(str):
            def __eq__(self, other):
                raise KeyError("compared")
            __hash__ = str.__hash__
        raising = {Raising("zz"): 1}
        exc = self.assertFails(KeyError, None, None, lambda: elemcount(**raising))
        self.assertEqual(exc.args, ("compared",))
        self.assertEqual(entries(exc)[-2:][0], (FILE, 1, NAME))
        # A str subclass is compared by code points once only the parser is left.
        self.assertFails(TypeError, "elemcount() got an unexpected keyword argument 'zz'", (FILE, 1, NAME),
                         lambda: elemcount([], **raising))


class CodeAndModuleTest(unittest.TestCase):

    def test_code_object(self):
        code = elemcount.__code__
        self.assertEqual(code.co_varnames, ("ls", "vis", "l", "v"))
        self.assertEqual((code.co_argcount, code.co_kwonlyargcount, code.co_nlocals), (1, 0, 4))
        self.assertEqual(code.co_flags & 0xF, 3)
        self.assertEqual((code.co_filename, code.co_name, code.co_firstlineno),
                         (src_file("pelmo", "list", "count"), "elemcount", 1))
        self.assertEqual((code.co_code, code.co_consts, code.co_names), (b"", (), ()))

    def test_module_attributes(self):
        d = vars(count_mod)
        self.assertIs(d["__builtins__"], sys.modules["builtins"])
        self.assertEqual(d["__test__"], {})
        self.assertIsNone(count_mod.__doc__)
        self.assertEqual(count_mod.__package__, "pelmo.list")
        self.assertTrue(count_mod.__file__.endswith(".so"))
        self.assertNotIn("__path__", d)
        self.assertEqual(sorted(k for k in d if not k.startswith("__")), ["elemcount"])


if __name__ == "__main__":
    unittest.main()
