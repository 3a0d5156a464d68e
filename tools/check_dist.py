"""Checks on built distributions that the build tools themselves don't make.

    python tools/check_dist.py sdist build/wheels/dist/quillet-0.1.0.tar.gz
    python tools/check_dist.py wheel build/wheels/dist/quillet-0.1.0-cp311-cp311-manylinux_2_35_x86_64.whl

sdist: it holds every tracked file a build or its own test run needs (sources,
CMakeLists.txt, pyproject.toml, the package tree with its stubs, the tests and
what they read) and nothing of CI, developer scripts or build products.

wheel: its version is pyproject's, its .dist-info carries the LICENSE, and its
ELF files look for libraries only inside the wheel (run paths relative to
$ORIGIN, as auditwheel sets them for grafted libraries) and never link
libpython, which the interpreters that load them need not have.

Prints one line per problem and exits 1 if there is any.
"""

import os
import subprocess
import sys
import tarfile
import zipfile

try:
    import tomllib
except ModuleNotFoundError:  # Python < 3.11
    import tomli as tomllib

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# What a build from the sdist, and the suite run from it, cannot do without.
SDIST_FILES = ("CMakeLists.txt", "pyproject.toml", "README.md", "LICENSE", "CHANGELOG.md", "PKG-INFO")
SDIST_TREES = ("src/", "python/", "tests/")
# Never in an sdist: CI and developer scripts, build products, local environments
# (at the top), caches (anywhere).
SDIST_FORBIDDEN_TOP = (".ci", "tools", "build", "dist", ".venv")
SDIST_FORBIDDEN_ANYWHERE = ("__pycache__", ".pytest_cache", ".hypothesis")
SDIST_FORBIDDEN_SUFFIXES = (".so", ".o", ".a", ".pyc", ".whl")


def project_version(root=ROOT):
    with open(os.path.join(root, "pyproject.toml"), "rb") as f:
        return tomllib.load(f)["project"]["version"]


def tracked_files(root=ROOT):
    """The files git tracks under root (relative, '/'-separated); None outside a checkout."""
    try:
        out = subprocess.run(["git", "-C", root, "ls-files", "-z"], capture_output=True, check=True).stdout
    except (OSError, subprocess.CalledProcessError):
        return None
    return [p for p in out.decode().split("\0") if p]


def sdist_problems(names, tracked):
    """names: the sdist's member files, relative to its top directory."""
    have = set(names)
    problems = [f"missing {f}" for f in SDIST_FILES if f not in have]
    problems += [f"missing {f}" for f in tracked if f.startswith(SDIST_TREES) and f not in have]
    for n in sorted(have):
        parts = n.split("/")
        if parts[0] in SDIST_FORBIDDEN_TOP or set(parts[:-1]) & set(SDIST_FORBIDDEN_ANYWHERE):
            problems.append(f"should not ship {n}")
        elif n.endswith(SDIST_FORBIDDEN_SUFFIXES):
            problems.append(f"should not ship build product {n}")
    return problems


def elf_problems(name, runpaths, needed):
    """runpaths: the DT_RPATH and DT_RUNPATH entries of one ELF file; needed: its DT_NEEDED."""
    problems = [
        f"{name}: run path {p!r} points outside the wheel"
        for p in runpaths
        if p not in ("$ORIGIN", "${ORIGIN}") and not p.startswith(("$ORIGIN/", "${ORIGIN}/"))
    ]
    problems += [f"{name}: links {lib}" for lib in needed if lib.startswith("libpython")]
    return problems


def wheel_problems(names, version):
    """names: the wheel's member files."""
    dist_info = {n.split("/")[0] for n in names if n.split("/")[0].endswith(".dist-info")}
    problems = []
    if dist_info != {f"quillet-{version}.dist-info"}:
        problems.append(f"dist-info {sorted(dist_info)} is not that of quillet {version} (pyproject.toml)")
    if not any(n.startswith(tuple(d + "/" for d in dist_info)) and os.path.basename(n) == "LICENSE" for n in names):
        problems.append("no LICENSE in the .dist-info")
    return problems


def _elf_entries(data):
    from io import BytesIO

    from elftools.elf.dynamic import DynamicSection
    from elftools.elf.elffile import ELFFile

    runpaths, needed = [], []
    for section in ELFFile(BytesIO(data)).iter_sections():
        if isinstance(section, DynamicSection):
            for tag in section.iter_tags():
                if tag.entry.d_tag in ("DT_RPATH", "DT_RUNPATH"):
                    runpaths += [
                        p for p in (tag.rpath if tag.entry.d_tag == "DT_RPATH" else tag.runpath).split(":") if p
                    ]
                elif tag.entry.d_tag == "DT_NEEDED":
                    needed.append(tag.needed)
    return runpaths, needed


def check_sdist(path):
    with tarfile.open(path) as tar:
        names = [m.name.split("/", 1)[1] for m in tar.getmembers() if m.isfile() and "/" in m.name]
    tracked = tracked_files()
    if tracked is None:  # not a git checkout: compare with the tree as it is
        tracked = [
            os.path.relpath(os.path.join(d, f), ROOT).replace(os.sep, "/")
            for top in SDIST_TREES
            for d, _, files in os.walk(os.path.join(ROOT, top))
            for f in files
            if "__pycache__" not in d
        ]
    return sdist_problems(names, tracked)


def check_wheel(path):
    problems = []
    with zipfile.ZipFile(path) as whl:
        names = whl.namelist()
        problems += wheel_problems(names, project_version())
        for n in names:
            data = whl.read(n) if n.endswith(".so") or ".so." in n else b""
            if data[:4] == b"\x7fELF":
                problems += elf_problems(n, *_elf_entries(data))
    if not any(n.endswith(".so") for n in names):
        problems.append("no extension modules")
    return problems


def main(argv):
    if len(argv) != 3 or argv[1] not in ("sdist", "wheel"):
        print(__doc__.strip().split("\n\n")[0], file=sys.stderr)
        return 2
    problems = (check_sdist if argv[1] == "sdist" else check_wheel)(argv[2])
    for p in problems:
        print(f"{os.path.basename(argv[2])}: {p}")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
