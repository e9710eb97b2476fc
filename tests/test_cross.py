"""Cross-building the libraries for the target, AArch64 Linux with musl.

Uses cmake/aarch64-linux-musl.cmake with Debian's AArch64 GCC and musl for
arm64 (and, as a second musl target, cmake/x86_64-linux-musl.cmake with the
host's GCC and musl-tools), installed here when missing and possible; builds
each into a temporary directory and checks what came out: the machine, the C
library as the only needed library, the two exported symbols, and nothing undefined beyond the
Python C API and the few C library functions the frame and the compiler use.
The target pyconfig.h is checked against the cross compiler, and the layout of
the interpreter's structures against the host build (both are LP64).
"""
import json
import os
import shlex
import shutil
import subprocess
import sysconfig
import tempfile
import unittest

import support
import test_linkage as linkage

SOURCE = os.environ.get("PELMO_SOURCE",
                        os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


class Target:
    def __init__(self, arch, compiler, machine, arch_macro, x87=False):
        self.arch, self.name = arch, arch + "-linux-musl"
        self.compiler, self.machine, self.arch_macro, self.x87 = compiler, machine, arch_macro, x87
        self.libc = "/lib/%s/libc.so" % self.name
        self.header = "/usr/include/%s/stdlib.h" % self.name
        self.toolchain = os.path.join(SOURCE, "cmake", self.name + ".cmake")


AARCH64 = Target("aarch64", "aarch64-linux-gnu-g++", "AArch64", "__aarch64__")
X86_64 = Target("x86_64", "g++", "Advanced Micro Devices X86-64", "__x86_64__", x87=True)


def _toolchain_present(target):
    return bool(shutil.which(target.compiler)) and os.path.exists(target.libc) and \
        os.path.exists(target.header)


def _install_toolchain(target):
    """Installs what is missing with scripts/target-packages (the one place
    that knows the packages); returns None or why it could not."""
    if _toolchain_present(target):
        return None
    run = subprocess.run([os.path.join(SOURCE, "scripts", "target-packages"), target.arch],
                         stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                         universal_newlines=True, timeout=1800)
    if run.returncode != 0:
        return run.stdout[-2000:]
    return None if _toolchain_present(target) else "packages installed but the toolchain is incomplete"


def _run(cmd, **kw):
    return subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          universal_newlines=True, **kw)


# Interpreter structures whose size the library and the interpreter must
# agree on; on two LP64 targets they agree exactly when pyconfig.h says the
# same about the fields it controls.
STRUCTS = ["PyObject", "PyVarObject", "PyTypeObject", "PyHeapTypeObject",
           "PyInterpreterState", "PyThreadState", "PyCodeObject", "PyFrameObject",
           "PyASCIIObject", "PyCompactUnicodeObject", "PyUnicodeObject", "PyTupleObject",
           "PyListObject", "PyDictObject", "PyModuleDef", "PyModuleDef_Slot", "PyMethodDef",
           "PyMemberDef", "PyGetSetDef", "PyCFunctionObject", "PyBaseExceptionObject",
           "PyTracebackObject", "Py_buffer", "PyNumberMethods", "PySequenceMethods",
           "PyMappingMethods"]


@support.host_only("it cross-builds with the build machine's compilers")
class CrossBuild:
    """Mixin for unittest.TestCase; `target` names what to build for."""
    target = None

    @classmethod
    def setUpClass(cls):
        cls.tmp = None
        if not shutil.which("cmake") or not linkage.readelf_path():
            cls.why_not = "cmake and readelf (binutils) are needed"
            return
        cls.why_not = _install_toolchain(cls.target)
        if cls.why_not:
            return
        cls.tmp = tempfile.mkdtemp(prefix="pelmo-%s-" % cls.target.name)
        cls.build = os.path.join(cls.tmp, "build")
        configure = ["cmake", "-S", SOURCE, "-B", cls.build,
                     "-DCMAKE_TOOLCHAIN_FILE=" + cls.target.toolchain,
                     "-DPELMO_PYTHON_INCLUDE_DIR=" + sysconfig.get_paths()["include"],
                     "-DPELMO_WERROR=ON", "-DCMAKE_EXPORT_COMPILE_COMMANDS=ON"]
        cls.configure = _run(configure, timeout=300)
        cls.compile = None
        if cls.configure.returncode == 0:
            cls.compile = _run(["cmake", "--build", cls.build, "-j2"], timeout=900)

    @classmethod
    def tearDownClass(cls):
        if cls.tmp:
            shutil.rmtree(cls.tmp, ignore_errors=True)

    def setUp(self):
        if self.why_not:
            self.skipTest("cross toolchain unavailable: " + self.why_not)
        self.assertEqual(self.configure.returncode, 0, self.configure.stdout[-4000:])
        self.assertEqual(self.compile.returncode, 0, self.compile.stdout[-6000:])
        self.libraries = linkage.find_libraries(os.path.join(self.build, "python"))

    def test_all_five_built(self):
        self.assertEqual(sorted(self.libraries), sorted(linkage.KNOWN_MODULES))

    def test_libraries_keep_the_contract_on_the_target(self):
        self.assertTrue(self.libraries)
        for dotted, path in sorted(self.libraries.items()):
            with self.subTest(module=dotted):
                self.assertEqual(linkage.contract_problems(path, dotted,
                                                           machine=self.target.machine),
                                 [], path)
                info = linkage.ElfInfo(path)
                # musl's soname, not glibc's: the link took musl's libc.so.
                self.assertEqual(info.needed, ["libc.so"])
                self.assertIsNone(info.soname)
                # musl has no symbol versions; a versioned import means glibc.
                out = _run(["readelf", "-W", "--dyn-syms", path]).stdout
                self.assertNotIn("@GLIBC", out)

    def compile_probe(self, text):
        """Compiles `text` for the target with exactly the flags of the build."""
        with open(os.path.join(self.build, "compile_commands.json")) as f:
            commands = json.load(f)
        entry = next(c for c in commands if c["file"].endswith(os.path.join("list", "count.cpp")))
        probe = os.path.join(self.tmp, "probe.cpp")
        with open(probe, "w") as f:
            f.write(text)
        args = shlex.split(entry["command"])
        out = args.index("-o")
        del args[out:out + 2]
        src = args.index("-c")
        del args[src:src + 2]
        return _run(args + ["-fsyntax-only", probe], cwd=entry["directory"])

    def test_target_pyconfig_matches_the_compiler(self):
        checks = ["SHORT short", "INT int", "LONG long", "LONG_LONG long long",
                  "VOID_P void*", "SIZE_T size_t", "UINTPTR_T uintptr_t", "OFF_T off_t",
                  "TIME_T time_t", "PID_T pid_t", "PTHREAD_T pthread_t", "WCHAR_T wchar_t",
                  "_BOOL bool", "FLOAT float", "DOUBLE double", "LONG_DOUBLE long double"]
        lines = ["#include <Python.h>", "#include <pthread.h>", "#include <sys/types.h>",
                 "#include <wchar.h>", "#include <stdint.h>"]
        for c in checks:
            macro, ctype = c.split(" ", 1)
            lines.append("static_assert(SIZEOF_%s == sizeof(%s), \"SIZEOF_%s\");"
                         % (macro, ctype, macro))
        lines += [
            "static_assert(ALIGNOF_LONG == alignof(long), \"ALIGNOF_LONG\");",
            "static_assert(ALIGNOF_SIZE_T == alignof(size_t), \"ALIGNOF_SIZE_T\");",
            "static_assert(sizeof(Py_ssize_t) == sizeof(ssize_t), \"Py_ssize_t\");",
            "static_assert(Py_UNICODE_SIZE == sizeof(wchar_t), \"Py_UNICODE_SIZE\");",
            "#if !defined(%s) || __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__"
            % self.target.arch_macro,
            "#error not the little-endian target",
            "#endif",
            "#if defined(WORDS_BIGENDIAN) || defined(Py_DEBUG)",
            "#error not the configuration of the target",
            "#endif",
            "#if %sdefined(HAVE_GCC_ASM_FOR_X87)" % ("!" if self.target.x87 else ""),
            "#error x87 control only where there is an x87 unit",
            "#endif",
            "#if !defined(DOUBLE_IS_LITTLE_ENDIAN_IEEE754) || defined(PY_NO_SHORT_FLOAT_REPR)",
            "#error doubles",
            "#endif",
            "#ifdef __GLIBC__",
            "#error compiled against glibc",
            "#endif",
        ]
        run = self.compile_probe("\n".join(lines) + "\n")
        self.assertEqual(run.returncode, 0, run.stdout)

    @unittest.skipUnless(shutil.which("c++"), "no host C++ compiler")
    def test_interpreter_structures_have_the_host_layout(self):
        body = "".join('  printf("%%zu\\n", sizeof(%s));\n' % s for s in STRUCTS)
        host_src = os.path.join(self.tmp, "host_sizes.cpp")
        host_exe = os.path.join(self.tmp, "host_sizes")
        with open(host_src, "w") as f:
            f.write("#include <Python.h>\n#include <frameobject.h>\n#include <structmember.h>\n"
                    "#include <stdio.h>\nint main() {\n%s  return 0;\n}\n" % body)
        run = _run(["c++", "-std=c++17", "-I", sysconfig.get_paths()["include"],
                    "-o", host_exe, host_src])
        self.assertEqual(run.returncode, 0, run.stdout)
        sizes = _run([host_exe]).stdout.split()
        self.assertEqual(len(sizes), len(STRUCTS))
        probe = "#include <Python.h>\n#include <frameobject.h>\n#include <structmember.h>\n" + \
            "".join("static_assert(sizeof(%s) == %s, \"%s\");\n" % (s, n, s)
                    for s, n in zip(STRUCTS, sizes))
        run = self.compile_probe(probe)
        self.assertEqual(run.returncode, 0, run.stdout)


class CrossBuildAarch64Musl(CrossBuild, unittest.TestCase):
    target = AARCH64


class CrossBuildX86_64Musl(CrossBuild, unittest.TestCase):
    target = X86_64


if __name__ == "__main__":
    unittest.main()
