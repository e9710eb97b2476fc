"""Allocation failures: every operation of tests/allocfail_cases.py with
one allocation failing, for (a sample of) every allocation it makes, and
imports of modules the same way. Nothing may crash or abort, no result may
come with an exception set or be silently wrong, arguments keep their
reference counts, and once the failure is over everything works again.

This is the quick version (a stride through the allocations, the cold
variant of each operation); scripts/nomemory_sweep.py runs all of it.
PELMO_SLOW_TOOL (set when running under valgrind) shrinks it further.
"""
import os
import sys
import unittest

from support import run_python

try:
    import _testcapi  # noqa: F401 - the allocation hooks come from here
except ImportError:
    raise unittest.SkipTest("the interpreter has no _testcapi module")

SLOW = bool(os.environ.get("PELMO_SLOW_TOOL"))
STRIDE = 16 if SLOW else 4


def problems_text(report):
    return "\n".join("{} (allocation {}): {}".format(label, k + 1, text[:500])
                     for label, k, text in report.problems[:30])


class Harness(unittest.TestCase):
    """The harness itself must notice what it is there to notice."""

    def test_probe_tells_where_the_failure_came(self):
        import allocfail
        allocfail.freeze()

        def child(k):
            return allocfail.hooked(lambda: [bytearray(64) for _ in range(8)], k)[1:]
        # The operation allocates (a list, a list iterator, eight bytearrays with
        # their buffers and the growing list): early failures are reached and
        # raise MemoryError, late ones are not reached.
        early = allocfail.run_in_child(child, 0).payload
        late = allocfail.run_in_child(child, 200).payload
        self.assertEqual(early[1], True)
        self.assertEqual(type(early[0]), MemoryError)
        self.assertEqual(late, (None, False))

    def test_crash_and_wrong_results_are_reported(self):
        import allocfail
        from allocfail import Case, Instance, Ok, Raises

        def crash():
            import ctypes
            return Instance(lambda: ctypes.string_at(0), Ok(None))
        calls = {"n": 0}

        def wrong():
            # Right on the first (unhooked) call in each child, wrong after.
            def op():
                calls["n"] += 1
                return calls["n"]
            return Instance(op, Ok(1))

        def swallowed():
            return Instance(lambda: None, Raises(ValueError))
        report = allocfail.Report()
        for case in (Case("crash", crash), Case("wrong", wrong), Case("swallowed", swallowed)):
            allocfail.sweep("x " + case.name, allocfail._child_call, (case, (False, False)), report, limit=3)
        text = problems_text(report)
        # SIGSEGV, or SIGABRT from a sanitizer that caught it.
        self.assertRegex(text, r"x crash \(allocation 1\): child died: \('signal', (11|6)\)")
        self.assertIn("x wrong (allocation 1): after the hook", text)
        self.assertRegex(text, r"x swallowed \(allocation \d+\): unreached failure but result None")


class CallSweep(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        import allocfail
        import allocfail_cases
        cls.allocfail = allocfail
        cls.loaded = allocfail_cases.load_modules()
        cls.cases = allocfail_cases.all_cases(cls.loaded)
        allocfail.freeze()

    def sweep_module(self, module):
        report = self.allocfail.Report()
        cases = [c for c in self.cases if c.build.__qualname__.startswith(module)]
        if SLOW:
            cases = cases[:2]
        for case in cases:
            # Cold: everything made for the first time (code objects of the
            # traceback entries, lazily built attributes). Failing calls also
            # with C lines and a warm cache.
            variants = ["cold"] + [v for v in case.variants if v == "cline-warm"]
            self.allocfail.sweep_case(case, report, variants=variants, stride=STRIDE)
        self.assertGreater(report.attempts, len(cases))
        self.assertEqual(report.problems, [], problems_text(report))
        # Some attempts must have failed, some must have reached the end.
        self.assertIn("MemoryError", report.kinds)

    def test_count(self):
        self.require("pelmo.list.count")
        self.sweep_module("count_cases")

    def test_read(self):
        self.require("pelmo.list.read")
        self.sweep_module("read_cases")

    def test_write(self):
        self.require("pelmo.list.write")
        self.sweep_module("write_cases")

    def test_ambrel(self):
        self.require("pelmo.list.ambrel")
        self.sweep_module("ambrel_cases")

    def test_sprell(self):
        self.require("pelmo.list.strutils.sprell")
        self.sweep_module("sprell_cases")

    def test_function_type(self):
        self.require("frametest")
        self.sweep_module("frame_cases")

    def require(self, name):
        if name not in self.loaded:
            self.skipTest(name + " not built")


IMPORT_SWEEP = r"""
import sys
import allocfail, allocfail_cases
allocfail.preload_packages()
allocfail.freeze()
report = allocfail.Report()
n = allocfail.sweep_import({name!r}, allocfail_cases.smoke, report, stride={stride}, before={before!r})
print("SIZE", n, report.attempts)
for label, k, text in report.problems[:20]:
    print("PROBLEM", label, k + 1, text[:400])
"""


class ImportSweep(unittest.TestCase):
    def sweep(self, name, before=()):
        r = run_python(IMPORT_SWEEP.format(name=name, stride=STRIDE, before=before), timeout=600)
        if "ModuleNotFoundError" in r.stderr and name in r.stderr:
            self.skipTest(name + " not built")
        self.assertEqual(r.returncode, 0, r.stderr[-2000:])
        self.assertNotIn("PROBLEM", r.stdout)
        size = [line.split() for line in r.stdout.splitlines() if line.startswith("SIZE")][0]
        # An import allocates a few hundred times; the sweep saw the end.
        self.assertGreater(int(size[1]), 50)

    def test_first_module_of_the_process(self):
        self.sweep("pelmo.list.read")

    def test_module_after_another(self):
        self.sweep("pelmo.list.count", before=("pelmo.list.strutils.sprell",))


if __name__ == "__main__":
    unittest.main()
