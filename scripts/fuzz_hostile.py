#!/usr/bin/env python3
"""Random hostile scenarios for elemcount, ambrel, write and multi_str_sprell,
each compared with a plain-Python version of the body (tests/hostile_model.py).

    PYTHONPATH=build/python:build/testmods python3.7 scripts/fuzz_hostile.py --count 20000 --seed 3

Prints the number of scenarios and every mismatch; exits 1 when there was one."""
import argparse
import os
import pprint
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tests"))

import hostile_model  # noqa: E402


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--count", type=int, default=5000)
    p.add_argument("--seed", type=int, default=0)
    p.add_argument("--show", type=int, default=10, help="mismatches printed in full")
    opts = p.parse_args(argv)
    start = time.time()
    count, mismatches = hostile_model.run(opts.count, opts.seed)
    for m in mismatches[:opts.show]:
        pprint.pprint(m, width=120)
    print("scenarios: %d seed: %d mismatches: %d (%.1f s)" % (count, opts.seed, len(mismatches), time.time() - start))
    return 1 if mismatches else 0


if __name__ == "__main__":
    sys.exit(main())
