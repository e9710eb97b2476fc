"""Hostile arguments: protocols that raise, answer with the wrong type, change
the container being walked or recurse without end; threads that release the
interpreter lock inside callbacks; odd uses of the function type itself.
Every case must end in the right result or the right exception with the
function's traceback entry at the right line."""
import copy
import gc
import io
import os
import pickle
import sys
import threading
import time
import unittest
import warnings
import weakref

import frametest
from pelmo.list.ambrel import ambrel
from pelmo.list.count import elemcount
from pelmo.list.read import read, read_split
from pelmo.list.strutils.sprell import multi_str_sprell, str_sprell
from pelmo.list.write import write
from support import CallChecks, console, entries, run_python, tb_file

COUNT = tb_file("pelmo", "list", "count")
AMBREL = tb_file("pelmo", "list", "ambrel")
WRITE = tb_file("pelmo", "list", "write")
READ = tb_file("pelmo", "list", "read")
SPRELL = tb_file("pelmo", "list", "strutils", "sprell")

FASTCALL = 3  # frametest kind: a fresh function object of the shared type


class Boom(Exception):
    pass


def boom(*args, **kwargs):
    raise Boom("boom")


def reference_error(action):
    """What the interpreter itself raises for `action` (type, message)."""
    try:
        action()
    except Exception as e:
        return type(e), str(e)
    raise AssertionError("expected the reference action to fail")


class Checks(CallChecks):
    def assertRecursion(self, entry, func, *args):
        """func(*args) recurses through Python code until RecursionError;
        every entry of the module is `entry`, the one failing statement."""
        e = self.assertFailure(RecursionError, None, func, *args)
        self.assertTrue(str(e).startswith("maximum recursion depth exceeded"), str(e))
        mine = [x for x in entries(e) if x[0] == entry[0]]
        self.assertGreater(len(mine), 10)
        self.assertEqual(set(mine), {entry})

    def assertNoDepthLeak(self):
        # A Python recursion close to the limit still fits: no failed call
        # left a level of the recursion counter behind.
        def rec(n):
            return 0 if n == 0 else 1 + rec(n - 1)
        self.assertEqual(rec(sys.getrecursionlimit() - 150), sys.getrecursionlimit() - 150)


def captured(func, *args, **kwargs):
    """Calls func with standard output captured; returns (result or exception, text)."""
    saved, sys.stdout = sys.stdout, io.StringIO()
    try:
        try:
            result = func(*args, **kwargs)
        except Exception as e:
            result = e
        return result, sys.stdout.getvalue()
    finally:
        sys.stdout = saved


class Item:
    """An element without other references unless the test keeps one."""

    def __init__(self, tag, on_eq=None, on_str=None):
        self.tag = tag
        self.on_eq = on_eq
        self.on_str = on_str

    def __eq__(self, other):
        if self.on_eq:
            self.on_eq()
        return isinstance(other, Item) and other.tag == self.tag

    __hash__ = object.__hash__

    def __str__(self):
        if self.on_str:
            self.on_str()
        return "<%s>" % self.tag

    def __repr__(self):
        return "Item(%r)" % self.tag


# --- elemcount -------------------------------------------------------------------------

def at_count(line):
    return (COUNT, line, "pelmo.list.count.elemcount")


class ElemcountHostile(Checks, unittest.TestCase):
    def test_iteration_protocol_failures(self):
        class IterRaises:
            __iter__ = boom
        self.assertRaisesAt(Boom, "boom", at_count(3), elemcount, IterRaises())

        class IterWrongType:
            def __iter__(self):
                return 5
        t, msg = reference_error(lambda: iter(IterWrongType()))
        self.assertRaisesAt(t, msg, at_count(3), elemcount, IterWrongType())

        class NextRaises:
            def __init__(self):
                self.n = 0
            def __iter__(self):
                return self
            def __next__(self):
                self.n += 1
                if self.n == 3:
                    raise Boom("third")
                return self.n
            count = boom  # never reached
        self.assertRaisesAt(Boom, "third", at_count(3), elemcount, NextRaises())

    def test_stop_iteration_subclass_ends_first_pass(self):
        class Stop(StopIteration):
            pass

        class Steps(list):
            def __iter__(self):
                items = iter(list.__iter__(self))
                class It:
                    def __iter__(s):
                        return s
                    def __next__(s):
                        for x in items:
                            return x
                        raise Stop("done")
                return It()
        self.assertEqual(elemcount(Steps([2, 1, 2])), {2: 2, 1: 1})

    def test_comparison_and_hash_failures(self):
        class EqRaises(Item):
            def __eq__(self, other):
                raise Boom("eq")
        # the second element is compared with the first: line 4
        self.assertRaisesAt(Boom, "eq", at_count(4), elemcount, [EqRaises(1), EqRaises(2)])

        class BadBool:
            def __bool__(self):
                raise Boom("bool")

        class EqBadBool(Item):
            def __eq__(self, other):
                return BadBool()
        self.assertRaisesAt(Boom, "bool", at_count(4), elemcount, [EqBadBool(1), EqBadBool(2)])

        class HashRaises(Item):
            def __hash__(self):
                raise Boom("hash")
        self.assertRaisesAt(Boom, "hash", at_count(6), elemcount, [HashRaises(1)])

        class HashWrong(Item):
            def __hash__(self):
                return "h"
        t, msg = reference_error(lambda: hash(HashWrong(1)))
        self.assertRaisesAt(t, msg, at_count(6), elemcount, [HashWrong(1)])

    def test_count_failures(self):
        class L(list):
            pass
        def stop(v):
            raise StopIteration("c")
        # StopIteration from the call is a failure of the call, not an end of anything
        for count, exc in ((boom, Boom), (5, TypeError), (stop, StopIteration)):
            ls = L([1, 2])
            ls.count = count
            self.assertRaisesAt(exc, None, at_count(6), elemcount, ls)

        class GetattrRaises(list):
            def __getattribute__(self, name):
                if name == "count":
                    raise KeyError("count")
                return list.__getattribute__(self, name)
        self.assertRaisesAt(KeyError, "'count'", at_count(6), elemcount, GetattrRaises([1]))

    def test_list_cleared_during_first_pass(self):
        # The elements live only in the list: clearing it from __eq__ must
        # not free the element under test or end the walk in a bad state.
        ls = []
        ls.extend(Item(i, on_eq=ls.clear) for i in range(4))
        result = elemcount(ls)
        self.assertEqual(ls, [])
        self.assertEqual([k.tag for k in result], [0, 1])
        self.assertEqual(list(result.values()), [0, 0])  # counted in the cleared list

    def test_list_grown_during_first_pass(self):
        ls = [Item(0)]
        grown = []

        def grow():
            if len(grown) < 3:
                grown.append(1)
                ls.append(Item(10 + len(grown), on_eq=grow))
        ls[0].on_eq = grow
        ls.append(Item(1, on_eq=grow))
        result = elemcount(ls)
        self.assertEqual([k.tag for k in result], [0, 1, 11, 12, 13])

    def test_count_clears_list_in_second_pass(self):
        class L(list):
            def count(self, v):
                n = list.count(self, v)
                self.clear()
                return n
        ls = L([Item(1), Item(2), Item(1)])
        result = elemcount(ls)
        self.assertEqual([(k.tag, v) for k, v in result.items()], [(1, 2), (2, 0)])

    def test_keyword_values_survive_names_that_clear_the_dict(self):
        # The keyword dict is the caller's own; a name's __eq__ empties it
        # while binding still uses the value found there.
        class Name(str):
            def __eq__(self, other):
                d.clear()
                return str.__eq__("ls", other)
            __hash__ = str.__hash__
        d = {Name("q"): [Item(1), Item(1)]}
        result = elemcount(**d)
        self.assertEqual(d, {})
        self.assertEqual([(k.tag, v) for k, v in result.items()], [(1, 2)])

    def test_binding_reentered_from_a_names_eq(self):
        # A keyword name's __eq__ runs while binding is half done; it calls
        # the same function, which fails and succeeds in its own binding.
        class Name(str):
            def __eq__(self, other):
                try:
                    elemcount(1, 2)
                except TypeError as e:
                    inner.append(entries(e)[-1])
                inner.append(elemcount("aab"))
                return str.__eq__("ls", other)
            __hash__ = str.__hash__
        inner = []
        self.assertEqual(elemcount(**{Name("q"): [5, 5, 6]}), {5: 2, 6: 1})
        self.assertEqual(inner, [at_count(1), {"a": 2, "b": 1}])

        class Deep(str):
            def __eq__(self, other):
                return elemcount(**{Deep("q"): [1]})
            __hash__ = str.__hash__
        for _ in range(20):
            # called here: a helper taking **kwargs would compare the name itself
            try:
                elemcount(**{Deep("q"): [1]})
            except RecursionError as exc:
                e = exc
            else:
                self.fail("no RecursionError")
            mine = [x for x in entries(e) if x[0] == COUNT]
            self.assertGreater(len(mine), 10)
            self.assertEqual(set(mine), {at_count(1)})  # every level failed in its binding
        self.assertNoDepthLeak()

    def test_recursion_through_python_count(self):
        class L(list):
            def count(self, v):
                return elemcount(self)
        ls = L([1])
        for _ in range(30):
            self.assertRecursion(at_count(6), elemcount, ls)
        self.assertNoDepthLeak()


# --- ambrel ---------------------------------------------------------------------------

def at_ambrel(line):
    return (AMBREL, line, "pelmo.list.ambrel.ambrel")


class AmbrelHostile(Checks, unittest.TestCase):
    def test_func_clears_list_of_unreferenced_items(self):
        ls = [Item(i) for i in range(5)]
        seen = []

        def f(l):
            ls.clear()
            gc.collect()
            seen.append(l.tag)
            return l
        result = ambrel(ls, f)
        self.assertEqual(seen, [0])
        self.assertEqual([x.tag for x in result], [0])

    def test_func_replaces_elements(self):
        ls = [Item(0), Item(1), Item(2)]

        def f(l):
            i = ls.index(l)
            if i + 1 < len(ls):
                ls[i + 1] = Item(l.tag + 100)  # the old one is freed now
            return l.tag
        self.assertEqual(ambrel(ls, f), [0, 100, 200])

    def test_iterator_failures(self):
        class T(tuple):
            __iter__ = boom
        self.assertRaisesAt(Boom, "boom", at_ambrel(2), ambrel, T((1,)), str)

        def gen():
            yield 1
            raise Boom("gen")
        self.assertRaisesAt(Boom, "gen", at_ambrel(2), ambrel, gen(), str)

    def test_stop_iteration_from_func_fails_the_call(self):
        calls = []

        def f(l):
            calls.append(l)
            if l == 2:
                raise StopIteration("not an end")
            return l
        for ls in ([1, 2, 3], (1, 2, 3), iter([1, 2, 3])):
            del calls[:]
            self.assertRaisesAt(StopIteration, "not an end", at_ambrel(2), ambrel, ls, f)
            self.assertEqual(calls, [1, 2])

    def test_callee_changes_its_keywords_and_arguments(self):
        def f(l, *args, **kwargs):
            kwargs["added"] = l
            kwargs.pop("k", None)
            return (l, args, sorted(kwargs.items()))
        self.assertEqual(ambrel([1, 2], f, 9, k=3),
                         [(1, (9,), [("added", 1)]), (2, (9,), [("added", 2)])])

    def test_native_recursion_guard(self):
        # Only native calls: every level is ambrel calling ambrel, each with
        # one extra argument fewer, deeper than the recursion limit.
        ls = []
        ls.append(ls)
        depth = sys.getrecursionlimit() + 50
        e = self.assertFails(RecursionError, "maximum recursion depth exceeded while calling a Python object",
                             at_ambrel(2), ambrel, ls, ambrel, *([ambrel] * depth))
        tb = entries(e)
        self.assertTrue(all(x == at_ambrel(2) for x in tb[1:]), tb[:3])
        self.assertNoDepthLeak()

    def test_python_recursion(self):
        def f(x):
            return ambrel([x], f)
        for _ in range(30):
            self.assertRecursion(at_ambrel(2), ambrel, [1], f)
        self.assertNoDepthLeak()

    def test_func_that_is_not_callable_after_all(self):
        class Call:
            def __getattr__(self, name):
                raise Boom(name)
        t, msg = reference_error(lambda: Call()(1))
        self.assertRaisesAt(t, msg, at_ambrel(2), ambrel, [1], Call())


# --- write ---------------------------------------------------------------------------------

def at_write(line):
    return (WRITE, line, "pelmo.list.write.write")


class Sized:
    """len() answers `length` (or raises it); items come from `items`."""

    def __init__(self, length, items=("a", "b", "c")):
        self.length = length
        self.items = items

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return self.length

    def __getitem__(self, i):
        return self.items[i]


class WriteHostile(Checks, unittest.TestCase):
    def test_length_query_failures(self):
        for length in (Boom("len"), "3", -1, 2 ** 70, 3.0, None):
            with self.subTest(length=length):
                obj = Sized(length)
                t, msg = reference_error(lambda: len(obj))
                result, out = captured(write, obj)
                self.assertIsInstance(result, t)
                self.assertEqual(str(result), msg)
                self.assertOnlyEntry(result, at_write(2))
                self.assertEqual(out, "")

    def test_huge_length_ends_at_the_missing_index(self):
        result, out = captured(write, Sized(sys.maxsize))
        self.assertIsInstance(result, IndexError)
        self.assertOnlyEntry(result, at_write(3))
        self.assertEqual(out, "a b c ")

    def test_item_and_text_failures(self):
        class GetitemRaises(Sized):
            def __getitem__(self, i):
                if i == 1:
                    raise KeyError(i)
                return "x"
        result, out = captured(write, GetitemRaises(3))
        self.assertIsInstance(result, KeyError)
        self.assertOnlyEntry(result, at_write(3))
        self.assertEqual(out, "x ")

        result, out = captured(write, GetitemRaises(2))
        self.assertIsInstance(result, KeyError)
        self.assertOnlyEntry(result, at_write(5))

        class StrWrong:
            def __str__(self):
                return 5
        t, msg = reference_error(lambda: str(StrWrong()))
        for ls, line in (([StrWrong(), 1], 3), ([1, StrWrong()], 5)):
            result, out = captured(write, ls)
            self.assertIsInstance(result, t)
            self.assertEqual(str(result), msg)
            self.assertOnlyEntry(result, at_write(line))

        result, out = captured(write, [1, 2], 5)
        t, msg = reference_error(lambda: print(1, end=5))
        self.assertEqual((type(result), str(result)), (t, msg))
        self.assertOnlyEntry(result, at_write(3))

    def test_list_cleared_by_an_elements_text(self):
        ls = []
        ls.extend([Item("a", on_str=ls.clear), Item("b"), Item("c")])
        result, out = captured(write, ls)
        self.assertIsInstance(result, IndexError)
        self.assertEqual(str(result), "list index out of range")
        self.assertOnlyEntry(result, at_write(3))
        self.assertEqual(out, "<a> ")

    def test_list_shrunk_to_nothing_before_the_last(self):
        # A list emptied by the next-to-last element's text: the second length
        # query sees 0 and the call returns None with nothing more printed.
        ls = []
        ls.extend([Item("a", on_str=ls.clear), Item("b")])
        result, out = captured(write, ls)
        self.assertIsNone(result)
        self.assertEqual(out, "<a> ")

    def test_output_stream_failures(self):
        class Broken:
            def write(self, text):
                raise Boom("write")
        saved, sys.stdout = sys.stdout, Broken()
        try:
            self.assertRaisesAt(Boom, "write", at_write(3), write, [1, 2])
            self.assertRaisesAt(Boom, "write", at_write(5), write, [1])
            sys.stdout = None  # print then writes nothing and succeeds
            self.assertIsNone(write([1, 2]))
        finally:
            sys.stdout = saved

    def test_recursion_through_text(self):
        class Deep:
            def __str__(self):
                write([self])
                return "x"
        saved, sys.stdout = sys.stdout, io.StringIO()
        try:
            for _ in range(20):
                self.assertRecursion(at_write(5), write, [Deep()])
        finally:
            sys.stdout = saved
        self.assertNoDepthLeak()


# --- sprell ------------------------------------------------------------------------------------

def at_sprell(line):
    return (SPRELL, line, "pelmo.list.strutils.sprell.multi_str_sprell")


class SprellHostile(Checks, unittest.TestCase):
    def test_split_failures(self):
        class GetattrRaises:
            def __getattr__(self, name):
                raise KeyError(name)
        self.assertRaisesAt(KeyError, "'split'", at_sprell(6), multi_str_sprell, ",", "a", GetattrRaises())

        class SplitWrong:
            def split(self, sep):
                return 5
        t, msg = reference_error(lambda: [].extend(5))
        self.assertRaisesAt(t, msg, at_sprell(6), multi_str_sprell, ",", SplitWrong())

        class SplitGen:
            def split(self, sep):
                yield "a"
                raise Boom("gen")
        self.assertRaisesAt(Boom, "gen", at_sprell(6), multi_str_sprell, ",", SplitGen())

        class SplitStop:
            def split(self, sep):
                raise StopIteration("no")
        self.assertRaisesAt(StopIteration, "no", at_sprell(6), multi_str_sprell, ",", "a,b", SplitStop())

        class HintRaises:
            def __iter__(self):
                return iter(["x"])
            def __length_hint__(self):
                raise Boom("hint")

        class SplitHint:
            def split(self, sep):
                return HintRaises()
        self.assertRaisesAt(Boom, "hint", at_sprell(6), multi_str_sprell, ",", SplitHint())

    def test_split_changes_a_later_argument(self):
        class A:
            def split(self, sep):
                later.__class__ = B
                return ["a"]

        class B:
            def split(self, sep):
                return ["b", sep]

        class C:
            def split(self, sep):
                return ["c"]
        later = C()
        self.assertEqual(multi_str_sprell("-", A(), later), ["a", "b", "-"])

    def test_recursion(self):
        class R:
            def split(self, sep):
                return multi_str_sprell(sep, self)
        for _ in range(20):
            self.assertRecursion(at_sprell(6), multi_str_sprell, ",", R())
        self.assertNoDepthLeak()
        self.assertIsNone(str_sprell(R(), R()))


# --- read ------------------------------------------------------------------------------------

def with_stdin(lines, func, *args):
    """func(*args) reading `lines` from standard input: its result or exception."""
    with console(lines):
        try:
            return func(*args)
        except Exception as e:
            return e


class ReadHostile(Checks, unittest.TestCase):
    def check(self, exc, exc_type, message, entry):
        self.assertIsInstance(exc, exc_type)
        if message is not None:
            self.assertEqual(str(exc), message)
        self.assertOnlyEntry(exc, entry)

    def test_count_argument_failures(self):
        class IndexRaises:
            def __index__(self):
                raise Boom("index")

        class IndexWrong:
            def __index__(self):
                return "1"
        for n in (IndexRaises(), IndexWrong(), 1.5):
            t, msg = reference_error(lambda: range(n))
            self.check(with_stdin([], read, n), t, msg, (READ, 2, "pelmo.list.read.read"))

    def test_input_failures(self):
        at = (READ, 2, "pelmo.list.read.read")
        self.check(with_stdin(["a\n", Boom("readline")], read, 2), Boom, "readline", at)
        self.check(with_stdin([5], read, 1), TypeError, None, at)
        self.check(with_stdin(["a\n"], read, 2), EOFError, None, at)  # standard input ends

    def test_func_failures(self):
        at = (READ, 2, "pelmo.list.read.read")

        def stop(line):
            raise StopIteration(line)
        self.check(with_stdin(["a\n", "b\n"], read, 2, "", stop), StopIteration, "a", at)
        self.check(with_stdin(["a\n"], read, 1, "", object()), TypeError, None, at)

    def test_read_split_failures(self):
        at = (READ, 4, "pelmo.list.read.read_split")

        class NoSplit(str):
            def __getattribute__(self, name):
                if name == "split":
                    raise Boom("split")
                return str.__getattribute__(self, name)
        self.check(with_stdin([NoSplit("a b")], read_split), Boom, "split", at)

        class SplitWrong(str):
            def split(self, sep):
                return 5
        t, msg = reference_error(lambda: iter(5))
        self.check(with_stdin([SplitWrong("a b")], read_split), t, msg, at)

        def stop(piece):
            raise StopIteration(piece)
        self.check(with_stdin(["a b\n"], read_split, "", " ", stop), StopIteration, "a", at)


# --- threads ---------------------------------------------------------------------------------

class PerThreadOut:
    """Standard output that keeps each thread's text apart."""

    def __init__(self):
        self.texts = {}
        self.lock = threading.Lock()

    def write(self, text):
        time.sleep(0)
        with self.lock:
            self.texts.setdefault(threading.current_thread().name, []).append(text)
        return len(text)

    def flush(self):
        pass


class PerThreadIn:
    def __init__(self):
        self.counts = {}

    def readline(self, *args):
        time.sleep(0)
        me = threading.current_thread().name
        self.counts[me] = self.counts.get(me, 0) + 1
        return "%s %d\n" % (me, self.counts[me])


class Threads(Checks, unittest.TestCase):
    def run_threads(self, work, n=6):
        errors, results = [], {}

        def body(i):
            try:
                results[i] = work(i)
            except BaseException as e:  # reported below, in the main thread
                errors.append((i, e))
        threads = [threading.Thread(target=body, args=(i,)) for i in range(n)]
        saved = sys.getswitchinterval()
        sys.setswitchinterval(1e-6)
        try:
            for t in threads:
                t.start()
            for t in threads:
                t.join()
        finally:
            sys.setswitchinterval(saved)
        self.assertEqual(errors, [])
        return results

    def test_functions_interleaved(self):
        def slow(x, *args, **kwargs):
            if x % 2:
                time.sleep(0)
            else:
                os.stat(".")  # I/O, with the lock released
            return (x, args, kwargs)

        class Slow(Item):
            def __eq__(self, other):
                time.sleep(0)
                return isinstance(other, Item) and other.tag == self.tag
            __hash__ = object.__hash__

        class Splits:
            def __init__(self, text):
                self.text = text
            def split(self, sep):
                time.sleep(0)
                return self.text.split(sep)

        def work(i):
            out = []
            for rep in range(40):
                r = ambrel(range(20), slow, i, k=rep)
                assert r == [(x, (i,), {"k": rep}) for x in range(20)], r
                items = [Slow(j % 3) for j in range(9)]
                c = elemcount(items)
                assert [(k.tag, v) for k, v in c.items()] == [(0, 3), (1, 3), (2, 3)], c
                s = multi_str_sprell(",", Splits("%d,a" % i), Splits("b,%d" % rep))
                assert s == [str(i), "a", "b", str(rep)], s
                # failures on the way, in binding and in bodies
                try:
                    ambrel([1], boom)
                except Boom as e:
                    assert entries(e)[-2] == at_ambrel(2), entries(e)
                try:
                    elemcount(i, rep)
                except TypeError as e:
                    assert entries(e)[-1] == at_count(1), entries(e)
                out.append(rep)
            return out
        results = self.run_threads(work)
        self.assertEqual(sorted(results), list(range(6)))

    def test_write_and_read_interleaved(self):
        out, inp = PerThreadOut(), PerThreadIn()
        saved = sys.stdout, sys.stdin
        sys.stdout, sys.stdin = out, inp
        try:
            def work(i):
                me = threading.current_thread().name
                got = []
                for rep in range(30):
                    write([i, rep, "x"], ",", ";")
                    got.append(read(2, "", str.split))
                    got.append(read_split("", " ", str))
                return me, got
            results = self.run_threads(work)
        finally:
            sys.stdout, sys.stdin = saved
        for i, (me, got) in results.items():
            text = "".join(t for t in out.texts[me] if t != "")
            self.assertEqual(text, "".join("%d,%d,x;" % (i, rep) for rep in range(30)))
            lines = iter(range(1, 91))
            for rep in range(30):
                self.assertEqual(got[2 * rep], [[me, str(next(lines))], [me, str(next(lines))]])
                self.assertEqual(got[2 * rep + 1], [me, str(next(lines))])

    def test_entries_while_the_cline_switch_flips(self):
        # Threads fail at many points of several modules while one thread
        # flips the switch: every entry keeps its file and line, and its name
        # is the plain one or the plain one with a C line.
        import re
        runtime = sys.modules["cython_runtime"]
        saved = runtime.__dict__.get("cline_in_traceback", False)
        stop = []

        class SleepyName(str):
            def __eq__(self, other):
                time.sleep(0)
                return str.__eq__("ls", other)
            __hash__ = str.__hash__

        def flip(i):
            deadline = time.time() + 30
            while not stop and time.time() < deadline:
                runtime.cline_in_traceback = not getattr(runtime, "cline_in_traceback", False)
                time.sleep(0)
            return None

        failures = [
            (lambda: elemcount(), at_count(1)),
            (lambda: elemcount(5), at_count(3)),
            (lambda: elemcount([[1]]), at_count(6)),
            (lambda: elemcount(**{SleepyName("q"): 5, "x": 1}), at_count(1)),
            (lambda: ambrel([1], 5), at_ambrel(2)),
            (lambda: ambrel(func=5), at_ambrel(1)),
            (lambda: multi_str_sprell(",", 5), at_sprell(6)),
            (lambda: write(5), at_write(2)),
        ]

        def work(i):
            if i == 0:
                return flip(i)
            bad = []
            for rep in range(200):
                action, (file, line, name) = failures[(i + rep) % len(failures)]
                try:
                    action()
                except Exception as e:
                    got = entries(e)[-1]
                    if got[:2] != (file, line) or not re.fullmatch(
                            re.escape(name) + r"( \(src/pelmo/[a-z/]+:\d+\))?", got[2]):
                        bad.append(got)
                else:
                    bad.append("no failure")
                if i == 1 and rep == 199:
                    stop.append(1)
            return bad

        try:
            results = self.run_threads(work, n=5)
        finally:
            stop.append(1)
            runtime.cline_in_traceback = saved
        self.assertEqual(results, {0: None, 1: [], 2: [], 3: [], 4: []})

    def test_recursion_limits_are_per_thread(self):
        def work(i):
            def f(x):
                return ambrel([x], f)
            for _ in range(5):
                try:
                    ambrel([1], f)
                except RecursionError:
                    pass
                else:
                    raise AssertionError("no RecursionError")
            return ambrel(range(3), lambda x: x * i)
        results = self.run_threads(work, n=4)
        self.assertEqual(results, {i: [0, i, 2 * i] for i in range(4)})
        self.assertNoDepthLeak()


# --- random hostile scenarios -----------------------------------------------------------------

class CallersOwnKeywordDict(unittest.TestCase):
    """f(**d) hands the function the caller's own dict. When every key names
    a parameter the values are bound straight from it, so a body that runs
    code which empties the dict (and drops the last reference to a value)
    must still hold every value it was given."""

    class Seq:
        """A sequence that can be weakly referenced, with a count method."""

        def __init__(self, items):
            self.items = items

        def __len__(self):
            return len(self.items)

        def __getitem__(self, i):
            return self.items[i]

        def __iter__(self):
            return iter(self.items)

        def count(self, v):
            return self.items.count(v)

    def test_values_outlive_the_dict(self):
        Seq = self.Seq
        cases = [
            # the call of d; the values, given the hook that user code calls; the result
            ("ambrel", lambda d: ambrel(**d),
             lambda hook: {"ls": Seq([1, 2, 3]), "func": lambda x: (hook(), x * 2)[1]}, [2, 4, 6]),
            ("read", lambda d: with_stdin(["a\n", "b\n"], lambda: read(**d)),
             lambda hook: {"n": 2, "func": lambda s: (hook(), s.upper())[1]}, ["A", "B"]),
            ("write", lambda d: captured(lambda: write(**d))[1],
             lambda hook: {"ls": Seq([Item(1, on_str=hook), Item(2, on_str=hook)]), "sep": "-"}, "<1>-<2>\n"),
            ("elemcount", lambda d: [(k.tag, v) for k, v in elemcount(**d).items()],
             lambda hook: {"ls": Seq([Item(1, on_eq=hook), Item(1), Item(2)])}, [(1, 2), (2, 1)]),
        ]
        for name, call, make, expected in cases:
            with self.subTest(name):
                d, refs, alive = {}, [], []

                def hook():
                    d.clear()
                    alive.append(all(r() is not None for r in refs))
                values = make(hook)
                refs.extend(weakref.ref(v) for v in values.values() if not isinstance(v, (int, str)))
                d.update(values)
                del values
                self.assertEqual(call(d), expected)
                self.assertEqual(d, {})
                self.assertTrue(alive and all(alive), alive)


class RandomScenarios(unittest.TestCase):
    """hostile_model.py: scripted containers, elements and callables against
    plain-Python versions of the bodies (the long run: scripts/fuzz_hostile.py)."""

    def test_bodies_agree_with_python(self):
        import hostile_model
        count, mismatches = hostile_model.run(3000, 20261208)
        self.assertEqual(count, 3000)
        self.assertEqual(mismatches[:2], [])

    def test_planted_faults_are_noticed(self):
        import hostile_model as hm

        def write_two_queries(ls, sep=" ", end="\n"):  # the last element found with the second length
            hm.Lines.line = 2
            n = len(ls)
            for i in range(n - 1):
                hm.Lines.line = 3
                print(ls[i], end=sep)
            hm.Lines.line = 4
            k = len(ls)
            if k == 0:
                return None
            hm.Lines.line = 5
            print(ls[k - 1], end=end)

        def elemcount_identity(ls):  # distinctness by identity only
            hm.Lines.line = 2
            vis = []
            for l in ls:
                if not any(l is v for v in vis):
                    vis.append(l)
            hm.Lines.line = 6
            return {v: ls.count(v) for v in vis}

        def ambrel_snapshot(ls, func, *args, **kwargs):  # a copy of the list walked
            hm.Lines.line = 2
            return [func(l, *args, **kwargs) for l in list(ls)]
        for name, ref in (("write", write_two_queries), ("elemcount", elemcount_identity),
                          ("ambrel", ambrel_snapshot)):
            with self.subTest(name=name):
                funcs = hm.functions()
                funcs = {name: (funcs[name][0], ref, funcs[name][2])}
                count, mismatches = hm.run(1500, 7, funcs)
                self.assertGreater(len(mismatches), 0)


# --- the function type ------------------------------------------------------------------------

class FunctionType(Checks, unittest.TestCase):
    T = type(elemcount)

    def fresh(self):
        return frametest.make(FASTCALL, 0, None)

    def test_no_instances_from_python(self):
        class Sub(self.T):
            pass

        class SubNew(self.T):
            def __new__(cls, *args):
                return object.__new__(cls)

        class Plain:
            pass

        class Mixed(Plain, self.T):
            pass

        class SuperNew(self.T):
            def __new__(cls):
                return super().__new__(cls)
        for make in (self.T, Sub, SubNew, Mixed, SuperNew,
                     lambda: object.__new__(self.T), lambda: object.__new__(Sub),
                     lambda: self.T.__new__(self.T)):
            with self.subTest(make=make):
                with self.assertRaises(TypeError):
                    make()
        with self.assertRaises(TypeError):
            elemcount.__class__ = Sub
        # The type's own slots still serve the real functions through a subclass.
        self.assertEqual(Sub.__call__(elemcount, [1, 1]), {1: 2})
        self.assertTrue(Sub.__repr__(elemcount).startswith("<cyfunction elemcount at 0x"))
        with self.assertRaises(TypeError):
            self.T.__call__(object())
        with self.assertRaises(TypeError):
            self.T.__dict__["__qualname__"].__get__(5)

    def test_copy_pickle_and_reduce(self):
        for f in (elemcount, ambrel, write, read, read_split, str_sprell, multi_str_sprell):
            self.assertIs(copy.copy(f), f)
            self.assertIs(copy.deepcopy(f), f)
            self.assertEqual(f.__reduce__(), f.__qualname__)
            for proto in range(pickle.HIGHEST_PROTOCOL + 1):
                self.assertIs(pickle.loads(pickle.dumps(f, proto)), f)
        for lam in (read.__defaults__[1], read_split.__defaults__[2]):
            # its qualified name cannot be looked up in the module
            with self.assertRaises((pickle.PicklingError, AttributeError)):
                pickle.dumps(lam)
        f = self.fresh()
        f.__qualname__ = "no.such.thing"
        with self.assertRaises(pickle.PicklingError):
            pickle.dumps(f)

    def test_get(self):
        self.assertIs(elemcount.__get__(None, int), elemcount)
        bound = elemcount.__get__([3, 3])
        self.assertEqual(bound(), {3: 2})
        self.assertEqual(ambrel.__get__([1, 2])(lambda x, y: x + y, 10), [11, 12])

        class C:
            e = elemcount
            def count(self, v):
                return "counted"
            def __iter__(self):
                return iter("ab")
        self.assertEqual(C().e(), {"a": "counted", "b": "counted"})
        self.assertIs(C.e, elemcount)

    def test_odd_attribute_values(self):
        f = self.fresh()

        class HostileStr(str):
            def __eq__(self, other):
                raise Boom("eq")
            def __hash__(self):
                raise Boom("hash")
            def __str__(self):
                raise Boom("str")
        f.__name__ = HostileStr("nm")
        self.assertIs(type(f.__name__), HostileStr)
        f.__qualname__ = HostileStr("qn")
        self.assertTrue(repr(f).startswith("<cyfunction qn at 0x"))
        for attr, value in (("__name__", 5), ("__qualname__", b"x"), ("__dict__", [1]),
                            ("__annotations__", ()), ("__defaults__", [1]), ("__kwdefaults__", [])):
            with self.subTest(attr=attr):
                with self.assertRaises(TypeError):
                    setattr(f, attr, value)
        for attr in ("__name__", "__qualname__", "__dict__"):
            with self.assertRaises(TypeError):
                delattr(f, attr)
        for attr in ("__code__", "__globals__", "__closure__", "_is_coroutine"):
            with self.assertRaises(AttributeError):
                setattr(f, attr, None)

        class D(dict):
            def __getitem__(self, key):
                raise Boom("getitem")
        f.__dict__ = D(x=1)
        self.assertEqual(f.x, 1)
        f.y = 2
        self.assertEqual(dict(f.__dict__), {"x": 1, "y": 2})
        f.__annotations__ = None
        self.assertEqual(f.__annotations__, {})
        del f.__annotations__
        self.assertEqual(f.__annotations__, {})
        f.__doc__ = 5
        self.assertEqual(f.__doc__, 5)
        del f.__doc__
        self.assertIsNone(f.__doc__)
        f.__module__ = HostileStr("m")
        del f.__module__
        self.assertIsNone(f.__module__)
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            with self.assertRaises(RuntimeWarning):
                f.__defaults__ = (1,)
            with self.assertRaises(RuntimeWarning):
                del f.__kwdefaults__
        self.assertIsNone(f.__defaults__)
        self.assertIsNone(f.__kwdefaults__)
        self.assertEqual(f(1, k=2)[0], "fastcall")  # still callable after all this

    def test_weakrefs_and_collection(self):
        f = self.fresh()
        died = []
        r = weakref.ref(f, lambda ref: died.append(ref))
        p = weakref.proxy(elemcount)
        self.assertEqual(p([1]), {1: 1})
        f.__dict__["me"] = f           # a cycle through the attribute dict
        f.__annotations__ = {"a": f}   # and through the annotations
        del f
        gc.collect()
        self.assertIsNone(r())
        self.assertEqual(died, [r])

        g = self.fresh()
        h = self.fresh()
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            g.__defaults__ = None
            g.__defaults__ = (h,)      # a cycle through the reported defaults
            h.__kwdefaults__ = {"g": g}
        rg, rh = weakref.ref(g), weakref.ref(h)
        del g, h
        gc.collect()
        self.assertIsNone(rg())
        self.assertIsNone(rh())

    def test_coroutine_marker_with_a_broken_asyncio(self):
        # A coroutine-flagged function asks asyncio.coroutines for its marker;
        # whatever goes wrong there is cleared and the answer is True.
        class Broken(type(sys)):
            def __getattr__(self, name):
                raise Boom(name)
        import asyncio
        import asyncio.coroutines
        saved = sys.modules["asyncio.coroutines"], asyncio.coroutines
        try:
            for replacement in (Broken("asyncio.coroutines"), None):
                sys.modules["asyncio.coroutines"] = asyncio.coroutines = replacement
                f = frametest.make(FASTCALL, 8, None)
                self.assertIs(f._is_coroutine, True)
                self.assertIs(f._is_coroutine, True)  # cached
                self.assertIsNone(sys.exc_info()[1])
        finally:
            sys.modules["asyncio.coroutines"], asyncio.coroutines = saved
        self.assertIs(frametest.make(FASTCALL, 8, None)._is_coroutine, asyncio.coroutines._is_coroutine)

    def test_hostile_cline_switch(self):
        # The switch is asked for its truth while an entry is made; a switch
        # whose truth raises, or fails another call of the package (making an
        # entry of its own from inside the first), leaves the call's own
        # exception and entry in place, without C lines.
        runtime = sys.modules["cython_runtime"]
        saved = runtime.__dict__.get("cline_in_traceback", False)

        class Raises:
            def __bool__(self):
                raise Boom("truth")

        class Reenters:
            def __bool__(self):
                elemcount()
        try:
            for switch in (Raises(), Reenters()):
                with self.subTest(switch=type(switch).__name__):
                    runtime.cline_in_traceback = switch
                    self.assertFails(TypeError, "elemcount() takes exactly 1 positional argument (2 given)",
                                     at_count(1), elemcount, 1, 2)
                    self.assertRaisesAt(Boom, "boom", at_ambrel(2), ambrel, [1], boom)
                    self.assertIsNone(sys.exc_info()[1])
        finally:
            runtime.cline_in_traceback = saved

    def test_long_chain_is_freed(self):
        # Function objects holding one another through __doc__ or __module__,
        # freed from a thread with a small stack: one nested deallocation per
        # link overflowed it.
        proc = run_python("""
            import threading, frametest
            threading.stack_size(256 * 1024)
            def build_and_drop(attr):
                head = cur = frametest.make(%d, 0, None)
                for i in range(100000):
                    n = frametest.make(%d, 0, None)
                    setattr(cur, attr, n)
                    cur = n
                del cur, n
                head = None
            for attr in ("__doc__", "__module__"):
                t = threading.Thread(target=build_and_drop, args=(attr,))
                t.start()
                t.join()
            print("freed")
            """ % (FASTCALL, FASTCALL))
        self.assertEqual((proc.returncode, proc.stdout.strip()), (0, "freed"), proc.stderr[-2000:])

    def test_referents(self):
        import pelmo.list.read as mod
        referents = gc.get_referents(read)
        for obj in (read.__defaults__[1], vars(mod), read.__code__, read.__qualname__):
            self.assertTrue(any(x is obj for x in referents), obj)
        for obj in gc.get_referents(read_split):
            gc.get_referents(obj)  # every referent is a live object
        self.assertTrue(any(x is read_split.__defaults__[2] for x in gc.get_referents(read_split)))


if __name__ == "__main__":
    unittest.main()
