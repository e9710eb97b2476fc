"""Keyword calls through the function type, and what other libraries see of
the package's function objects: the method definitions carry exactly
METH_FASTCALL | METH_KEYWORDS; the names tuple handed to a fast entry is the
callee's to keep; and the package works as well when another library's
function type was registered first."""
import ctypes
import json
import unittest

from support import run_python

MODULES = {"pelmo.list.read": ("read", "read_split"), "pelmo.list.write": ("write",),
           "pelmo.list.count": ("elemcount",), "pelmo.list.ambrel": ("ambrel",),
           "pelmo.list.strutils.sprell": ("str_sprell", "multi_str_sprell")}

# Calls of every function, by keyword where it can be, with their outcome.
CALLS = r"""
import importlib, io, json, sys
%(first)s
mods = {name: importlib.import_module(name) for name in %(modules)r}
rd, wr = mods["pelmo.list.read"], mods["pelmo.list.write"]
am, ct = mods["pelmo.list.ambrel"], mods["pelmo.list.count"]
sp = mods["pelmo.list.strutils.sprell"]
def attempt(call):
    try:
        return repr(call())
    except Exception as e:
        return type(e).__name__ + ": " + str(e)
sys.stdin, sys.stdout = io.StringIO("a b\nc\n" * 4), io.StringIO()
calls = [lambda: rd.read(n=1), lambda: rd.read(1, func=str.upper), lambda: rd.read_split(spl=" "),
         lambda: rd.read(1, n=2), lambda: rd.read(**{"x": 1}), lambda: rd.read.__defaults__[1](s="x"),
         lambda: wr.write(ls=[1, 2], end="."), lambda: ct.elemcount(ls="abca"), lambda: ct.elemcount(ls=1),
         lambda: am.ambrel(ls=[1, 2], func=divmod, b=2), lambda: am.ambrel(func=abs),
         lambda: sp.str_sprell(s=1, sep=2), lambda: sp.str_sprell(1, sep=2), lambda: sp.multi_str_sprell(sep=",")]
out = [attempt(c) for c in calls] + [sys.stdout.getvalue()]
out.append(sorted({type(getattr(m, f)).__module__ for m in mods.values() for f in dir(m) if f[0] != "_"}))
sys.stdout = sys.__stdout__
print(json.dumps(out))
"""

STAND_IN = """
import frametest, sys
sys.modules["_cython_3_0_11"].cython_function_or_method = frametest.stand_in()
"""


class KeywordCalls(unittest.TestCase):
    def test_method_definitions_carry_exactly_fastcall_keywords(self):
        import importlib
        head = object.__basicsize__  # the record's PyCFunctionObject starts with m_ml after the head
        for name, functions in MODULES.items():
            module = importlib.import_module(name)
            for f in [getattr(module, n) for n in functions]:
                for g in [f] + [d for d in f.__defaults__ or () if type(d) is type(f)]:
                    ml = ctypes.c_void_p.from_address(id(g) + head).value
                    flags = ctypes.c_int.from_address(ml + 2 * ctypes.sizeof(ctypes.c_void_p)).value
                    self.assertEqual((g.__qualname__, flags), (g.__qualname__, 0x82))

    def test_another_librarys_type_registered_first(self):
        # Every library's functions become instances of the type found
        # registered, whose own call operation makes the calls.
        plain = run_python(CALLS % {"first": "", "modules": tuple(MODULES)})
        foreign = run_python(CALLS % {"first": STAND_IN, "modules": tuple(MODULES)})
        self.assertEqual(plain.returncode, 0, plain.stderr)
        self.assertEqual(foreign.returncode, 0, foreign.stderr)
        plain, foreign = json.loads(plain.stdout), json.loads(foreign.stdout)
        self.assertEqual((plain[-1], foreign[-1]), (["_cython_3_0_11"], ["frametest"]))
        self.assertEqual(foreign[:-1], plain[:-1])
        self.assertIn("TypeError: read() got multiple values for keyword argument 'n'", plain)

    def test_names_tuple_is_the_callees(self):
        # A body that keeps the names tuple it was given (frametest's kinds
        # return it) keeps what it got; a keyword call made while another of
        # the same size runs gets a tuple of its own; and the garbage
        # collector never sees a names tuple between calls.
        proc = run_python("""
            import gc, json
            import frametest
            from pelmo.list.ambrel import ambrel
            f = frametest.make(3, 0, None)
            kept = [f(a=1)[4], f(b=2)[4], f(1, c=3)[4], f(d=4, e=5)[4]]
            nested = ambrel(ls=[1, 2], func=lambda l: ambrel(ls=[l], func=lambda m: f(x=m)[4]))
            again = [f(g=7)[4], f(h=8, i=9)[4]]
            for o in gc.get_objects():
                if type(o) is tuple:
                    list(o)
            print(json.dumps([kept, nested, again]))
            """)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        kept, nested, again = json.loads(proc.stdout)
        self.assertEqual(kept, [["a"], ["b"], ["c"], ["d", "e"]])
        self.assertEqual(nested, [[["x"]], [["x"]]])
        self.assertEqual(again, [["g"], ["h", "i"]])


if __name__ == "__main__":
    unittest.main()
