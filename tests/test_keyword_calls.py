"""Keyword calls through the function type: a call whose keywords all name
parameters is bound straight from the keyword dict, by whichever library's
function type was registered first in the process. (That the outcome is the
same as through the general path is tests/test_binding_fuzz.py's concern.)"""
import json
import unittest

from support import run_python

# During a call, the keyword dict holds one reference to each name; the
# general path's names tuple would hold another. `probe` sees the count of
# references to the interned name "func" while ambrel calls it: positionally,
# by keywords that all name parameters, and with one keyword that does not
# (which must take the general path, and shows that the probe can tell).
PROBE = """
import importlib, io, json, sys
importlib.import_module(%(first)r)
from pelmo.list.ambrel import ambrel
from pelmo.list.read import read
name = sys.intern("func")
seen = []
def probe(x, **kwargs):
    seen.append(sys.getrefcount(name))
    return x
ambrel([1], probe)
ambrel(ls=[1], func=probe)
ambrel(func=probe, ls=[1])
sys.stdin = io.StringIO("line\\n")
read(1, func=probe)
ambrel(ls=[1], func=probe, other=2)
print(json.dumps([n - seen[0] for n in seen[1:]]))
"""


class BoundFromTheDict(unittest.TestCase):
    def test_under_every_registering_library(self):
        for first in ("pelmo.list.ambrel", "pelmo.list.count", "pelmo.list.read", "pelmo.list.strutils.sprell",
                      "frametest"):
            with self.subTest(first=first):
                proc = run_python(PROBE % {"first": first})
                self.assertEqual(proc.returncode, 0, proc.stderr[-2000:])
                self.assertEqual(json.loads(proc.stdout.splitlines()[-1]), [1, 1, 1, 2])


if __name__ == "__main__":
    unittest.main()
