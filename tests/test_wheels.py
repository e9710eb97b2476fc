"""Wheels: packed from the build tree under test, installed by pip where they run.

scripts/pack_wheel.py packs the tree this suite imports (PELMO_BUILD/python),
as scripts/build-wheels does; the wheel must hold that tree's libraries byte
for byte, with its WHEEL, METADATA and RECORD, and the platform tag its
libraries earn. pip then installs it the way a user does, offline, into a
directory that a fresh interpreter imports from to run a short smoke script.
"""
import base64
import csv
import email.parser
import glob
import hashlib
import io
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest
import zipfile

import test_install as install
import test_linkage as linkage
from support import BUILD, PYTHON, SOURCE, TARGET, host_only, release_only

sys.path.insert(0, os.path.join(SOURCE, "scripts"))
import pack_wheel  # noqa: E402

TREE = os.path.join(BUILD, "python")
# What setup.py declares, read from its text: the wheels must say the same.
with open(os.path.join(SOURCE, "setup.py")) as _f:
    _setup = _f.read()
SETUP_LICENSE = re.search(r'\blicense="([^"]+)"', _setup).group(1)
SETUP_CLASSIFIERS = re.findall(r'^\s+"(\w[^"]* :: [^"]+)",$', _setup, re.M)
HOST_TAG = "manylinux2014_x86_64"


def sha256(data):
    return "sha256=" + base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()


def _host_python():
    """The build machine's Python 3.7, which packs the wheels: this one on the
    host; on the target, the one the cross build took its headers from."""
    if not TARGET:
        return PYTHON
    try:
        with open(os.path.join(BUILD, "CMakeCache.txt")) as f:
            found = re.search(r"^PELMO_PYTHON:FILEPATH=(.+)$", f.read(), re.M)
    except OSError:
        return None
    return found and found.group(1)


HOST_PYTHON = _host_python()


def pack(tree, outdir):
    """Runs the packer as scripts/build-wheels does: (wheel path or None, stderr)."""
    run = subprocess.run([HOST_PYTHON, os.path.join(SOURCE, "scripts", "pack_wheel.py"), tree,
                          outdir], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                         universal_newlines=True, timeout=120)
    return (run.stdout.strip() if run.returncode == 0 else None), run.stderr


def pip_install(command, wheel, target, pythonpath=None):
    """`<command> install --no-index --no-deps --target target wheel`, offline
    and away from any pip configuration of this machine."""
    env = {k: v for k, v in os.environ.items() if not k.startswith("PIP_")}
    env.update(install.OFFLINE_PIP)
    env.pop("PYTHONPATH", None)
    if pythonpath:
        env["PYTHONPATH"] = pythonpath
    return subprocess.run(command + ["install", "--no-index", "--no-deps", "--target", target,
                                     wheel],
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          universal_newlines=True, env=env, cwd=os.path.dirname(target),
                          timeout=600)


def setup_version():
    return subprocess.run([HOST_PYTHON, "-B", "setup.py", "--version"], cwd=SOURCE, check=True,
                          stdout=subprocess.PIPE, universal_newlines=True).stdout.split()[-1]


def _why_not():
    if not linkage.readelf_path():
        return "readelf (binutils) is not installed"
    if not os.path.isdir(TREE):
        return "no built package tree at " + TREE
    if not HOST_PYTHON:
        return "the build machine's Python 3.7 is not known to " + BUILD
    run = subprocess.run([os.path.join(SOURCE, "scripts", "target-packages"), "wheel"],
                         stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                         universal_newlines=True, timeout=900)
    return run.stdout if run.returncode else None


WHY_NOT = _why_not()


class WheelChecks:
    """Mixin for unittest.TestCase: what every wheel of the package must be."""

    def check_wheel(self, path, tree, tag):
        version = setup_version()
        self.assertEqual(os.path.basename(path),
                         "pelmo_list-%s-cp37-cp37m-%s.whl" % (version, tag))
        info = "pelmo_list-%s.dist-info/" % version
        libraries = linkage.find_libraries(tree)
        self.assertEqual(sorted(libraries), sorted(linkage.KNOWN_MODULES))
        package = install.PACKAGE_FILES + \
            [os.path.relpath(p, tree).replace(os.sep, "/") for p in libraries.values()]
        with zipfile.ZipFile(path) as whl:
            members = {name: whl.read(name) for name in whl.namelist()}
        self.assertEqual(sorted(members), sorted(
            package + [info + n for n in ("LICENSE", "METADATA", "WHEEL", "RECORD")]))
        # Every package file is the tree's own, byte for byte: the libraries the suite loaded.
        for rel in package:
            with open(os.path.join(tree, *rel.split("/")), "rb") as f:
                self.assertEqual(sha256(members[rel]), sha256(f.read()), rel)
        # RECORD: every other member once, with its sha256 and size; itself without.
        rows = list(csv.reader(io.StringIO(members[info + "RECORD"].decode())))
        self.assertEqual(sorted(r[0] for r in rows), sorted(members))
        for name, digest, size in rows:
            expected = ["", ""] if name == info + "RECORD" else \
                [sha256(members[name]), str(len(members[name]))]
            self.assertEqual([digest, size], expected, name)
        wheel = email.parser.Parser().parsestr(members[info + "WHEEL"].decode())
        self.assertEqual((wheel["Wheel-Version"], wheel["Root-Is-Purelib"], wheel.get_all("Tag")),
                         ("1.0", "false", ["cp37-cp37m-" + tag]))
        meta = email.parser.Parser().parsestr(members[info + "METADATA"].decode())
        self.assertEqual((meta["Metadata-Version"], meta["Name"], meta["Version"],
                          meta["Requires-Python"], meta["License"]),
                         ("2.1", "pelmo.list", version, "==3.7.*", SETUP_LICENSE))
        self.assertTrue(meta["Summary"])
        self.assertEqual(set(SETUP_CLASSIFIERS), set(meta.get_all("Classifier")))
        with open(os.path.join(SOURCE, "LICENSE"), "rb") as f:
            self.assertEqual(members[info + "LICENSE"], f.read())


class InstalledWheel(WheelChecks):
    """Mixin for unittest.TestCase: the wheel of the tree under test, packed
    on the build machine and installed where it runs."""
    tag = None

    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="pelmo-wheel-")
        cls.wheel, cls.pack_errors = pack(TREE, os.path.join(cls.tmp, "dist"))
        cls.site = os.path.join(cls.tmp, "site")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def setUp(self):
        self.assertTrue(self.wheel, self.pack_errors)

    def test_wheel_holds_the_tested_tree_with_its_records(self):
        self.check_wheel(self.wheel, TREE, self.tag)

    def check_installed(self, pip, python):
        """pip's run accepted the wheel, and `python` uses what it installed."""
        self.assertEqual(pip.returncode, 0, pip.stdout)
        installed = linkage.find_libraries(self.site)
        self.assertEqual(sorted(installed), sorted(linkage.KNOWN_MODULES))
        for dotted, path in sorted(installed.items()):
            with open(path, "rb") as a, \
                    open(os.path.join(TREE, os.path.relpath(path, self.site)), "rb") as b:
                self.assertEqual(a.read(), b.read(), path)
            self.assertEqual(linkage.contract_problems(path, dotted), [], path)
        run = install.run_smoke(python, self.site, self.tmp, timeout=300)
        self.assertEqual((run.returncode, run.stdout), (0, install.SMOKE_OUTPUT), run.stderr)


@unittest.skipIf(WHY_NOT, WHY_NOT)
@unittest.skipIf(linkage.INSTRUMENTED, linkage.INSTRUMENTED)
@host_only("the host wheel is installed by the host's interpreter")
class HostWheel(InstalledWheel, unittest.TestCase):
    """The host wheel, installed by the host's pip and used by its interpreter."""
    tag = HOST_TAG

    def test_installed_by_pip_and_used(self):
        pip = pip_install([PYTHON, "-m", "pip"], self.wheel, self.site)
        self.check_installed(pip, PYTHON)


# pip on the target runs from the wheel that the build machine's CPython
# 3.7.16 bundles (22.0.4, which knows musllinux tags; the target's 3.7.9
# bundles an older one). It learns the C library from sys.executable, as on
# the target itself.


def bundled_pip():
    """The pip wheel bundled with the build machine's Python 3.7, or None."""
    root = os.path.dirname(os.path.dirname(os.path.realpath(HOST_PYTHON or "")))
    found = sorted(glob.glob(os.path.join(root, "lib", "python3.7", "ensurepip", "_bundled",
                                          "pip-2[2-9].*-py3-none-any.whl")))
    return found[-1] if found else None


@unittest.skipIf(WHY_NOT, WHY_NOT)
@unittest.skipUnless(TARGET, "the target wheel is installed on the target (./run-tests --target)")
class TargetWheel(InstalledWheel, unittest.TestCase):
    """The target wheel, installed by pip inside the target's interpreter,
    which then uses it; the host's pip refuses it."""
    tag = "musllinux_1_2_" + TARGET.split("-")[0]

    @release_only("its ABI is cp37dm, and pip installs no cp37m wheel into it")
    def test_installed_by_pip_and_used(self):
        pip_wheel = bundled_pip()
        self.assertTrue(pip_wheel, "no pip wheel bundled with " + str(HOST_PYTHON))
        pip = pip_install([PYTHON, "-m", "pip"], self.wheel, self.site, pip_wheel)
        self.check_installed(pip, PYTHON)

    def test_refused_by_the_host_pip(self):
        pip = pip_install([HOST_PYTHON, "-m", "pip"], self.wheel, self.site + "-host")
        self.assertNotEqual(pip.returncode, 0, pip.stdout)
        self.assertIn("%s is not a supported wheel on this platform"
                      % os.path.basename(self.wheel), pip.stdout)
        self.assertFalse(os.path.exists(self.site + "-host"))


@unittest.skipIf(WHY_NOT, WHY_NOT)
@host_only("it checks the host's libraries and compiles with the host's compiler")
class HostTagPolicy(unittest.TestCase):
    """manylinux2014 is promised only by libraries that need nothing but
    libc.so.6 and no glibc symbol version newer than 2.17; otherwise the
    wheel says linux_x86_64."""

    LIBRARIES = {
        # name: (C source, extra link arguments, what breaks the policy or None)
        "clean": ("#include <string.h>\nsize_t f(const char *s) { return strlen(s); }\n",
                  [], None),
        "newer": ("#include <sys/random.h>\n"
                  "long f(void *b) { return getrandom(b, 4, 0); }\n", [], "GLIBC_2.25"),
        "libm": ("#include <math.h>\n#include <string.h>\n"
                 "double f(double x, const char *s) { return cos(x) + strlen(s); }\n",
                 ["-lm"], "libm.so.6"),
    }

    @unittest.skipIf(linkage.INSTRUMENTED, linkage.INSTRUMENTED)
    def test_the_build_keeps_the_policy(self):
        # Read here from the symbol table, independently of the packer.
        for dotted, path in sorted(linkage.find_libraries(TREE).items()):
            with self.subTest(module=dotted):
                self.assertEqual(linkage.ElfInfo(path).needed, ["libc.so.6"])
                syms = subprocess.run(["readelf", "-W", "--dyn-syms", path], check=True,
                                      stdout=subprocess.PIPE, universal_newlines=True).stdout
                versions = set(re.findall(r"@+([\w.]+)", syms))
                self.assertTrue(versions)
                for v in versions:
                    self.assertRegex(v, r"^GLIBC_2\.\d+(\.\d+)?$")
                    self.assertLessEqual(int(v.split(".")[1]), 17, v)
        self.assertEqual(pack_wheel.platform_tag(linkage.find_libraries(TREE).values()),
                         (HOST_TAG, []))

    @unittest.skipUnless(shutil.which("cc"), "needs cc")
    def test_the_tag_follows_the_check(self):
        tmp = tempfile.mkdtemp(prefix="pelmo-policy-")
        self.addCleanup(shutil.rmtree, tmp, True)
        built = {}
        for name, (text, extra, breaks) in self.LIBRARIES.items():
            src, lib = os.path.join(tmp, name + ".c"), os.path.join(tmp, name + ".so")
            with open(src, "w") as f:
                f.write(text)
            subprocess.run(["cc", "-shared", "-fPIC", "-O1", "-o", lib, src] + extra, check=True)
            built[name] = lib
            tag, problems = pack_wheel.platform_tag([lib])
            with self.subTest(library=name):
                if breaks is None:
                    self.assertEqual((tag, problems), (HOST_TAG, []))
                else:
                    self.assertEqual(tag, "linux_x86_64")
                    self.assertIn(breaks, " ".join(problems))
        # One library that breaks the policy makes the whole wheel linux_x86_64.
        tree = os.path.join(tmp, "tree")
        shutil.copytree(TREE, tree)
        victim = linkage.find_libraries(tree)["pelmo.list.count"]
        shutil.copyfile(built["newer"], victim)
        wheel, errors = pack(tree, os.path.join(tmp, "dist"))
        self.assertTrue(wheel and wheel.endswith("-cp37-cp37m-linux_x86_64.whl"), errors)
        self.assertIn("GLIBC_2.25", errors)


if __name__ == "__main__":
    unittest.main()
