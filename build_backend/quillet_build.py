"""The build backend: scikit-build-core, keeping the objects of earlier builds.

pip builds every ``pip install .`` in a new temporary environment with its own
copy of scikit-build-core.  scikit-build-core notices that it runs from
another path than the build that configured ``build/<wheel tag>`` and deletes
that build's CMake cache and ``CMakeFiles/``, the folder that holds every
object file, so the second of two installs in a row recompiled everything.

Before handing over to scikit-build-core, this backend marks a build folder as
configured by the running scikit-build-core when that is safe: the folder was
configured from this source folder, for this interpreter, by the same
scikit-build-core version, with a CMake executable that still exists (one
installed into the earlier temporary environment is gone with it).  Everything
the old environment's paths could have left in the cache is set afresh on each
configure (scikit-build-core forces the Python and NumPy paths, the prefix path
and the Ninja program), and CMakeLists.txt compiles against a copy of NumPy's
headers inside the build folder, so the compile commands stay the same and
Ninja recompiles only what changed.  In every other case scikit-build-core
clears the folder as it always does.
"""

import json
import os
import sys
from pathlib import Path

import scikit_build_core
from scikit_build_core.build import *  # noqa: F403 (the hooks this backend does not change)
from scikit_build_core.build import build_editable as _build_editable, build_wheel as _build_wheel

_INFO = ".skbuild-info.json"


def _skbuild_dir():
    """The path scikit-build-core records as the one it ran from."""
    try:
        from scikit_build_core.cmake import DIR
    except ImportError:
        DIR = Path(scikit_build_core.__file__).parent.resolve()
    return os.fspath(DIR)


def adopt_build_dirs(root="build"):
    """Mark the build folders under root that an earlier isolated build left as this build's own."""
    current = _skbuild_dir()
    source = Path.cwd().resolve()
    for info_path in Path(root).glob(f"*/{_INFO}"):
        try:
            info = json.loads(info_path.read_text(encoding="utf-8"))
        except (OSError, ValueError):
            continue
        if not isinstance(info, dict):
            continue
        paths = [info.get(key) for key in ("source_dir", "cmake_path", "skbuild_path", "python_executable")]
        if not all(isinstance(p, str) for p in paths):
            continue
        source_dir, cmake_path, skbuild_path, python = paths
        if (
            skbuild_path == current
            or Path(source_dir) != source
            or python != sys.executable
            or info.get("skbuild_version") != scikit_build_core.__version__
            or not Path(cmake_path).is_file()
        ):
            continue
        info["skbuild_path"] = current
        try:
            info_path.write_text(json.dumps(info, indent=2), encoding="utf-8")
        except OSError:
            continue


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    adopt_build_dirs()
    return _build_wheel(wheel_directory, config_settings, metadata_directory)


def build_editable(wheel_directory, config_settings=None, metadata_directory=None):
    adopt_build_dirs()
    return _build_editable(wheel_directory, config_settings, metadata_directory)
