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
