"""Installing with pip, offline, and using the installed package.

A copy of the source tree (without build directories) is installed with
`pip install --no-index --no-deps --no-build-isolation --target`, which runs
setup.py and so the project's CMake build; nothing may be fetched. The
installed modules are then imported by a fresh interpreter that sees only the
install target, from a directory outside both trees.
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import textwrap
import unittest

import support
import test_linkage as linkage
import test_signatures as signatures

PYTHON = sys.executable
SOURCE = os.environ.get("PELMO_SOURCE",
                        os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

PACKAGE_FILES = [
    "pelmo/__init__.py",
    "pelmo/list/__init__.py",
    "pelmo/list/strutils/__init__.py",
    "pelmo/list/py.typed",
    "pelmo/list/count.pyi",
    "pelmo/list/read.pyi",
    "pelmo/list/write.pyi",
    "pelmo/list/ambrel.pyi",
    "pelmo/list/strutils/sprell.pyi",
]


# pip with nothing to reach: no index, no machine-wide configuration (which
# may name other places to look), and a proxy that refuses at once.
OFFLINE_PIP = dict(PIP_NO_INDEX="1", PIP_CONFIG_FILE=os.devnull, PIP_NO_CACHE_DIR="1",
                   PIP_DISABLE_PIP_VERSION_CHECK="1", http_proxy="http://127.0.0.1:9",
                   https_proxy="http://127.0.0.1:9")


# A short use of every module by an installed package: run by a fresh
# interpreter that sees only the install directory (argv[1]), which every
# module must come from.
SMOKE = textwrap.dedent("""
    import os, sys
    target = sys.argv[1]
    import pelmo.list.count, pelmo.list.read, pelmo.list.write
    import pelmo.list.ambrel, pelmo.list.strutils.sprell
    for name in ("pelmo", "pelmo.list", "pelmo.list.strutils", "pelmo.list.count",
                 "pelmo.list.read", "pelmo.list.write", "pelmo.list.ambrel",
                 "pelmo.list.strutils.sprell"):
        f = os.path.realpath(sys.modules[name].__file__)
        assert f.startswith(os.path.realpath(target) + os.sep), (name, f)
    from pelmo.list.count import elemcount
    from pelmo.list.ambrel import ambrel
    from pelmo.list.strutils.sprell import multi_str_sprell
    from pelmo.list.write import write
    from pelmo.list.read import read
    print(elemcount("abca"), ambrel([1, 2], pow, 2), multi_str_sprell(",", "a,b", "c"))
    write([1, 2, 3], "-")
    print(read(2, "", int))
    """)
SMOKE_OUTPUT = "{'a': 2, 'b': 1, 'c': 1} [1, 4] ['a', 'b', 'c']\n1-2-3\n[7, 8]\n"


def run_smoke(python, target, cwd, timeout=60):
    """Runs SMOKE with `python` (a command: a list, or one path) against the
    package installed in `target`, from `cwd`, outside the source and build trees."""
    command = [python] if isinstance(python, str) else list(python)
    env = dict(os.environ, PYTHONPATH=target, PYTHONDONTWRITEBYTECODE="1")
    return subprocess.run(command + ["-s", "-c", SMOKE, target], input="7\n8\n",
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          universal_newlines=True, env=env, cwd=cwd, timeout=timeout)


def _ignore(directory, names):
    skip = {".git", "__pycache__", "dist", ".cache"}
    return [n for n in names
            if n in skip or n.endswith(".egg-info") or
            (directory == SOURCE and n.startswith("build"))]


def _have_pip():
    return subprocess.run([PYTHON, "-m", "pip", "--version"], stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL).returncode == 0


@support.host_only("it installs with pip, building with the host's CMake and compiler")
@unittest.skipUnless(shutil.which("cmake"), "cmake is not installed")
@unittest.skipUnless(support.TARGET or _have_pip(), "pip is not available for %s" % PYTHON)
class OfflineInstall(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="pelmo-install-")
        cls.source = os.path.join(cls.tmp, "source")
        cls.target = os.path.join(cls.tmp, "target")
        shutil.copytree(SOURCE, cls.source, ignore=_ignore, symlinks=True)
        env = dict(os.environ, CMAKE_BUILD_PARALLEL_LEVEL="2", **OFFLINE_PIP)
        env.pop("PYTHONPATH", None)
        cls.pip = subprocess.run(
            [PYTHON, "-m", "pip", "install", "--no-index", "--no-deps",
             "--no-build-isolation", "--target", cls.target, cls.source],
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, universal_newlines=True,
            env=env, cwd=cls.tmp, timeout=900)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def setUp(self):
        if self.pip.returncode != 0:
            self.fail("pip install failed:\n" + self.pip.stdout[-6000:])

    def installed_libraries(self):
        return linkage.find_libraries(self.target)

    def test_package_files_installed(self):
        for rel in PACKAGE_FILES:
            with self.subTest(file=rel):
                self.assertTrue(os.path.isfile(os.path.join(self.target, *rel.split("/"))))
        # The stubs are the source's, byte for byte.
        for rel in PACKAGE_FILES[3:]:
            with open(os.path.join(SOURCE, "src", *rel.split("/")), "rb") as a, \
                    open(os.path.join(self.target, *rel.split("/")), "rb") as b:
                self.assertEqual(a.read(), b.read(), rel)

    def test_exactly_the_five_libraries(self):
        self.assertEqual(sorted(self.installed_libraries()), sorted(linkage.KNOWN_MODULES))

    @unittest.skipUnless(linkage.readelf_path(), "readelf (binutils) is not installed")
    def test_installed_libraries_keep_the_contract(self):
        for dotted, path in sorted(self.installed_libraries().items()):
            with self.subTest(module=dotted):
                self.assertEqual(linkage.contract_problems(path, dotted), [], path)

    def test_import_and_call_from_outside(self):
        run = run_smoke(PYTHON, self.target, tempfile.mkdtemp(dir=self.tmp))
        self.assertEqual((run.returncode, run.stdout), (0, SMOKE_OUTPUT), run.stderr)

    @unittest.skipUnless(signatures._mypy(), "mypy is not installed")
    def test_type_checker_uses_the_installed_stubs(self):
        # PEP 561: found through the interpreter's path because of py.typed.
        outside = tempfile.mkdtemp(dir=self.tmp)
        use = os.path.join(outside, "use.py")
        with open(use, "w") as f:
            f.write(signatures.USAGE)
        env = dict(os.environ, PYTHONPATH=self.target)
        env.pop("MYPYPATH", None)
        run = subprocess.run(
            signatures._mypy() + ["--python-version", "3.7", "--python-executable", PYTHON,
                                  "--no-incremental", "--cache-dir", os.path.join(outside, "c"),
                                  use],
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, universal_newlines=True,
            env=env, cwd=outside, timeout=300)
        self.assertEqual(re.findall(r'Revealed type is "(.*)"', run.stdout),
                         signatures.REVEALED, run.stdout)


if __name__ == "__main__":
    unittest.main()
