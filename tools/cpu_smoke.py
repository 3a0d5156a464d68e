"""Every layer and model class, forward and backward, on small inputs (direct
loops) and on a few large enough for the blocked products and the worker pool.
tools/wheels runs it under qemu-user emulating an older CPU (no AVX): a wheel
that needs the build machine's instruction set dies there with SIGILL.

    python tools/cpu_smoke.py TESTS_DIR      # the suite's tests/, for its zoo of classes
"""

import contextlib
import importlib
import io
import sys

import numpy as np

from quillet.nn.Lintrel import Lintrel
from quillet.nn.Plantrel import Plantrel
from quillet.nn.pool import MaxPool2d, MeanPool2d

sys.path.insert(0, sys.argv[1])
suite = importlib.import_module("conftest")  # the suite's zoo of classes and its helpers

with contextlib.redirect_stdout(io.StringIO()):  # the CNN prints its layer widths
    for name in suite.ZOO:
        X, G = suite.base(name)
        layer = suite.make(name)
        Z = np.asarray(suite.fwd(layer, X))
        suite.bwd(layer, G)
        assert np.isfinite(Z).all(), name

rng = np.random.default_rng(0)
np.random.seed(0)
for layer, shape in [
    (Lintrel(8, 16, 5, 2, 2), (32, 8, 256)),
    (Plantrel(8, 16, 3, 1, 1), (8, 8, 32, 32)),
    (MaxPool2d(3, 2), (16, 16, 32, 32)),
    (MeanPool2d(3, 2), (16, 16, 32, 32)),
]:
    Z = layer.forward(rng.standard_normal(shape))
    dA = layer.backward(np.ones(Z.shape))
    assert dA.shape == shape and np.isfinite(Z).all() and np.isfinite(dA).all(), type(layer).__name__
print(f"{len(suite.ZOO)} classes and 4 large layers, forward and backward")
