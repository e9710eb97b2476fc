#!/usr/bin/env python3
"""Random calls of every pelmo.list function (and read's default converters)
checked against the binding model in tests/binding_model.py.

    PYTHONPATH=build/python:build/testmods python3.7 scripts/fuzz_binding.py --calls 100000 --seed 7

Prints the number of calls and every mismatch; exits 1 when there was one.
Run it in its own interpreter: it imports pelmo.list.write itself."""
import argparse
import os
import pprint
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tests"))

import binding_model  # noqa: E402


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--calls", type=int, default=10000)
    p.add_argument("--seed", type=int, default=0)
    p.add_argument("--show", type=int, default=20, help="mismatches printed in full")
    opts = p.parse_args(argv)
    shown = [0]

    def report(index, mismatch):
        if shown[0] < opts.show:
            print("mismatch at call %d:" % index)
            pprint.pprint(mismatch, width=120)
        shown[0] += 1

    start = time.time()
    calls, mismatches = binding_model.run(opts.calls, opts.seed, report=report)
    print("calls: %d seed: %d mismatches: %d (%.1f s)" % (calls, opts.seed, len(mismatches), time.time() - start))
    return 1 if mismatches else 0


if __name__ == "__main__":
    sys.exit(main())
