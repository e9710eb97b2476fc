"""The platform the suite runs on: the libraries under test are built for the
machine and the C ABI of the interpreter that runs it, and that interpreter,
as started through sys.executable, behaves like python3.7.

On the host these hold for the host's interpreter. Inside the target's
interpreter (aarch64-linux-musl under qemu) they are what makes that run
mean something: the cross-built libraries are the ones loaded, the
hand-written target pyconfig.h they were built with agrees with the
configuration probed from musl for the interpreter, and the launcher that
stands for python3.7 (it starts the emulator) passes exit codes, signals,
standard input, scripts, -m and PYTHONPATH through, and brings children
under the same emulation.
"""
import os
import platform
import re
import signal
import struct
import subprocess
import sys
import sysconfig
import tempfile
import textwrap
import unittest

import pelmo.list.count
import frametest
import support

# ELF e_machine values of the machines the package is built for.
ELF_MACHINES = {"x86_64": 62, "aarch64": 183}


def elf_machine(path):
    with open(path, "rb") as f:
        header = f.read(20)
    assert header[:4] == b"\x7fELF", path
    order = "<" if header[5] == 1 else ">"
    return header[4], header[5], struct.unpack(order + "H", header[18:20])[0]


def numeric_defines(path, seen=None):
    """{name: int} of the `#define NAME NUMBER` lines of a header and of the
    headers it includes by a quoted path; as sysconfig reads pyconfig.h,
    only unindented defines of names that start with a capital (not the
    feature macros, nor what an #if chooses for another machine)."""
    seen = set() if seen is None else seen
    path = os.path.realpath(path)
    if path in seen:
        return {}
    seen.add(path)
    found = {}
    with open(path) as f:
        for line in f:
            m = re.match(r'\s*#\s*include\s+"([^"]+)"', line)
            if m:
                found.update(numeric_defines(os.path.join(os.path.dirname(path), m.group(1)), seen))
            m = re.match(r"#define ([A-Z]\w*)\s+(\d+)\s*(?:/\*.*)?$", line)
            if m:
                found[m.group(1)] = int(m.group(2))
    return found


def build_pyconfig():
    """The pyconfig.h the libraries were compiled with."""
    overlay = os.path.join(support.BUILD, "python-include", "pyconfig.h")
    if os.path.exists(overlay):     # a cross build: the target's file
        return overlay
    with open(os.path.join(support.BUILD, "CMakeCache.txt")) as f:
        include = re.search(r"^PELMO_PYTHON_INCLUDE_DIR:\w+=(.*)$", f.read(), re.M).group(1)
    return os.path.join(include, "pyconfig.h")


class LibrariesMatchTheInterpreter(unittest.TestCase):

    def test_libraries_are_built_for_this_machine(self):
        expected = (2, 1 if sys.byteorder == "little" else 2, ELF_MACHINES[platform.machine()])
        for path in (pelmo.list.count.__file__, frametest.__file__):
            with self.subTest(path=path):
                self.assertEqual(elf_machine(path), expected)

    def test_one_c_library(self):
        # musl's loader is its libc.so; glibc's is separate from libc.so.6.
        # The host is glibc, the targets are musl.
        with open("/proc/self/maps") as f:
            files = {line.split(None, 5)[-1].strip() for line in f if "/" in line}
        musl = any(re.search(r"/ld-musl-[^/]*$|-linux-musl/libc\.so$", p) for p in files)
        glibc = any(os.path.basename(p) == "libc.so.6" for p in files)
        on_musl = support.TARGET.endswith("-musl")
        self.assertEqual((musl, glibc), (on_musl, not on_musl), sorted(files))

    @unittest.skipUnless(support.BUILD, "needs the build directory")
    def test_build_configuration_is_the_interpreters(self):
        # Every number the libraries' pyconfig.h states (type sizes, the
        # features that add structure fields) must be the interpreter's.
        # ALIGNOF_ values are not part of 3.7's configuration.
        library = numeric_defines(build_pyconfig())
        interpreter = sysconfig.get_config_vars()
        self.assertIn("SIZEOF_VOID_P", library)
        differ = {name: (value, interpreter.get(name)) for name, value in library.items()
                  if not name.startswith("ALIGNOF_") and interpreter.get(name) != value}
        self.assertEqual(differ, {})


class InterpreterCommandLine(unittest.TestCase):
    """sys.executable, started as a child, behaves like python3.7."""

    def run_python(self, *args, **kwargs):
        kwargs.setdefault("stdout", subprocess.PIPE)
        return subprocess.run([sys.executable] + list(args), universal_newlines=True,
                              timeout=120, **kwargs)

    def test_exit_status_and_signal(self):
        self.assertEqual(self.run_python("-c", "raise SystemExit(7)").returncode, 7)
        killed = self.run_python("-c", "import os, signal; os.kill(os.getpid(), signal.SIGTERM)")
        self.assertEqual(killed.returncode, -signal.SIGTERM)

    def test_standard_input_script_and_module(self):
        self.assertEqual(self.run_python("-", input="print(6 * 7)\n").stdout, "42\n")
        self.assertEqual(self.run_python("-c", "print(input())", input="x\n").stdout, "x\n")
        with tempfile.TemporaryDirectory() as tmp:
            with open(os.path.join(tmp, "probe_mod.py"), "w") as f:
                f.write("import sys\nprint(__name__, sys.argv[1:])\n")
            script = self.run_python(os.path.join(tmp, "probe_mod.py"), "a")
            self.assertEqual(script.stdout, "__main__ ['a']\n")
            env = dict(os.environ, PYTHONPATH=tmp)
            module = self.run_python("-m", "probe_mod", "b", env=env)
            self.assertEqual(module.stdout, "__main__ ['b']\n")

    def test_child_is_the_same_interpreter_in_the_same_process(self):
        code = textwrap.dedent("""
            import os, platform, sys
            print(sys.executable, platform.machine(), os.getpid(), flush=True)
            sys.stdin.read()
        """)
        child = subprocess.Popen([sys.executable, "-c", code], stdin=subprocess.PIPE,
                                 stdout=subprocess.PIPE, universal_newlines=True)
        line = child.stdout.readline().split()
        child.communicate("", timeout=120)
        # The pid it sees is the one started: the launcher exec'd, no
        # process of its own is left in between.
        self.assertEqual(line, [sys.executable, platform.machine(), str(child.pid)])


if __name__ == "__main__":
    unittest.main()
