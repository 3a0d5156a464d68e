"""One import line: quillet.nn binds every layer, container and loss class of
its modules, and the models are importable as quillet.models.* even where a
project has a `models` package of its own."""

import importlib
import subprocess
import sys
import textwrap

import pytest

import quillet.nn
from conftest import MODULES

NN_MODULES = [m for m in MODULES if not m.startswith("quillet.models.")]  # the models aside


@pytest.mark.parametrize("module", NN_MODULES)
def test_quillet_nn_binds_the_very_classes_of_each_module(module):
    classes = {n: c for n, c in vars(importlib.import_module(module)).items() if isinstance(c, type)}
    own = {n for n, c in classes.items() if c.__module__ == module}
    assert own and own <= set(quillet.nn.__all__)
    assert all(getattr(quillet.nn, n) is classes[n] for n in own)


def test_the_usual_names_import_in_one_line():
    from quillet.nn import (  # noqa: F401
        BatchNorm2d,
        CrossEntropyLoss,
        Dropout,
        Flatten,
        Linear,
        MaxPool2d,
        MSELoss,
        Plantrel,
        ReLU,
        Sequential,
    )
    from quillet.nn.Plantrel import Plantrel as P

    assert Plantrel is P and len(quillet.nn.__all__) == len(set(quillet.nn.__all__))


@pytest.mark.parametrize("name", ["mlp", "cnn", "trawlix"])
def test_quillet_models_are_the_models_modules(name):
    old, new = importlib.import_module(f"models.{name}"), importlib.import_module(f"quillet.models.{name}")
    classes = [n for n, c in vars(new).items() if isinstance(c, type) and c.__module__ == new.__name__]
    assert classes and all(getattr(old, n) is getattr(new, n) for n in classes)


FRESH = {  # each in a new interpreter: any first import works, with no cycle
    "submodule first": "import quillet.nn.sequential, quillet.nn; assert quillet.nn.Sequential",
    "package first": "import quillet.nn; from quillet.nn.Lintrel import Lintrel; assert quillet.nn.Lintrel is Lintrel",
    "model first": "import quillet.models.cnn, models.cnn; assert models.cnn.CNN is quillet.models.cnn.CNN",
    "star": "from quillet.nn import *; Sequential(Linear(2, 3), ReLU())",
}


@pytest.mark.parametrize("code", FRESH.values(), ids=list(FRESH))
def test_fresh_interpreter_imports(code, tmp_path):
    subprocess.run([sys.executable, "-c", code], cwd=tmp_path, check=True)


def test_a_projects_own_models_package_leaves_quillet_models_alone(tmp_path):
    (tmp_path / "models").mkdir()
    (tmp_path / "models" / "__init__.py").write_text("MINE = True\n")
    (tmp_path / "models" / "mlp.py").write_text("MLP = 'mine'\n")
    script = textwrap.dedent(
        """
        import numpy as np
        import models, models.mlp
        from quillet.models.mlp import MLP
        from quillet.models.cnn import CNN
        from quillet.models.trawlix import CNN_SimpleScanningMLP
        assert models.MINE and models.mlp.MLP == "mine"
        print(MLP([4, 3, 2]).forward(np.ones((5, 4))).shape)
        """
    )
    ran = subprocess.run([sys.executable, "-c", script], cwd=tmp_path, capture_output=True, text=True)
    assert ran.returncode == 0, ran.stderr
    assert ran.stdout == "(5, 2)\n"
