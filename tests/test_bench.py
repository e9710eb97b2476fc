"""The benchmark's smoke mode: every row is produced, and its result check
really compares the native and the pure-Python side."""
import glob
import os
import re
import subprocess
import sys
import unittest

import support

BENCH = os.path.join(support.SOURCE, "bench", "bench.py")
sys.path.insert(0, os.path.dirname(BENCH))
import bench  # noqa: E402

ROW = re.compile(r"^(?P<label>.*?)\s+(?P<native>[\d.]+ (?:ns|us|ms|s ))\s+(?P<py>[\d.]+ (?:ns|us|ms|s ))"
                 r"\s+(?P<ratio>[\d.]+|inf)$")


@support.host_only("the benchmark is run on the build machine")
class SmokeRun(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cmd = [sys.executable, BENCH, "--smoke"]
        if support.BUILD:
            cmd += ["--build", support.BUILD]
        cls.proc = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                  universal_newlines=True, timeout=120)
        cls.lines = cls.proc.stdout.splitlines()

    def test_exits_cleanly(self):
        self.assertEqual(self.proc.returncode, 0, self.proc.stderr)
        self.assertEqual(self.proc.stderr, "")

    def test_every_built_module_is_benchmarked(self):
        native, notes = bench.load_native()
        for dotted, names in bench.MODULES:
            built = bool(glob.glob(os.path.join(support.BUILD, "python", *dotted.split(".")) + ".*.so"))
            if built or not support.BUILD:
                for name in names:
                    self.assertIn(name, native)
            else:
                self.assertTrue(any(dotted in note for note in notes))
                self.assertTrue(any("skipped " + dotted in line for line in self.lines))

    def test_every_row_is_produced_once(self):
        native, _ = bench.load_native()
        expected = [w.label for w in bench.workloads(native, bench.SMOKE_SIZES)]
        self.assertGreater(len(expected), 30)
        self.assertEqual(len(set(expected)), len(expected), "duplicate row labels")
        got = []
        for line in self.lines:
            m = ROW.match(line)
            if m:
                got.append(m.group("label"))
        self.assertEqual(got, expected)
        funcs = {w.func for w in bench.workloads(native, bench.SMOKE_SIZES)}
        self.assertEqual(funcs, set(native), "a function without a workload")

    def test_summary_line(self):
        found = [l for l in self.lines if l.startswith("geomean speedup")]
        self.assertEqual(len(found), 1, found)
        m = re.match(r"^geomean speedup vs pure Python: (\d+\.\d\d) \(worst: (.+) (\d+\.\d\d)\)$", found[0])
        self.assertIsNotNone(m, found)
        labels = [ROW.match(l).group("label") for l in self.lines if ROW.match(l)]
        self.assertIn(m.group(2), labels)
        self.assertNotIn("(idiom", m.group(2))

    def test_idiom_rows_are_labelled(self):
        labels = [ROW.match(l).group("label") for l in self.lines if ROW.match(l)]
        idioms = [l for l in labels if l.endswith("(idiom, not identical)")]
        self.assertTrue(any(l.startswith("ambrel") for l in idioms))
        self.assertTrue(any(l.startswith("elemcount") for l in idioms))


    def test_every_gate_is_produced_and_not_judged(self):
        native, _ = bench.load_native()
        expected = [g.label for g in bench.gates(native, smoke=True)] + ["geomean vs pure Python"]
        start = self.lines.index(next(l for l in self.lines if l.startswith("=== gated targets")))
        got = [l for l in self.lines[start:] if l.endswith("(smoke)")]
        self.assertEqual([l.split("  ")[0] for l in got], expected)
        self.assertEqual(len(expected), 21)  # every function of the gates is built here
        self.assertFalse(any("FAIL" in l or "not built" in l for l in self.lines), "the floor is on the path")
        self.assertEqual(self.lines[-1], "gates: not judged in a smoke run")


class CrossCheck(unittest.TestCase):
    """The comparison made before timing catches a side that differs."""

    def setUp(self):
        self.native, _ = bench.load_native()
        self.rows = {w.label: w for w in bench.workloads(self.native, bench.SMOKE_SIZES)}
        self.saved = dict(bench.PY)

    def tearDown(self):
        bench.PY.clear()
        bench.PY.update(self.saved)

    def run_check(self, label, py=None):
        w = self.rows[label]
        native_side = bench.Side(w, self.native[w.func], w.stmt)
        py_side = bench.Side(w, py or bench.PY[w.func], w.stmt)
        bench.check(w, native_side, py_side)

    def test_faithful_sides_agree(self):
        for label in self.rows:
            w = self.rows[label]
            if not w.idiom:
                self.run_check(label)

    def test_wrong_result_is_caught(self):
        def elemcount(ls):
            return {v: ls.count(v) + 1 for v in ls}
        with self.assertRaises(bench.Mismatch):
            self.run_check("elemcount(list, 3 distinct) n=5", elemcount)

    def test_wrong_result_type_is_caught(self):
        def ambrel(ls, func, *args, **kwargs):
            return tuple(func(l, *args, **kwargs) for l in ls)
        with self.assertRaises(bench.Mismatch):
            self.run_check("ambrel(ls, abs) n=5", ambrel)

    def test_wrong_output_is_caught(self):
        def write(ls, sep=" ", end="\n"):
            print(*ls, sep=sep, end="")
        with self.assertRaises(bench.Mismatch):
            self.run_check("write(ls) n=5", write)

    def test_input_consumption_is_compared(self):
        def read(n, s="", func=lambda s: s):
            return [func(input(s)) for i in range(n + 1)][:n]
        with self.assertRaises(bench.Mismatch):
            self.run_check("read(n) n=5", read)

    def test_idiom_result_is_compared(self):
        w = self.rows["elemcount(str, 3 distinct) n=5 (idiom, not identical)"]
        native_side = bench.Side(w, self.native[w.func], w.stmt)
        bench.check(w, native_side, bench.Side(w, None, w.idiom))
        with self.assertRaises(bench.Mismatch):
            bench.check(w, native_side, bench.Side(w, None, "Counter(ls + 'A')"))

    def test_gate_results_are_compared(self):
        # Floor gates check the native result against the pure-Python
        # function (the floor computes nothing); idiom gates against the idiom.
        gates = {g.label: g for g in bench.gates(self.native, smoke=True)}
        floor = bench.load_floor()
        self.assertIsNotNone(floor)
        g = gates["elemcount(ls=()) vs floor"]
        native_side = bench.Side(g, self.native[g.func], g.stmt)
        bench.check(g, native_side, bench.Side(g, bench.PY[g.func], g.stmt))
        with self.assertRaises(bench.Mismatch):
            bench.check(g, native_side, bench.Side(g, lambda ls: {(): 1}, g.stmt))
        for label, wrong in [("write(ls) n=5 vs print(*ls)", "print(*ls, sep=',')"),
                             ("elemcount(str of 5 letters) vs Counter", "Counter(ls[1:])"),
                             ("ambrel(ls, abs) n=5 vs list(map(abs, ls))", "tuple(map(abs, ls))")]:
            with self.subTest(label):
                g = gates[label]
                native_side = bench.Side(g, self.native[g.func], g.stmt)
                bench.check(g, native_side, bench.Side(g, None, g.ref))
                with self.assertRaises(bench.Mismatch):
                    bench.check(g, native_side, bench.Side(g, None, wrong))

    def test_streams_are_restored(self):
        before = sys.stdin, sys.stdout
        self.run_check("read_split() pieces=5")
        self.run_check("write(ls) n=5")
        self.assertIs(sys.stdin, before[0])
        self.assertIs(sys.stdout, before[1])


if __name__ == "__main__":
    unittest.main()
