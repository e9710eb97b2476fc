#!/usr/bin/env python3.7
"""Allocation-failure sweep over the whole package.

For every module import, and for every operation in tests/allocfail_cases.py
(each in its variants: cold or warm caches, C lines in tracebacks off or on),
runs the operation once for every allocation it makes, with exactly that
allocation failing, each attempt in a forked child. Prints the size of the
sweep and every problem found; exits 1 if there was any.

Usage: scripts/nomemory_sweep.py [--build DIR] [--only TEXT] [--stride N]
                                 [--no-imports] [--no-calls] [-v]
The build directory (default: build-rel, else build) is the CMake build tree.
"""
import argparse
import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build", default=None)
    ap.add_argument("--only", default=None, help="only operations whose label contains this text")
    ap.add_argument("--stride", type=int, default=1, help="try every N-th allocation only")
    ap.add_argument("--no-imports", action="store_true")
    ap.add_argument("--no-calls", action="store_true")
    ap.add_argument("-v", "--verbose", action="store_true")
    opts = ap.parse_args()

    build = opts.build
    if build is None:
        for cand in ("build-rel", "build"):
            if os.path.isdir(os.path.join(ROOT, cand, "python")):
                build = os.path.join(ROOT, cand)
                break
    if build is None or not os.path.isdir(os.path.join(build, "python")):
        sys.exit("no build tree found; build first or pass --build")
    build = os.path.abspath(build)
    sys.path[:0] = [os.path.join(build, "python"), os.path.join(build, "testmods"), os.path.join(ROOT, "tests")]

    import allocfail
    import allocfail_cases

    report = allocfail.Report()
    start = time.time()

    def show(label, n):
        if opts.verbose:
            print("  {:<55} {:>5} allocations".format(label, n), flush=True)

    if not opts.no_imports:
        # The parent has imported none of the modules: each child's import
        # is that module's first, and `before` makes it a later one.
        allocfail.preload_packages()
        allocfail.freeze()
        plans = [(m, ()) for m in allocfail_cases.MODULES]
        plans += [("pelmo.list.count", ("pelmo.list.read",)), ("pelmo.list.read", ("frametest",))]
        for name, before in plans:
            label = "import {} {}".format(name, before or "")
            if opts.only and opts.only not in label:
                continue
            if not _importable(name):
                print("skipped (not built): " + name)
                continue
            n = allocfail.sweep_import(name, allocfail_cases.smoke, report, stride=opts.stride, before=before)
            show(label, n)
        print("imports: " + report.summary(), flush=True)

    if not opts.no_calls:
        loaded = allocfail_cases.load_modules()
        allocfail.freeze()
        for case in allocfail_cases.all_cases(loaded):
            if opts.only and opts.only not in case.name:
                continue
            counts = allocfail.sweep_case(case, report, stride=opts.stride)
            if opts.verbose:
                print("  {:<55} {}".format(case.name, counts), flush=True)

    print("total: {} in {:.0f} s".format(report.summary(), time.time() - start))
    for label, k, text in report.notes:
        print("NOTE {} (allocation {}): {}".format(label, k + 1, text))
    for label, k, text in report.problems:
        print("PROBLEM {} (allocation {}): {}".format(label, k + 1, text))
    return 1 if report.problems else 0


def _importable(name):
    import importlib.util
    try:
        return importlib.util.find_spec(name) is not None
    except ImportError:
        return False


if __name__ == "__main__":
    sys.exit(main())
