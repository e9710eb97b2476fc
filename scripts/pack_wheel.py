"""Packs a built package tree into a wheel for the platform it was built for.

Usage: python3.7 scripts/pack_wheel.py TREE OUTDIR
  TREE    the `python` directory of a build tree (build/python, ...): the
          package exactly as the test suite imported it
  OUTDIR  where the wheel goes; its path is printed

Nothing is rebuilt, stripped or patched: the wheel holds the tree's own
libraries, byte for byte, beside the package initialisers, the stubs and
py.typed. The platform tag is read off the libraries (`readelf`): their
machine and C library pick a policy, and the tag is the policy's when every
library keeps it, `linux_<arch>` otherwise (with the reasons on stderr).

The metadata is setup.py's, the one place it is written: setuptools writes
PKG-INFO (`setup.py egg_info`) and the wheel tool turns it into METADATA, as
`bdist_wheel` does. The archive and its RECORD are written by `wheel pack`
from Debian's python3-wheel (pure Python, runs on 3.7). `bdist_wheel` itself
is not used: it would compile the libraries again instead of taking the
tested ones, and it only knows the `linux_<arch>` tag of the machine it runs on.
"""
import contextlib
import importlib.machinery
import importlib.util
import io
import logging
import os
import re
import shutil
import subprocess
import sys
import tempfile
from email.generator import Generator
from typing import NamedTuple, Optional, Tuple

SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# CPython 3.7 release builds with pymalloc: the only interpreter ABI the
# libraries are built for, on every platform.
PYTHON_TAG, ABI_TAG = "cp37", "cp37m"

# Where Debian's python3-wheel lives; only its `wheel` package is loaded
# from there, not the rest of Debian's Python packages.
DEBIAN_PYTHON = "/usr/lib/python3/dist-packages"

# readelf's machine names -> the architecture in platform tags.
ARCHES = {"Advanced Micro Devices X86-64": "x86_64", "AArch64": "aarch64"}


class Policy(NamedTuple):
    tag: str                    # the platform tag, with {arch}
    libraries: frozenset        # the only NEEDED names allowed, with {arch}
    newest: Optional[Tuple[int, ...]]   # newest GLIBC_ symbol version; None: no versions


# The C library a library needs (its family) -> what the wheel may promise.
# manylinux2014: glibc 2.17 and nothing else (stricter than the policy's
# library list: the contract is the C library alone). musllinux_1_2: musl
# 1.2, which has no symbol versions; `libc.so` is musl's own name (Debian's),
# `libc.musl-<arch>.so.1` Alpine's, and musl's loader takes both as itself.
POLICIES = {
    "glibc": Policy("manylinux2014_{arch}", frozenset({"libc.so.6"}), (2, 17)),
    "musl": Policy("musllinux_1_2_{arch}", frozenset({"libc.so", "libc.musl-{arch}.so.1"}), None),
}
LIBC_FAMILY = {"libc.so.6": "glibc", "libc.so": "musl"}


class ElfFacts:
    """What `readelf -W -h -d -V` says about a library: its machine, the
    libraries it needs and the symbol versions it needs from each."""

    def __init__(self, path):
        out = subprocess.run(["readelf", "-W", "-h", "-d", "-V", path], stdout=subprocess.PIPE,
                             universal_newlines=True, check=True).stdout
        machine = re.search(r"^\s*Machine:\s+(.*?)\s*$", out, re.M)
        self.machine = machine.group(1) if machine else None
        self.needed = re.findall(r"\(NEEDED\)\s+Shared library: \[(.*?)\]", out)
        self.versions = []          # (library, version name)
        section = library = None
        for line in out.splitlines():
            if line.startswith("Version "):
                section = line
                continue
            if section is None or not section.startswith("Version needs"):
                continue
            m = re.search(r"File: (\S+)\s+Cnt:", line)
            if m:
                library = m.group(1)
            m = re.search(r"^\s*0x[0-9a-f]+:\s+Name: (\S+)\s+Flags:", line)
            if m:
                self.versions.append((library, m.group(1)))


def libc_family(facts):
    for name in facts.needed:
        if name in LIBC_FAMILY:
            return LIBC_FAMILY[name]
        if re.fullmatch(r"libc\.musl-\w+\.so\.1", name):
            return "musl"
    return None


def policy_problems(facts, policy, arch):
    """Every way in which a library breaks `policy` (an empty list: none)."""
    allowed = {name.format(arch=arch) for name in policy.libraries}
    problems = ["needs %s" % name for name in facts.needed if name not in allowed]
    for library, version in facts.versions:
        m = re.fullmatch(r"GLIBC_(\d+(?:\.\d+)*)", version)
        number = tuple(int(p) for p in m.group(1).split(".")) if m else None
        if policy.newest is None or library != "libc.so.6" or number is None \
                or number > policy.newest:
            problems.append("needs symbol version %s of %s" % (version, library))
    return problems


def platform_tag(libraries):
    """(tag, problems) for the libraries at the given paths: the policy's tag
    when they all keep it, linux_<arch> and the reasons otherwise."""
    facts = {path: ElfFacts(path) for path in libraries}
    machines = {f.machine for f in facts.values()}
    families = {libc_family(f) for f in facts.values()}
    if len(machines) != 1 or not machines <= set(ARCHES):
        raise SystemExit("pack_wheel: libraries for machines %s" % sorted(map(str, machines)))
    if len(families) != 1 or None in families:
        raise SystemExit("pack_wheel: cannot tell the one C library the libraries need")
    arch = ARCHES[machines.pop()]
    policy = POLICIES[families.pop()]
    problems = ["%s: %s" % (os.path.basename(path), p)
                for path, f in sorted(facts.items()) for p in policy_problems(f, policy, arch)]
    return (policy.tag.format(arch=arch) if not problems else "linux_" + arch), problems


def package_files(tree):
    """Paths below `tree` of what the package consists of: initialisers,
    libraries, stubs and py.typed (not caches or anything else). Every
    library comes with its stub and every stub with its library, so a tree
    built with some modules left out is refused."""
    found = []
    for dirpath, dirnames, files in os.walk(os.path.join(tree, "pelmo")):
        dirnames[:] = sorted(d for d in dirnames if d != "__pycache__")
        for name in sorted(files):
            if name.endswith((".py", ".pyi", ".so")) or name == "py.typed":
                found.append(os.path.relpath(os.path.join(dirpath, name), tree))
    libraries = {f.split(".")[0] for f in found if f.endswith(".so")}
    stubs = {f[:-len(".pyi")] for f in found if f.endswith(".pyi")}
    if not libraries or libraries != stubs:
        raise SystemExit("pack_wheel: %s is not a complete package tree (libraries %s, stubs %s)"
                         % (tree, sorted(libraries), sorted(stubs)))
    return found


def wheel_tool():
    """The `wheel` package: Debian's python3-wheel, else the interpreter's own."""
    if "wheel" not in sys.modules:
        sys.dont_write_bytecode = True      # nothing written into Debian's tree
        spec = importlib.machinery.PathFinder.find_spec("wheel", [DEBIAN_PYTHON]) or \
            importlib.machinery.PathFinder.find_spec("wheel")
        if spec is None:
            raise SystemExit("pack_wheel: needs the wheel tool: Debian's python3-wheel "
                             "(scripts/target-packages wheel installs it)")
        module = importlib.util.module_from_spec(spec)
        sys.modules["wheel"] = module
        spec.loader.exec_module(module)
    import wheel.cli.pack
    import wheel.metadata
    logging.getLogger("wheel").setLevel(logging.WARNING)     # not a line per file
    return wheel


def metadata(source=SOURCE):
    """setup.py's metadata as the METADATA message of a wheel."""
    tool = wheel_tool()
    with tempfile.TemporaryDirectory() as tmp:
        subprocess.run([sys.executable, "-B", "setup.py", "-q", "egg_info", "--egg-base", tmp],
                       cwd=source, stdout=subprocess.DEVNULL, check=True)
        egg = os.path.join(tmp, [n for n in os.listdir(tmp) if n.endswith(".egg-info")][0])
        message = tool.metadata.pkginfo_to_metadata(egg, os.path.join(egg, "PKG-INFO"))
    # Older setuptools write UNKNOWN for what setup.py leaves out: it says nothing.
    for key in {k for k, v in message.items() if v == "UNKNOWN"}:
        del message[key]
    return message


def pack(tree, outdir, source=SOURCE):
    """Writes the wheel of `tree` into `outdir`; returns its path."""
    files = package_files(tree)
    tag, problems = platform_tag([os.path.join(tree, f) for f in files if f.endswith(".so")])
    for p in problems:
        print("pack_wheel: not %s: %s" % (tag, p), file=sys.stderr)
    meta = metadata(source)
    dist = re.sub(r"[-_.]+", "_", meta["Name"]).lower()
    version = meta["Version"]
    tool = wheel_tool()
    os.makedirs(outdir, exist_ok=True)
    with tempfile.TemporaryDirectory() as stage:
        for f in files:
            os.makedirs(os.path.join(stage, os.path.dirname(f)), exist_ok=True)
            shutil.copyfile(os.path.join(tree, f), os.path.join(stage, f))
            os.chmod(os.path.join(stage, f), 0o755 if f.endswith(".so") else 0o644)
        info = os.path.join(stage, "%s-%s.dist-info" % (dist, version))
        os.mkdir(info)
        with open(os.path.join(info, "METADATA"), "w", encoding="utf-8") as out:
            Generator(out, mangle_from_=False, maxheaderlen=0).flatten(meta)
        with open(os.path.join(info, "WHEEL"), "w") as out:
            out.write("Wheel-Version: 1.0\nGenerator: wheel %s (pack)\nRoot-Is-Purelib: false\n"
                      "Tag: %s-%s-%s\n" % (tool.__version__, PYTHON_TAG, ABI_TAG, tag))
        shutil.copyfile(os.path.join(source, "LICENSE"), os.path.join(info, "LICENSE"))
        with contextlib.redirect_stdout(io.StringIO()):
            tool.cli.pack.pack(stage, outdir, None)
    path = os.path.join(outdir, "%s-%s-%s-%s-%s.whl" % (dist, version, PYTHON_TAG, ABI_TAG, tag))
    if not os.path.isfile(path):
        raise SystemExit("pack_wheel: the wheel tool did not write " + path)
    return path


if __name__ == "__main__":
    if len(sys.argv) != 3:
        raise SystemExit(__doc__.split("\n\n")[1])
    print(pack(sys.argv[1], sys.argv[2]))
