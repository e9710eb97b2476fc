"""elemcount on plain values (exact lists and tuples of int, bool, float,
str, bytes and None; exact str and bytes), which it counts by hashing,
against the general algorithm, which a subclass of the same type takes: the
same dict, with the same key objects in the same order and the same values."""
import gc
import os
import random
import struct
import sys
import time
import unittest

from pelmo.list.count import elemcount
from support import assertSameRecursionFailures, run_python, traced_peak

SLOW = bool(os.environ.get("PELMO_SLOW_TOOL"))


class L(list):
    pass


class T(tuple):
    pass


class S(str):
    pass


class B(bytes):
    pass


def for_general(ls):
    """A copy of `ls` that elemcount counts by the general algorithm."""
    return {list: L, tuple: T, str: S, bytes: B}[type(ls)](ls)


def general(ls):
    """elemcount of `ls` through the general algorithm."""
    return elemcount(for_general(ls))


def pool():
    """Plain values whose equality and hashing cross types and collide:
    hash(-1) == hash(-2), hash(2**61 - 1) == hash(0), hash('a') == hash(b'a'),
    2**53 + 1 != 2.0**53 with neighbouring hashes, NaNs equal only to
    themselves, and fresh objects equal to earlier ones."""
    nan = float("nan")
    values = [0, 1, -1, -2, 2, 255, 256, 257, 2**30, 2**31, 2**53, 2**53 + 1, 2**61 - 1, 2**61, -(2**61 - 1),
              2**64, 2**100, -(2**100), True, False, 0.0, -0.0, 1.0, 0.5, -1.0, 2.0**53, 2.0**64, 2.0**100,
              float("inf"), float("-inf"), nan, nan, float("nan"), "", "a", "ab", "\xe9", "\u0100", "\u4e2d",
              "\U0001f600", "a" * 40, b"", b"a", b"ab", b"\xff", None]
    fresh = [int(str(v)) for v in values if type(v) is int] + [float(repr(v)) for v in values if type(v) is float]
    fresh += ["".join(["a", "b"]), "".join(["a"] * 40), bytes([97, 98])]
    return values + fresh


class SameDictTest(unittest.TestCase):

    def assertSameDict(self, got, want, keys_identical=True):
        self.assertIs(type(got), dict)
        self.assertEqual(len(got), len(want))
        for (k, v), (k2, v2) in zip(got.items(), want.items()):
            if keys_identical:
                self.assertIs(k, k2)
            else:
                self.assertIs(type(k), type(k2))
                self.assertEqual(k, k2)
            self.assertIs(type(v), int)
            self.assertEqual(v, v2)
        # Grown the same way: not presized, not shrunk.
        self.assertEqual(sys.getsizeof(got), sys.getsizeof(want))

    def test_generated_lists_and_tuples(self):
        rnd = random.Random(12)
        values = pool()
        for trial in range(300 if SLOW else 2000):
            items = [rnd.choice(values) for _ in range(rnd.randrange(60))]
            for ls in (items, tuple(items)):
                with self.subTest(trial=trial, type=type(ls).__name__):
                    self.assertSameDict(elemcount(ls), general(ls))

    def test_named_inputs(self):
        nan = float("nan")
        cases = [
            ([], {}),
            ((), {}),
            ([1, True, 1.0], {1: 3}),
            ([True, 1.0, 1], {True: 3}),
            ([0, -0.0, False, 0.0], {0: 4}),
            ([nan, nan, float("nan")], None),       # one object twice, another once
            ([2**53 + 1, 2.0**53, 2**53], {2**53 + 1: 1, 2.0**53: 2}),
            ([b"a", "a", 97], {b"a": 1, "a": 1, 97: 1}),
            ([None, None, 0], {None: 2, 0: 1}),
        ]
        for ls, want in cases:
            with self.subTest(ls=ls):
                got = elemcount(ls)
                self.assertSameDict(got, general(ls))
                if want is not None:
                    self.assertEqual(list(got.items()), list(want.items()))
        self.assertEqual(list(elemcount([nan, nan, float("nan")]).values()), [2, 1])

    def test_many_distinct(self):
        # More keys than the table starts with, and counts that are not
        # cached small ints.
        for ls in ([i % 2500 for i in range(3000)], ["k%d" % (i % 2100) for i in range(2400)],
                   [float(i % 7) for i in range(3000)], [5] * 1000 + [5.0] * 300):
            with self.subTest(first=ls[0], n=len(ls)):
                self.assertSameDict(elemcount(ls), general(ls))

    def test_strings_and_bytes(self):
        rnd = random.Random(7)
        texts = ["", "abcab", "h\xe9llo w\xf6rld", "\u4e2d\u6587\u4e2d", "\U0001f600a\U0001f600b",
                 "".join(chr(rnd.randrange(0x110000)) for _ in range(2000)),
                 "".join(chr(rnd.randrange(0x3000)) for _ in range(2000))]
        for s in texts:
            with self.subTest(s=s[:10]):
                # 1-character strings beyond Latin-1 are new objects each time.
                self.assertSameDict(elemcount(s), general(s), keys_identical=max(s, default="\0") < "\u0100")
        for b in (b"", b"aba", bytes(range(256)) * 3 + b"xyz", bytes(rnd.randrange(256) for _ in range(3000))):
            with self.subTest(b=b[:10]):
                self.assertSameDict(elemcount(b), general(b))


class TableMemoryTest(unittest.TestCase):
    # The table (tally.h) starts with room for 2**(bits - 1) entries (key,
    # hash, count) and 2**bits slots (entry numbers), bits the least from 3
    # to 12 with room for every item, and doubles when a new key finds it
    # full. Before the dict is built it frees the slots and, from 64 KiB of
    # entries, packs them into keys and counts only. The general algorithm's
    # peak includes the same dict.
    SLOT, ENTRY, PACKED = struct.calcsize("I"), struct.calcsize("Pnn"), struct.calcsize("Pn")

    def test_few_distinct_values_keep_the_table_at_its_first_size(self):
        for ls in ([1, 2, 3], [0] * 10**6, [i % 5 for i in range(1024)], (None, "ab", 2.5) * 500,
                   "\u4e2d\u6587" * 512):
            bits = max(3, min(12, (len(ls) - 1).bit_length() + 1))
            table = 2**bits * self.SLOT + 2**(bits - 1) * self.ENTRY
            with self.subTest(type=type(ls).__name__, n=len(ls), table=table):
                self.assertLessEqual(traced_peak(elemcount, ls), table + traced_peak(elemcount, for_general(ls)))

    def test_many_keys_leave_the_packed_entries_beside_the_dict(self):
        # 2500 keys: the table last doubles to 2**12 entries, with old and new
        # slots, 2**12 + 2**13; then only the entries, packed, stay beside the
        # dict, which has its last size from 1366 keys on.
        n = 2500
        for ls in (list(range(n)), "".join(map(chr, range(0x4e00, 0x4e00 + n)))):
            with self.subTest(type=type(ls).__name__):
                table = 2**12 * (self.ENTRY + 3 * self.SLOT)
                dict_phase = n * self.PACKED + traced_peak(elemcount, for_general(ls))
                self.assertLessEqual(traced_peak(elemcount, ls), max(table, dict_phase))


class GeneralPathTest(unittest.TestCase):

    def test_one_other_item_sends_the_input_to_the_general_algorithm(self):
        log = []

        def logging(base):
            def __eq__(self, other):
                log.append((base.__name__, other))
                return base.__eq__(self, other)
            return type("My" + base.__name__, (base,), {"__eq__": __eq__, "__hash__": base.__hash__})

        class Obj:
            def __eq__(self, other):
                log.append(("Obj", other))
                return self is other
            __hash__ = object.__hash__

        for other in (logging(str)("a"), logging(int)(1), logging(float)(1.0), logging(bytes)(b"a"), Obj()):
            for make in (list, tuple):
                with self.subTest(other=type(other).__name__, type=make.__name__):
                    ls = make([1, "a", other, 1.0, b"a"])
                    log.clear()
                    got = elemcount(ls)
                    seen = list(log)
                    log.clear()
                    want = general(ls)
                    self.assertTrue(seen)
                    self.assertEqual(seen, log)
                    self.assertEqual(list(got.items()), list(want.items()))

    def test_plain_inputs_are_counted_in_linear_time(self):
        # The general algorithm compares every element with every distinct
        # one; on these inputs it is hundreds of times slower.
        rnd = random.Random(3)
        inputs = [list(range(3000)), tuple(range(3000)),
                  "".join(chr(0x100 + i % 2000) for i in range(4000)),
                  "".join(chr(rnd.randrange(256)) for _ in range(50000)),
                  bytes(rnd.randrange(256) for _ in range(50000))]
        for ls in inputs:
            with self.subTest(type=type(ls).__name__, n=len(ls)):
                fast = min(self.seconds(elemcount, ls) for _ in range(3))
                slow = self.seconds(general, ls)
                self.assertLess(fast * 10, slow)

    @staticmethod
    def seconds(f, ls):
        t0 = time.perf_counter()
        f(ls)
        return time.perf_counter() - t0


class RecursionLimitTest(unittest.TestCase):

    def test_limit_met_where_the_general_algorithm_meets_it(self):
        # Near the limit the hashing gives way to the general algorithm,
        # whose count call and comparisons fail there; int against float is
        # a comparison the hashing makes itself.
        assertSameRecursionFailures(self, """
from pelmo.list.count import elemcount
from test_count_fast import L, T, S, B
pairs = [(lambda v=v: elemcount(v), lambda w=w: elemcount(w)) for v, w in
         [([1j], L([1j])), ([1, 1.0], L([1, 1.0])), ((0, float("nan"), 0.0), T((0, float("nan"), 0.0))),
          ("abca", S("abca")), (b"ab", B(b"ab"))]]
""")


class CollectorTest(unittest.TestCase):

    def test_finalizer_run_by_the_first_allocation_changes_the_list(self):
        # The first object the call allocates starts a collection whose
        # finalizer changes the list; the dict counts the list as changed,
        # by hashing or, once a non-plain item is in it, by the general path.
        class Obj:
            pass
        other = Obj()
        for change, want in ((lambda ls: ls.extend([3, 2.0]), [(1, 1), (2, 3), (3, 1)]),
                             (lambda ls: ls.__setitem__(0, other), [(other, 1), (2, 2)]),
                             (lambda ls: ls.clear(), [])):
            for make in (list, L):
                with self.subTest(want=want, type=make.__name__):
                    ls = make([1, 2, 2])
                    events = []

                    class Garbage:
                        def __del__(self):
                            events.append("collected")
                            change(ls)
                    threshold = gc.get_threshold()
                    gc.collect()
                    gc.disable()
                    try:
                        g = Garbage()
                        g.cycle = g
                        del g
                        gc.set_threshold(1)
                        gc.enable()
                        events.append("call")
                        got = elemcount(ls)
                    finally:
                        gc.set_threshold(*threshold)
                        gc.enable()
                    self.assertEqual(events, ["call", "collected"])
                    self.assertEqual(list(got.items()), want)


BYTES_WARNINGS = r"""
import sys, traceback, warnings
from pelmo.list.count import elemcount
class L(list): pass
def run(ls):
    with warnings.catch_warnings(record=True) as w:
        if sys.flags.bytes_warning < 2:
            warnings.simplefilter("always")
        try:
            r = elemcount(ls)
            out = ("ok", [(k, v) for k, v in r.items()])
        except BaseException as e:
            out = ("raised", type(e).__name__, str(e), traceback.extract_tb(e.__traceback__)[-1][:3])
    return out, [(str(x.message), x.category.__name__) for x in w]
for items in ([b'a', 'a'], ['a', b'a'], [1, b'a', b'a'], [b'x', True], [b'a', 1.0, None, b'a'],
              [b'a', b'b'], ['a', 1, 1.0], [b'a', 2.0**70, 2**70]):
    for ls in (items, tuple(items)):
        fast, slow = run(ls), run(L(ls))
        print(fast == slow, fast)
"""


class BytesWarningTest(unittest.TestCase):

    def test_bytes_warnings_and_errors_as_the_general_algorithm_gives_them(self):
        for flag, warns in (("-b", "BytesWarning"), ("-bb", "raised")):
            with self.subTest(flag=flag):
                r = run_python(BYTES_WARNINGS, args=[flag])
                self.assertEqual(r.returncode, 0, r.stderr)
                lines = r.stdout.splitlines()
                self.assertEqual(len(lines), 16)
                self.assertTrue(all(line.startswith("True ") for line in lines), r.stdout)
                self.assertIn(warns, r.stdout)


FALLBACK = r"""
import allocfail
from pelmo.list.count import elemcount
ls = {ls}
def call():
    return elemcount(ls)
want = [(k, v) for k, v in call().items()]
allocfail.freeze()
def attempt(k):
    r, err, reached = allocfail.hooked(call, k)
    got = None if r is None else [(k, v) for k, v in r.items()]
    return reached, repr(err), len(got or ()) == len(want) and all(
        (a is c or type(ls) is str) and a == c and type(a) is type(c) and b == d
        for (a, b), (c, d) in zip(got or (), want))
k = 0
while True:
    reached, err, same = allocfail.run_in_child(attempt, k).payload
    print(k, reached, err, same, sep="|")
    if not reached:
        break
    k += 1
"""


class MemoryFailureTest(unittest.TestCase):

    def test_any_one_failing_allocation_falls_back_to_the_general_algorithm(self):
        try:
            import _testcapi  # noqa: F401
        except ImportError:
            self.skipTest("no _testcapi")
        # One allocation fails: if it is the hashing's, the general algorithm
        # then runs with all the memory it needs; either way the result is right.
        # list(range(2731)): enough keys for the table to pack its entries.
        for ls in ("[i % 300 for i in range(3000)] + [2**64, 2.0**64, 1.5]", "bytes(range(256)).decode('latin-1') * 2",
                   "'h\\xe9llo' * 50 + '\\u4e2d'", "bytes(range(256))", "list(range(2731))"):
            with self.subTest(ls=ls):
                r = run_python(FALLBACK.format(ls=ls), timeout=300)
                self.assertEqual(r.returncode, 0, r.stderr[-2000:])
                rows = [line.split("|") for line in r.stdout.splitlines()]
                self.assertGreater(len(rows), 1)
                self.assertEqual([row[1] for row in rows], ["True"] * (len(rows) - 1) + ["False"])
                for k, reached, err, same in rows:
                    self.assertEqual((err, same), ("None", "True"), "allocation %s" % k)


if __name__ == "__main__":
    unittest.main()
