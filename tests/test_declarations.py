"""Mistakes in a module's declarations do not compile, each with a message
of its own: small module sources, each with one mistake (or at a limit,
where it must still compile), compiled against the frame with the build's
own compile command for a module source (compile_commands.json, written
for the test module), syntax only, all at once."""
import json
import os
import re
import shlex
import subprocess
import tempfile
import unittest

import support

COMMANDS = os.path.join(support.BUILD, "compile_commands.json")
MODULE = "badmod"

SOURCE = """#include "frame/module.h"
namespace {
using namespace pelmo;
constexpr StringTable kStrings = strings(%(strings)s);
constexpr BuiltinTable kBuiltins = builtins(kStrings, %(builtins)s);
PyObject* f(Call& a);
constexpr Signature kFSig = kStrings.def("%(name)s", 1)%(signature)s;
const FunctionDesc kF = function<kFSig, f>();
constexpr FunctionList kFunctions = functions(kF);
PyObject* f(Call& a) {
  PyObject* r = call_one(PELMO_BUILTIN("%(builtin)s"), a[0]);
  if (!r) PELMO_FAIL(a, 2);
  return r;
}
}  // namespace
PELMO_MODULE(kStrings, kBuiltins, kFunctions)
"""
# What the frame's checks say: the names of desc.h's functions that are
# not constexpr, and static_asserts' texts.
MESSAGES = ["not_in_the_string_table", "listed_twice_in_the_string_table", "not_a_captured_builtin",
            "too_many_parameters", "too_many_variable_names", "required_parameter_after_an_optional_one",
            "declare_parameters_then_varargs_then_varkw_then_locals", "name_too_long_for_a_traceback_entry",
            "more strings than the module state holds", "more builtins than the module state holds"]
# The limits, as the compiler sees them: named in the message of a probe
# that fails on purpose.
LIMITS = ["kMaxModuleStrings", "kMaxParams", "kMaxVarnames", "kMaxBuiltins", "kMaxTracebackName"]
LIMITS_PROBE = '#include "frame/module.h"\ntemplate <int...> struct Limits;\nLimits<%s> limits;\n' % ", ".join(
    "pelmo::" + k for k in LIMITS)
NAMES = ["a", "b", "c", "d", "e", "g", "h", "range", "input", "len", "abs"]


def source(extra_strings=(), builtins=('capture("range")', 'require("input")'), name="f",
           signature='.param("a")', builtin="range"):
    """A module source: the base one, which compiles, with the parts given."""
    texts = [name] + NAMES + list(extra_strings)
    return SOURCE % {"strings": ", ".join('interned("%s")' % t for t in texts), "builtins": ", ".join(builtins),
                     "name": name, "signature": signature, "builtin": builtin}


def params(n):
    return "".join('.param("%s")' % p for p in NAMES[:n])


def cases(limit):
    """(name, source, the message it must fail with, or None: it compiles)."""
    pad = ["s%d" % i for i in range(limit["kMaxModuleStrings"] - 1 - len(NAMES))]
    # the traceback name, "badmod." and the function's name, and its NUL
    longest = "f" * (limit["kMaxTracebackName"] - 1 - len(MODULE) - 1)
    captured = ['capture("%s")' % b for b in NAMES[-4:]][:limit["kMaxBuiltins"]]
    nlocals = limit["kMaxVarnames"] - limit["kMaxParams"]
    yield "the base", source(), None
    yield "an uncaptured builtin", source(builtin="input"), "not_a_captured_builtin"
    yield "a name missing from the strings", source(signature='.param("zz")'), "not_in_the_string_table"
    yield "a string listed twice", source(extra_strings=["b"]), "listed_twice_in_the_string_table"
    yield "strings up to the limit", source(extra_strings=pad), None
    yield "a string too many", source(extra_strings=pad + ["z"]), "more strings than the module state holds"
    yield "builtins up to the limit", source(builtins=captured), None
    yield "a builtin too many", source(builtins=captured + ['require("abs")']), \
        "more builtins than the module state holds"
    yield "a required parameter after an optional one", \
        source(signature='.param("a", default_string("b")).param("c")'), "required_parameter_after_an_optional_one"
    yield "varargs before a parameter", source(signature='.varargs("b").param("a")'), \
        "declare_parameters_then_varargs_then_varkw_then_locals"
    yield "parameters up to the limit", source(signature=params(limit["kMaxParams"])), None
    yield "a parameter too many", source(signature=params(limit["kMaxParams"] + 1)), "too_many_parameters"
    locals_ = lambda n: '.locals(%s)' % ", ".join('"%s"' % v for v in NAMES[-n:])
    yield "variable names up to the limit", source(signature=params(limit["kMaxParams"]) + locals_(nlocals)), None
    yield "a variable name too many", source(signature=params(limit["kMaxParams"]) + locals_(nlocals + 1)), \
        "too_many_variable_names"
    yield "the longest name", source(name=longest), None
    yield "a name too long", source(name=longest + "f"), "name_too_long_for_a_traceback_entry"


@support.host_only("it compiles with the build's compiler")
class Declarations(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not os.path.exists(COMMANDS):
            raise unittest.SkipTest("no %s (CMake 3.20 or later writes it)" % COMMANDS)
        with open(COMMANDS) as f:
            entry = next(c for c in json.load(f) if c["file"].endswith("frametest.cpp"))
        args = entry["arguments"] if "arguments" in entry else shlex.split(entry["command"])
        # Without the output, the source and the module's names, which each
        # probe gives its own.
        keep, skip = [], 0
        for arg in args:
            if skip or arg in ("-o", "-c"):
                skip = not skip and arg in ("-o", "-c")
                continue
            if not arg.startswith("-DPELMO_MODULE_"):
                keep.append(arg)
        cls.command = keep + ['-DPELMO_MODULE_NAME="%s"' % MODULE, "-DPELMO_MODULE_SHORT=" + MODULE,
                              "-DPELMO_MODULE_FLAG=" + MODULE, "-fsyntax-only"]
        cls.directory = entry["directory"]
        if not os.path.isfile(cls.command[0]):
            raise unittest.SkipTest("the build's compiler %s is not here" % cls.command[0])
        cls.tmp = tempfile.TemporaryDirectory()

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def compile_all(self, sources):
        """Compiles every source at once; (return code, messages) for each."""
        procs = []
        for i, text in enumerate(sources):
            path = os.path.join(self.tmp.name, "m%d.cpp" % i)
            with open(path, "w") as f:
                f.write(text)
            procs.append(subprocess.Popen(self.command + [path], cwd=self.directory, stdout=subprocess.PIPE,
                                          stderr=subprocess.STDOUT, universal_newlines=True))
        results = []
        for p in procs:
            out = p.communicate(timeout=300)[0]
            results.append((p.returncode, out))
        return results

    def test_each_mistake_fails_with_its_own_message(self):
        [(rc, out)] = self.compile_all([LIMITS_PROBE])
        found = re.search(r"Limits<([-\d, ]+)>", out)
        self.assertIsNotNone(found, out)
        limit = dict(zip(LIMITS, map(int, found.group(1).split(","))))
        names, sources, expected = zip(*cases(limit))
        for name, want, (rc, out) in zip(names, expected, self.compile_all(sources)):
            with self.subTest(case=name):
                if want is None:
                    self.assertEqual(rc, 0, out)
                else:
                    self.assertNotEqual(rc, 0, "compiled")
                    self.assertEqual([m for m in MESSAGES if m in out], [want], out)


if __name__ == "__main__":
    unittest.main()
