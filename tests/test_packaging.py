"""The installed quillet is the one this source tree describes: a suite run
against a stale build or an older installed wheel fails here first."""

import importlib.metadata
import pathlib

import pytest

try:
    import tomllib
except ModuleNotFoundError:  # Python < 3.11; pytest itself depends on tomli there
    import tomli as tomllib

PYPROJECT = pathlib.Path(__file__).resolve().parents[1] / "pyproject.toml"
VERSION = tomllib.loads(PYPROJECT.read_text())["project"]["version"]


@pytest.mark.parametrize("where", ["metadata", "module"])
def test_installed_version_is_the_source_trees(where):
    if where == "metadata":
        got = importlib.metadata.version("quillet")
    else:  # compiled in from the version scikit-build-core hands to CMake
        import quillet

        if not hasattr(quillet, "__version__"):
            pytest.skip("quillet.__version__ is not compiled in yet")
        got = quillet.__version__
    assert got == VERSION


def extension_modules():
    """(module name, file) of every extension module installed in the three packages."""
    import importlib.machinery
    import os

    found = []
    for top in ("quillet", "models", "sandbox"):
        for root in importlib.import_module(top).__path__:
            for folder, dirs, files in os.walk(root):
                dirs[:] = [d for d in dirs if d != "__pycache__"]
                rel = os.path.relpath(folder, root)
                package = ".".join([top, *(rel.split(os.sep) if rel != "." else [])])
                for f in files:
                    if f.endswith(tuple(importlib.machinery.EXTENSION_SUFFIXES)):
                        stem = f.split(".")[0]
                        found.append((package if stem == "__init__" else f"{package}.{stem}", os.path.join(folder, f)))
    return sorted(found)


def test_every_module_imports_and_package_modules_are_packages(capsys):
    """However the package was installed (an editable install's loader maps each
    name to its file and sets no __path__ on an extension module), every
    module imports and a module built from an __init__ source is a package."""
    import importlib
    import importlib.util
    import os

    found = extension_modules()
    assert len(found) >= 24 and {"quillet", "quillet.nn.Lintrel", "models.mlp", "sandbox.orbisk"} <= dict(found).keys()
    needs = {"quillet.distributed": "mpi4py"}  # modules of an optional extra
    for name, path in found:
        if name in needs and importlib.util.find_spec(needs[name]) is None:
            continue
        module = importlib.import_module(name)
        assert os.path.samefile(module.__file__, path)
        if os.path.basename(path).startswith("__init__."):
            assert [os.path.realpath(p) for p in module.__path__] == [os.path.realpath(os.path.dirname(path))]
        else:
            assert not hasattr(module, "__path__")
    capsys.readouterr()  # the sandbox modules print as they run
