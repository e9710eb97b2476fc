"""The linkage contract of every built library.

Each library is loaded by an interpreter it does not name: it may need the C
library and nothing else (no libstdc++, libgcc_s or libpython), must not
carry a search path, must export exactly its entry point and its "is main"
flag, and must keep the hardening the build asks for (stack protector,
non-executable stack, read-only relocations bound at load time).

The ELF reading below uses `readelf` only, which understands every machine,
so test_install and test_cross reuse it for installed and cross-built files.
"""
import os
import re
import shutil
import subprocess
import unittest

import support

# The five modules of the package: dotted name -> short name.
KNOWN_MODULES = {
    "pelmo.list.count": "count",
    "pelmo.list.read": "read",
    "pelmo.list.write": "write",
    "pelmo.list.ambrel": "ambrel",
    "pelmo.list.strutils.sprell": "sprell",
}

# glibc's and musl's sonames (musl's own, and Alpine's installed name).
LIBC_SONAME = re.compile(r"^(libc\.so\.6|libc\.so|libc\.musl-[A-Za-z0-9_]+\.so\.1)$")

# What the libraries may take from the C library (or, for the guard, from its
# data): the string routines the frame and the compiler use, the stack
# protector's failure routine and canary, and what the builtin input asks
# of the C library's own stdin and stdout (whether a file is one of them, on
# a terminal).
C_LIBRARY_IMPORTS = frozenset({
    "memchr", "memcmp", "memcpy", "memmem", "memmove", "memset", "strlen", "strrchr",
    "__stack_chk_fail", "__stack_chk_guard",
    "fileno", "isatty", "stdin", "stdout",
})

# Weak references that the toolchain's shared-object start files (crtbeginS.o,
# crti.o) always carry; they resolve to nothing when absent and pull in no
# library. Allowed only while weak.
START_FILE_WEAK = frozenset({
    "__cxa_finalize", "__gmon_start__",
    "_ITM_registerTMCloneTable", "_ITM_deregisterTMCloneTable",
    "__register_frame_info", "__deregister_frame_info",
})


def readelf_path():
    return shutil.which("readelf")


class ElfInfo:
    """What one `readelf -W -h -d -l --dyn-syms` run says about a library."""

    def __init__(self, path):
        self.path = path
        out = subprocess.run(
            [readelf_path() or "readelf", "-W", "-h", "-d", "-l", "--dyn-syms", path],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE,
            universal_newlines=True, check=True).stdout
        self.machine = None
        self.elf_type = None
        self.needed = []
        self.soname = None
        self.rpath = []
        self.runpath = []
        self.textrel = False
        self.bind_now = False
        self.segments = {}          # program header type -> list of flag strings
        self.defined = {}           # name -> (type, bind)
        self.undefined = {}         # name (without version) -> bind
        in_phdrs = False
        for line in out.splitlines():
            m = re.match(r"\s*Machine:\s+(.*)$", line)
            if m:
                self.machine = m.group(1).strip()
                continue
            m = re.match(r"\s*Type:\s+(\S+)", line)
            if m and self.elf_type is None:
                self.elf_type = m.group(1)
                continue
            if line.startswith("Program Headers:"):
                in_phdrs = True
                continue
            if in_phdrs:
                if not line.strip() or line.startswith(" Section to Segment"):
                    in_phdrs = False
                    continue
                m = re.match(r"\s+([A-Z_0-9]+)\s+0x[0-9a-f]+\s+0x[0-9a-f]+\s+0x[0-9a-f]+"
                             r"\s+0x[0-9a-f]+\s+0x[0-9a-f]+\s+(.*?)\s+0x[0-9a-f]+$", line)
                if m:
                    self.segments.setdefault(m.group(1), []).append(m.group(2).replace(" ", ""))
                continue
            m = re.match(r"\s*0x[0-9a-f]+\s+\((\w+)\)\s+(.*)$", line)
            if m:
                tag, value = m.groups()
                inner = re.search(r"\[(.*)\]", value)
                if tag == "NEEDED":
                    self.needed.append(inner.group(1))
                elif tag == "SONAME":
                    self.soname = inner.group(1)
                elif tag == "RPATH":
                    self.rpath.append(inner.group(1))
                elif tag == "RUNPATH":
                    self.runpath.append(inner.group(1))
                elif tag == "TEXTREL":
                    self.textrel = True
                elif tag == "FLAGS":
                    self.textrel = self.textrel or "TEXTREL" in value
                    self.bind_now = self.bind_now or "BIND_NOW" in value
                elif tag == "FLAGS_1":
                    self.bind_now = self.bind_now or "NOW" in value.split()
                elif tag == "BIND_NOW":
                    self.bind_now = True
                continue
            m = re.match(r"\s*\d+:\s+[0-9a-f]+\s+\S+\s+(\w+)\s+(\w+)\s+(\w+)\s+(\w+)\s*(\S*)", line)
            if m:
                typ, bind, _vis, ndx, name = m.groups()
                if not name or typ in ("SECTION", "FILE"):
                    continue
                name = name.split("@")[0]
                if ndx == "UND":
                    self.undefined[name] = bind
                else:
                    self.defined[name] = (typ, bind)


def module_of(root, path):
    """Dotted module name of a library file below the import root `root`."""
    rel = os.path.relpath(path, root)
    parts = rel.split(os.sep)
    parts[-1] = parts[-1].split(".")[0]
    return ".".join(parts)


def find_libraries(root):
    """{dotted name: path} of every extension library below `root`."""
    found = {}
    for dirpath, _dirs, files in os.walk(root):
        for f in sorted(files):
            if f.endswith(".so"):
                path = os.path.join(dirpath, f)
                found[module_of(root, path)] = path
    return found


def contract_problems(path, dotted, machine=None, undefined_allowed=None):
    """Every way in which the library at `path` breaks the linkage contract for
    module `dotted` (an empty list: none). `undefined_allowed(name, bind)`
    overrides the check of undefined symbols."""
    info = ElfInfo(path)
    short = dotted.rsplit(".", 1)[-1]
    entry = "PyInit_" + short
    flag = "__pyx_module_is_main_" + dotted.replace(".", "__")
    problems = []
    if info.elf_type != "DYN":
        problems.append("not a shared object: %s" % info.elf_type)
    if machine is not None and info.machine != machine:
        problems.append("machine %r, expected %r" % (info.machine, machine))
    wrong = [n for n in info.needed if not LIBC_SONAME.match(n)]
    if wrong or not info.needed:
        problems.append("NEEDED %r: only the C library is allowed (and it must be named)"
                        % info.needed)
    if info.rpath or info.runpath:
        problems.append("search path RPATH=%r RUNPATH=%r" % (info.rpath, info.runpath))
    if info.textrel:
        problems.append("text relocations (TEXTREL)")
    if not info.bind_now:
        problems.append("not bound at load time (no BIND_NOW)")
    if "GNU_RELRO" not in info.segments:
        problems.append("no GNU_RELRO segment")
    stack = info.segments.get("GNU_STACK")
    if not stack:
        problems.append("no GNU_STACK header: the stack would be executable")
    elif any("E" in flags for flags in stack):
        problems.append("executable stack: GNU_STACK %r" % stack)
    if set(info.defined) != {entry, flag}:
        problems.append("exports %r, expected exactly %r"
                        % (sorted(info.defined), sorted({entry, flag})))
    else:
        if info.defined[entry] != ("FUNC", "GLOBAL"):
            problems.append("%s is %r, expected a global function" % (entry, info.defined[entry]))
        if info.defined[flag] != ("OBJECT", "GLOBAL"):
            problems.append("%s is %r, expected a global object" % (flag, info.defined[flag]))
    if "__stack_chk_fail" not in info.undefined:
        problems.append("no stack protector (__stack_chk_fail not referenced)")
    allowed = undefined_allowed or default_undefined_allowed
    bad = sorted(n for n, bind in info.undefined.items() if not allowed(n, bind))
    if bad:
        problems.append("undefined symbols outside the Python C API and the C library: %r" % bad)
    return problems


def default_undefined_allowed(name, bind):
    if name.startswith(("Py", "_Py")):
        return True
    if name in C_LIBRARY_IMPORTS:
        return True
    return bind == "WEAK" and name in START_FILE_WEAK


def instrumented_build(build):
    """Why the libraries of the build tree `build` need more than the C
    library on purpose (the sanitizer or coverage runtimes), or None for a
    build that must keep the contract. The contract's tests skip with it."""
    try:
        with open(os.path.join(build, "CMakeCache.txt")) as f:
            cache = f.read()
    except OSError:
        return None
    if re.search(r"^PELMO_SANITIZE:BOOL=(ON|TRUE|1|YES)$", cache, re.M):
        return "sanitizer builds link the sanitizer runtimes on purpose"
    if re.search(r"^CMAKE_(CXX|MODULE_LINKER)_FLAGS\w*:\w+=.*(--coverage|-fprofile-arcs)", cache, re.M):
        return "coverage builds link the coverage runtime on purpose"
    return None


BUILD = os.environ.get("PELMO_BUILD", "")
INSTRUMENTED = instrumented_build(BUILD) if BUILD else None


@support.host_only("it checks the host build's files (test_cross checks the target's)")
@unittest.skipUnless(BUILD and os.path.isdir(os.path.join(BUILD, "python")),
                     "PELMO_BUILD does not name a build tree (run through ctest)")
@unittest.skipUnless(readelf_path(), "readelf (binutils) is not installed")
@unittest.skipIf(INSTRUMENTED, INSTRUMENTED)
class BuiltLibraries(unittest.TestCase):

    def setUp(self):
        self.package = find_libraries(os.path.join(BUILD, "python"))
        self.testmods = find_libraries(os.path.join(BUILD, "testmods"))

    def test_every_library_keeps_the_contract(self):
        libraries = dict(self.package)
        libraries.update(self.testmods)
        print("\nlibraries found: %s" % (", ".join(sorted(libraries)) or "none"))
        self.assertTrue(libraries, "no library in the build tree")
        for dotted, path in sorted(libraries.items()):
            with self.subTest(module=dotted):
                self.assertEqual(contract_problems(path, dotted), [], path)

    def test_only_package_modules_in_the_package_tree(self):
        # A stray library (a test module, a leftover name) would be installed.
        self.assertEqual(sorted(set(self.package) - set(KNOWN_MODULES)), [])
        for dotted, path in self.package.items():
            self.assertIn(os.path.join(*dotted.split(".")[:-1]), path)

    def test_all_five_modules_built(self):
        missing = sorted(set(KNOWN_MODULES) - set(self.package))
        self.assertEqual(missing, [], "modules missing from %s" % os.path.join(BUILD, "python"))


@support.host_only("it builds broken libraries with the host's compiler")
class ContractChecker(unittest.TestCase):
    """The checker itself must notice a broken library: build two from C."""

    @unittest.skipUnless(readelf_path() and shutil.which("cc"), "needs cc and readelf")
    def test_detects_broken_libraries(self):
        import tempfile
        with tempfile.TemporaryDirectory() as tmp:
            src = os.path.join(tmp, "m.c")
            with open(src, "w") as f:
                f.write("int __pyx_module_is_main_x__m = 0;\n"
                        "extern void _ZN3foo3barEv(void);\n"
                        "void *PyInit_m(void) { _ZN3foo3barEv(); return 0; }\n"
                        "int extra(void) { return 1; }\n")
            lib = os.path.join(tmp, "m.so")
            subprocess.run(["cc", "-shared", "-fPIC", "-o", lib, src,
                            "-Wl,-rpath," + tmp, "-Wl,-z,execstack", "-Wl,-z,lazy"],
                           check=True)
            text = "\n".join(contract_problems(lib, "x.m"))
            for expected in ("RUNPATH", "executable stack", "extra", "BIND_NOW",
                             "no stack protector", "_ZN3foo3barEv"):
                self.assertIn(expected, text)
            self.assertEqual(module_of(tmp, os.path.join(tmp, "a", "b", "c.cpython-37m.so")),
                             "a.b.c")


if __name__ == "__main__":
    unittest.main()
