"""Installs pelmo.list with pip, offline: `python3.7 -m pip install .`

The libraries are built by the project's own CMake build, never by
distutils' compiler: cmake/PelmoModule.cmake is the one place that says how a
library is compiled and linked (C library only, exactly two exported
symbols, no libpython, no search path). distutils would add -lpython3.7m and
an rpath for a shared interpreter. The package initialisers, the stubs and
py.typed are ordinary package files.

There is deliberately no pyproject.toml: with one, pip would set up an
isolated build environment and download setuptools into it.
"""
import os
import shutil
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = os.path.dirname(os.path.abspath(__file__))

# Which modules there are is said once, in src/CMakeLists.txt; the CMake
# build writes them into its tree, one "<dotted name> <target>" per line.
MODULES_FILE = "pelmo_modules.txt"


def cmake_modules(build_dir):
    """The modules of a configured CMake build: dotted name -> target."""
    with open(os.path.join(build_dir, MODULES_FILE)) as f:
        return dict(line.split() for line in f if line.strip())


class CMakeBuildExt(build_ext):
    """Configures the CMake build, whose modules are the extensions; runs it
    once and takes the libraries from its tree."""

    def finalize_options(self):
        # The build directory follows from build_temp, which the base class
        # takes from `build` only later; the extension list must be the real
        # one before the base class looks at it.
        self.set_undefined_options("build", ("build_temp", "build_temp"), ("debug", "debug"))
        self._cmake = shutil.which("cmake")
        if self._cmake is None:
            raise SystemExit("pelmo.list: building needs CMake (3.18 or later) on PATH")
        self._build_dir = os.path.join(os.path.abspath(self.build_temp), "cmake")
        os.makedirs(self._build_dir, exist_ok=True)
        configure = [self._cmake, "-S", ROOT, "-B", self._build_dir,
                     "-DPELMO_PYTHON=" + sys.executable,
                     "-DPELMO_TESTS=OFF",
                     "-DCMAKE_BUILD_TYPE=" + ("Debug" if self.debug else "Release")]
        self.announce("configuring: " + " ".join(configure), level=2)
        subprocess.check_call(configure)
        self._targets = cmake_modules(self._build_dir)
        self.distribution.ext_modules[:] = [Extension(name, sources=[]) for name in self._targets]
        build_ext.finalize_options(self)

    def run(self):
        jobs = self.parallel or os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL") or os.cpu_count() or 1
        build = [self._cmake, "--build", self._build_dir, "-j", str(jobs), "--target"] + \
            [self._targets[ext.name] for ext in self.extensions]
        self.announce("building: " + " ".join(build), level=2)
        subprocess.check_call(build)
        self._tree = os.path.join(self._build_dir, "python")
        # The per-extension step below only copies.
        build_ext.run(self)

    def build_extension(self, ext):
        name = self.get_ext_filename(ext.name)      # pelmo/list/count<EXT_SUFFIX>
        built = os.path.join(self._tree, name)
        if not os.path.isfile(built):
            raise SystemExit("pelmo.list: the CMake build did not produce " + built)
        target = self.get_ext_fullpath(ext.name)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        self.copy_file(built, target)


# The package's metadata lives here only: `pip install .` records it, and
# scripts/pack_wheel.py has setuptools write it out for the wheels.
setup(
    name="pelmo.list",
    version="0.1.0",
    description="List utilities for Python 3.7 as native extension modules",
    long_description=(
        "Five small list utilities (read, write, count, ambrel, strutils.sprell) as\n"
        "native CPython 3.7 extension modules written in C++17. Each library needs\n"
        "only the C library; the package ships .pyi stubs and py.typed.\n"),
    long_description_content_type="text/plain",
    license="MIT",
    classifiers=[
        "Development Status :: 3 - Alpha",
        "Intended Audience :: Developers",
        "License :: OSI Approved :: MIT License",
        "Operating System :: POSIX :: Linux",
        "Programming Language :: C++",
        "Programming Language :: Python :: 3",
        "Programming Language :: Python :: 3 :: Only",
        "Programming Language :: Python :: 3.7",
        "Programming Language :: Python :: Implementation :: CPython",
        "Topic :: Software Development :: Libraries :: Python Modules",
        "Typing :: Typed",
    ],
    python_requires="==3.7.*",
    package_dir={"": "src"},
    packages=["pelmo", "pelmo.list", "pelmo.list.strutils"],
    package_data={"pelmo.list": ["*.pyi", "py.typed"], "pelmo.list.strutils": ["*.pyi"]},
    # Stands for the modules CMake builds, which build_ext puts in its place
    # once the build is configured: setup() needs to know only that there are
    # extension modules.
    ext_modules=[Extension("pelmo.list.*", sources=[])],
    cmdclass={"build_ext": CMakeBuildExt},
    # Keep setuptools' work away from build/, where a CMake tree may live.
    options={"build": {"build_base": "build-setup"}},
    zip_safe=False,
)
