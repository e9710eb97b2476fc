#!/usr/bin/env python3.7
"""Instruction counts per call, native against pure Python, under callgrind.

Each side's statement runs N times in a fresh interpreter under
`valgrind --tool=callgrind`, once with N calls and once with none; the
difference divided by N is the cost of one call in instructions (Ir), free of
start-up and import costs and of timing noise.

Usage:
    python3.7 bench/callgrind.py --build DIR [--calls N] [--size N] [--filter TEXT] [--keep DIR] [--breakdown]
    python3.7 bench/callgrind.py --build DIR --gates [--calls N] [--filter TEXT]

With --keep the callgrind output files stay in DIR (for callgrind_annotate).
Workload names and statements are those of bench.py, at size 10 (or the
size given with --size). With --gates the rows are bench.py's gates against
their references (the floor, or the idiom), at the gates' own sizes; the
ratio is then native Ir / reference Ir (the whole-script gate, which runs
processes of its own, is left out).
"""
import argparse
import os
import re
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import bench  # noqa: E402

_DRIVER = r"""
import sys
sys.path.insert(0, {testmods!r})
sys.path.insert(0, {tree!r})
sys.path.insert(0, {here!r})
import bench
native, _ = bench.load_native()
if {gate!r}:
    w = [g for g in bench.gates(native) if g.label == {label!r}][0]
    ref = (w.ref, {{"fl": bench.load_floor()}})
else:
    w = [w for w in bench.workloads(native, ({size},)) if w.label == {label!r}][0]
    ref = (w.idiom, None)
if {side!r} == "native":
    s = bench.Side(w, native[w.func], w.stmt)
elif ref[0]:
    s = bench.Side(w, None, ref[0], ref[1])
else:
    s = bench.Side(w, bench.PY[w.func], w.stmt)
s.sample(1)
s.sample({calls})
"""


def total_ir(driver, keep, tag):
    out = os.path.join(keep, "callgrind.%s.out" % tag)
    env = dict(os.environ, PYTHONHASHSEED="0")
    subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=" + out, sys.executable, "-c",
                    driver], check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env)
    with open(out) as f:
        for line in f:
            m = re.match(r"^(?:summary|totals): (\d+)", line)
            if m:
                return int(m.group(1)), out
    raise RuntimeError("no totals in " + out)


def functions(out):
    """Exclusive Ir per function of one callgrind file."""
    text = subprocess.run(["callgrind_annotate", "--threshold=100", "--inclusive=no", out],
                          stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                          universal_newlines=True).stdout
    costs = {}
    for line in text.splitlines():
        m = re.match(r"^\s*([\d,]+)\s+\([\s\d.]+%\)\s+(.*?)(?: \[.*\])?$", line)
        if m and "PROGRAM TOTALS" not in m.group(2):
            name = re.sub(r"^.*/", "", m.group(2))
            name = re.sub(r"'\d+$", "", name)  # recursion levels count as one function
            costs[name] = costs.get(name, 0) + int(m.group(1).replace(",", ""))
    return costs


def per_call(tree, label, side, size, calls, keep, breakdown=False, gate=False):
    tag = re.sub(r"\W+", "_", label)[:60] + "." + side
    fields = dict(tree=tree, testmods=os.path.join(os.path.dirname(tree), "testmods"), here=HERE, size=size,
                  label=label, side=side, gate=gate)
    base, out0 = total_ir(_DRIVER.format(calls=0, **fields), keep, tag + ".0")
    full, out = total_ir(_DRIVER.format(calls=calls, **fields), keep, tag)
    if breakdown:
        a, b = functions(out0), functions(out)
        diff = {k: (b.get(k, 0) - a.get(k, 0)) / calls for k in set(a) | set(b)}
        for k, v in sorted(diff.items(), key=lambda kv: -kv[1]):
            if v >= 5:
                print("    %8.0f  %s" % (v, k))
    return (full - base) / calls, out


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--build", required=True)
    p.add_argument("--calls", type=int, default=20000)
    p.add_argument("--size", type=int, default=10)
    p.add_argument("--filter", default="")
    p.add_argument("--keep")
    p.add_argument("--breakdown", action="store_true", help="Ir per call of each function")
    p.add_argument("--gates", action="store_true", help="bench.py's gates against their references")
    opts = p.parse_args()
    tree = os.path.join(os.path.abspath(opts.build), "python")
    sys.path.insert(0, tree)
    native, _ = bench.load_native()
    keep = opts.keep or tempfile.mkdtemp(prefix="pelmo-callgrind-")
    os.makedirs(keep, exist_ok=True)
    if opts.gates:
        # Memory gates count bytes, and a whole-script gate runs processes of
        # its own: both are measured by bench.py only.
        rows = [g for g in bench.gates(native) if opts.filter in g.label and g.kind not in ("memory", "script")]
        print("%-55s %12s %12s %7s" % ("gate", "native Ir", "ref Ir", "n/ref"))
    else:
        rows = [w for w in bench.workloads(native, (opts.size,)) if opts.filter in w.label]
        print("%-55s %12s %12s %7s" % ("workload", "native Ir", "Python Ir", "ratio"))
    for w in rows:
        if opts.breakdown:
            print("%s, native:" % w.label)
        n, _ = per_call(tree, w.label, "native", opts.size, opts.calls, keep, opts.breakdown, opts.gates)
        if opts.breakdown:
            print("%s, %s:" % (w.label, "reference" if opts.gates else "idiom" if w.idiom else "Python"))
        py, _ = per_call(tree, w.label, "python", opts.size, opts.calls, keep, opts.breakdown, opts.gates)
        if opts.gates:
            print("%-55s %12.0f %12.0f %7.2f" % (w.label, n, py, n / py if py else float("inf")))
        else:
            print("%-55s %12.0f %12.0f %7.2f" % (w.label, n, py, py / n if n else float("inf")))
        sys.stdout.flush()
    print("callgrind files in " + keep)


if __name__ == "__main__":
    main()
