"""Random calls of every function against the binding model (binding_model.py).

Each run happens in a fresh interpreter, since the model's harness must import
pelmo.list.write itself (with a recording print in the builtins). The long
run is scripts/fuzz_binding.py."""
import json
import unittest

from support import run_python

RUN = """
import json, sys
import binding_model as bm
result = {}
for seed in %(seeds)r:
    calls, mismatches = bm.run(%(calls)d, seed%(model)s)
    result[seed] = [calls, len(mismatches), [repr(m) for m in mismatches[:3]]]
print(json.dumps(result))
"""

# Faults planted in the model: the comparison must notice each of them.
FAULTS = """
class EqInParser(bm.Model):
    # the general keyword parser asking the name's own __eq__
    @staticmethod
    def same_text(key, name):
        return key == name

class EqualityOnly(bm.Model):
    # the per-parameter lookup without its identity pass
    def lookup(self, name, kwnames, kwvalues):
        for k, v in zip(kwnames, kwvalues):
            if k == name:
                return True, v
        return False, None

class CountsGiven(bm.Model):
    # a missing required parameter reported with the positional count
    def bind(self, sig, pos, kwnames, kwvalues, through_call):
        try:
            return super().bind(sig, pos, kwnames, kwvalues, through_call)
        except bm.Expect as e:
            if kwnames and "given)" in e.message:
                e.message = e.message.rsplit("(", 1)[0] + "(%d given)" % len(pos)
            raise

class ParserAlways(bm.Model):
    # the parser run even when the lookups consumed every keyword
    def bind(self, sig, pos, kwnames, kwvalues, through_call):
        values, args, kwargs = super().bind(sig, pos, kwnames, kwvalues, through_call)
        if kwnames:
            self.parse_keywords(sig, kwnames, kwvalues, kwargs, values, min(len(pos), len(sig.params)))
        return values, args, kwargs
"""


def run(test, calls, seeds, model=""):
    code = "import binding_model as bm\n" + (FAULTS if model else "") + RUN % {"calls": calls, "seeds": seeds,
                                               "model": ", model=%s()" % model if model else ""}
    proc = run_python(code, timeout=300)
    test.assertEqual(proc.returncode, 0, proc.stderr[-3000:])
    return {int(k): v for k, v in json.loads(proc.stdout.splitlines()[-1]).items()}


class RandomCalls(unittest.TestCase):
    def test_calls_agree_with_model(self):
        for seed, (calls, count, first) in run(self, 2000, [11, 12, 13]).items():
            self.assertEqual(calls, 2000)
            self.assertEqual(count, 0, "seed %d: %s" % (seed, "\n".join(first)))

    def test_planted_model_faults_are_noticed(self):
        # A model that is wrong in one rule must disagree with the functions
        # somewhere in the same bounded run; otherwise the run proves nothing.
        for model in ("EqInParser", "EqualityOnly", "CountsGiven", "ParserAlways"):
            with self.subTest(model=model):
                (calls, count, first), = run(self, 2000, [11], model).values()
                self.assertGreater(count, 0)


# The same random calls through the call operation (f(*pos, **dict)) and
# through the fast entry with the dict's names in its order: the outcome,
# message, traceback and every observable effect must agree. Calls whose
# names are all parameter names are bound from the dict directly; the rest
# take the general path. Non-string names are kept apart: the two ways word
# that refusal differently, which shows that the comparison sees a difference.
SAME_BOTH_WAYS = """
import json, random
import binding_model as bm
import frametest
targets = bm.load()
rng = random.Random(%(seed)d)
calls = differ = 0
first = []
refused = []
for index in range(%(calls)d):
    target, pos, keywords, vector, _ = bm.random_call(rng, targets, index)
    if vector:  # names meant for the fast entry only, some of them unhashable
        continue
    d = dict(keywords)
    through_dict = bm._actual(target, lambda: target.func(*pos, **d))
    through_vector = bm._actual(target, lambda: frametest.vcall(target.func, tuple(pos) + tuple(d.values()),
                                                                 tuple(d) or None))
    if not all(isinstance(k, str) for k in d):
        refused.append(through_dict != through_vector)
        continue
    calls += 1
    if through_dict != through_vector:
        differ += 1
        first.append(repr((target.sig.name, pos, list(d.items()), through_dict, through_vector))[:600])
print(json.dumps([calls, differ, first[:3], len(refused), all(refused)]))
"""


class DictAgainstVector(unittest.TestCase):
    def test_calls_agree_both_ways(self):
        proc = run_python(SAME_BOTH_WAYS % {"calls": 3000, "seed": 5}, timeout=300)
        self.assertEqual(proc.returncode, 0, proc.stderr[-3000:])
        calls, differ, first, refused, all_differ = json.loads(proc.stdout.splitlines()[-1])
        self.assertGreater(calls, 1500)
        self.assertEqual(differ, 0, "\n".join(first))
        self.assertGreater(refused, 0)
        self.assertTrue(all_differ)


class ModelCases(unittest.TestCase):
    """Rules the random run relies on, each checked against both the model
    and the function, with the outcome stated here."""

    CASES = r"""
import json, sys
import binding_model as bm
from binding_model import Name, Token, check_call, _observe, Model
targets = {t.sig.name: t for t in bm.load()}
out = []
def case(fname, pos, keywords, vector=False):
    t = targets[fname]
    mismatch = check_call(t, pos, keywords, vector)
    actual = bm._actual(t, lambda: __import__("frametest").vcall(
        t.func, tuple(pos) + tuple(v for _, v in keywords), tuple(k for k, _ in keywords) or None)
        if vector else t.func(*pos, **dict(keywords)))
    o = actual[0]
    out.append([mismatch is None, o[0], o[1].__name__ if o[0] == "raise" else None,
                o[2] if o[0] == "raise" else repr(o[1]), o[3] if o[0] == "raise" else None,
                repr(actual[1])])
A, B, C = Token("A"), Token("B"), Token("C")
# a str subclass equal to "n" binds n in the lookup ...
case("read", [], [(Name("q", ["n"]), A)])
# ... but not in the parser, which compares code points
case("read", [], [(Name("q", ["n"]), A), ("x", B)])
case("read", [], [("n", A), (Name("q", ["s"]), B), ("zz", C)])
# the identity pass wins over an earlier equal name, which then binds s
case("read", [], [(Name("q", ["n", "s"]), A), ("n", B)])
# required parameter missing: its position, not the positional count
case("str_sprell", [], [("s", A)])
case("str_sprell", [A], [("sep", B)])
case("ambrel", [], [("func", A)])
# a raising __eq__ fails the binding with its own exception
case("write", [], [(Name("q", [], "raise"), A)])
# non-strings: refused by the call operation, or by the parser when they get through
case("ambrel", [A, B], [(1, C)])
case("ambrel", [A, B], [(1, C)], vector=True)
case("ambrel", [A, B], [("k", A), ("k", C)], vector=True)
print(json.dumps(out))
"""

    def test_rules(self):
        proc = run_python(self.CASES)
        self.assertEqual(proc.returncode, 0, proc.stderr[-3000:])
        got = json.loads(proc.stdout.splitlines()[-1])
        expected = [
            [True, "ok", None, None, None],
            [True, "raise", "TypeError", "read() got an unexpected keyword argument 'q'", "def"],
            [True, "raise", "TypeError", "read() got an unexpected keyword argument 'q'", "def"],
            [True, "ok", None, None, None],
            [True, "raise", "TypeError", "str_sprell() takes exactly 2 positional arguments (0 given)", "def"],
            [True, "raise", "TypeError", "str_sprell() takes exactly 2 positional arguments (1 given)", "def"],
            [True, "raise", "TypeError", "ambrel() takes at least 2 positional arguments (0 given)", "def"],
            [True, "raise", "EqBoom", None, "def+1"],
            [True, "raise", "TypeError", "keywords must be strings", "call"],
            [True, "raise", "TypeError", "ambrel() keywords must be strings", "def"],
            [True, "ok", None, None, None],
        ]
        self.assertEqual(len(got), len(expected))
        for i, (g, e) in enumerate(zip(got, expected)):
            with self.subTest(case=i):
                self.assertEqual(g[:3], e[:3])
                if e[3] is not None:
                    self.assertEqual(g[3], e[3])
                self.assertEqual(g[4], e[4])
        # what the successful ones bound, as the bodies show it
        self.assertIn("('str', 'index'), ('T', 'A')", got[0][5])    # range(n) with n=A
        self.assertIn("('str', 'index'), ('T', 'B')", got[3][5])    # n=B: identity won
        self.assertIn("('str', 'str'), ('T', 'A')", got[3][5])      # input(s) with s=A
        self.assertIn("('str', 'k'), ('T', 'C')", got[10][3])       # the later value of a repeated name


if __name__ == "__main__":
    unittest.main()
