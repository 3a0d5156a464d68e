"""Single precision: quillet.default_dtype and the layers that compute in float32."""

import asyncio
import contextlib
import importlib
import io
import threading

import numpy as np
import pytest

import quillet
from conftest import ZOO, make
from quillet import state
from quillet.nn.Lintrel import Lintrel, Lintrel_stride1
from quillet.nn.Plantrel import Plantrel, Plantrel_stride1

F32 = np.float32


def rel(got, want):
    """The largest error relative to the largest magnitude of the float64 result."""
    scale = max(np.abs(want).max(), np.finfo(np.float64).tiny)
    return np.abs(got.astype(np.float64) - want).max() / scale


def run(layer, x, g):
    z = layer.forward(x)
    return z, layer.backward(g if g is not None else np.ones(z.shape))


def parts(layer):
    return getattr(layer, "lintrel_stride1", None) or getattr(layer, "plantrel_stride1", None) or layer


# (make, input shape); odd batches, widths that fill no tile, strides and padding.
CONV = [
    (lambda: Lintrel_stride1(3, 5, 4), (7, 3, 37)),
    (lambda: Lintrel(24, 32, 8, 4, 2), (64, 24, 512)),
    (lambda: Lintrel_stride1(16, 32, 5), (32, 16, 256)),
    (lambda: Plantrel_stride1(3, 4, 3), (3, 3, 11, 13)),
    (lambda: Plantrel(16, 32, 3, 1, 1), (16, 16, 32, 32)),
    (lambda: Plantrel(3, 16, 5, 2, 2), (5, 3, 29, 31)),
    (lambda: Plantrel(70, 9, 3, 1, 0), (2, 70, 9, 10)),
]


@pytest.mark.parametrize("path", [None, "direct", "blocked", "blas"])
@pytest.mark.parametrize("make, shape", CONV)
def test_conv_matches_float64(make, shape, path):
    np.random.seed(1)
    wide = make()
    with quillet.default_dtype(F32):
        np.random.seed(1)
        single = make()
    # Both start from the same float32 values, so only the arithmetic differs.
    for name in ("W", "b"):
        setattr(parts(wide), name, getattr(parts(single), name).astype(np.float64))
    x = np.random.randn(*shape)
    previous = quillet._force_conv_path(path)
    try:
        x32 = x.astype(F32).astype(np.float64)
        z64, d64 = run(wide, x32, None)
        g = np.random.randn(*z64.shape)
        z64, d64 = run(wide, x32, g)
        with quillet.default_dtype(F32):
            z32, d32 = run(single, x, None)
            z32, d32 = run(single, x, g)
    finally:
        quillet._force_conv_path(previous)
    s32, s64 = parts(single), parts(wide)
    for got in (z32, d32, s32.dLdW, s32.dLdb, s32.W):
        assert got.dtype == F32
    # 2-D layers add to their gradients: both ran backward twice.
    assert rel(z32, z64) < 2e-6
    assert rel(d32, d64) < 2e-6
    assert rel(s32.dLdb, s64.dLdb) < 1e-6
    assert rel(s32.dLdW, s64.dLdW) < 5e-6


def test_default_init_draws_the_same_numbers():
    np.random.seed(3)
    wide = Plantrel(4, 6, 3, 1, 1)
    with quillet.default_dtype(F32):
        np.random.seed(3)
        single = Plantrel(4, 6, 3, 1, 1)
    for name in ("W", "b", "dLdW", "dLdb"):
        got, want = getattr(single.plantrel_stride1, name), getattr(wide.plantrel_stride1, name)
        assert got.dtype == F32 and np.array_equal(got, want.astype(F32))


def test_a_float64_layer_computes_in_the_dtype_of_the_call():
    conv = Lintrel_stride1(2, 3, 3)
    x = np.random.randn(4, 2, 10)
    with quillet.default_dtype(F32):
        z = conv.forward(x)
        conv.backward(np.ones(z.shape))
    assert z.dtype == F32
    assert conv.W.dtype == conv.dLdW.dtype == np.float64  # gradients keep the parameter's dtype
    assert conv.forward(x).dtype == np.float64


def test_the_context_manager_nests_and_restores():
    assert quillet.get_default_dtype() is np.float64
    with quillet.default_dtype(F32) as inner:
        assert inner is F32 and quillet.get_default_dtype() is F32
        with quillet.default_dtype("float64"):
            assert quillet.get_default_dtype() is np.float64
        assert quillet.get_default_dtype() is F32
        with pytest.raises(KeyError):
            with quillet.default_dtype(np.float64):
                raise KeyError
        assert quillet.get_default_dtype() is F32
    assert quillet.get_default_dtype() is np.float64


def test_set_default_dtype_is_per_thread_and_task():
    seen = []
    quillet.set_default_dtype(F32)
    try:
        thread = threading.Thread(target=lambda: seen.append(quillet.get_default_dtype()))
        thread.start()
        thread.join()

        async def task(dtype):
            quillet.set_default_dtype(dtype)
            await asyncio.sleep(0)
            return quillet.get_default_dtype()

        async def both():
            return await asyncio.gather(task(np.float64), task(F32))

        assert asyncio.run(both()) == [np.float64, F32]
        assert quillet.get_default_dtype() is F32
    finally:
        quillet.set_default_dtype(np.float64)
    assert seen == [np.float64]


@pytest.mark.parametrize(
    "dtype, error", [(np.float16, ValueError), (np.int64, ValueError), (None, TypeError), ("nonsense", TypeError)]
)
def test_other_dtypes_are_refused(dtype, error):
    with pytest.raises(error, match="float32 or numpy.float64"):
        quillet.set_default_dtype(dtype)
    with pytest.raises(error):
        quillet.default_dtype(dtype)
    assert quillet.get_default_dtype() is np.float64


# ---------------------------------------------------------------- every layer and model

# Layers ZOO leaves out, built the same way: (module, factory, input shape).
EXTRA = {
    "BatchNorm1d": ("quillet.nn.batchnorm", lambda m: m.BatchNorm1d(3), (6, 3, 5)),
    "BatchNorm2d": ("quillet.nn.batchnorm", lambda m: m.BatchNorm2d(3), (4, 3, 5, 6)),
    "BatchNorm2d_eval": ("quillet.nn.batchnorm", lambda m: evaluating(m.BatchNorm2d(3)), (4, 3, 5, 6)),
    "Dropout_eval": ("quillet.nn.dropout", lambda m: evaluating(m.Dropout(0.3)), (4, 7)),
    "LeakyReLU": ("quillet.nn.activation", lambda m: m.LeakyReLU(0.1), (2, 3, 5)),
    "GELU": ("quillet.nn.activation", lambda m: m.GELU(), (2, 3, 5)),
    "Softmax": ("quillet.nn.activation", lambda m: m.Softmax(), (2, 6, 5)),
    "Identity": ("quillet.nn.activation", lambda m: m.Identity(), (2, 3, 5)),
    "MSELoss": ("quillet.nn.loss", lambda m: m.MSELoss(), (4, 3, 2)),
}
LOSSES = {"CrossEntropyLoss", "MSELoss"}


def evaluating(layer):
    layer.eval()
    return layer


def build(name):
    """A fresh instance after np.random.seed(0), in the default dtype of the caller."""
    if name in ZOO:
        return make(name)
    module, factory, _ = EXTRA[name]
    np.random.seed(0)
    return factory(importlib.import_module(module))


def input_shape(name):
    return ZOO[name].shape if name in ZOO else EXTRA[name][2]


def at(obj, path):
    """The object at a dotted path of attributes and list indices ("layers.0.W")."""
    for part in path.split("."):
        obj = obj[int(part)] if part.isdigit() else getattr(obj, part)
    return obj


def put(obj, path, value):
    owner, _, name = path.rpartition(".")
    setattr(at(obj, owner) if owner else obj, name, value)


def gradient_paths(layer):
    """The paths of the gradients of every W and b ("layers.0.dLdW")."""
    names = [p for p in state.state_dict(layer) if p.rpartition(".")[2] in ("W", "b")]
    return [p[: len(p) - 1] + "dLd" + p[-1] for p in names]


def passes_of(name, layer, x, g, targets):
    with contextlib.redirect_stdout(io.StringIO()):  # Unfurlet2d prints its factor
        if name in LOSSES:
            return layer.forward(x, targets), layer.backward()
        z = layer.forward(x)
        return z, layer.backward(g if g is not None else np.ones(np.shape(z)))


NAMES = sorted(ZOO) + sorted(EXTRA)
# Layers returning a view of their argument from forward or backward.
VIEWS = {"Downsample1d", "Downsample2d", "Upsample2d", "Flatten"}


@pytest.mark.parametrize("name", NAMES)
def test_every_layer_matches_float64_on_the_same_values(name):
    wide = build(name)
    with quillet.default_dtype(F32):
        single = build(name)
    # The float64 layer starts from the float32 parameters (and running statistics).
    for path, value in state.state_dict(single).items():
        assert value.dtype == F32, path
        put(wide, path, value.astype(np.float64))
    rng = np.random.default_rng(len(name))
    x = rng.standard_normal(input_shape(name))
    x32 = x.astype(F32).astype(np.float64)
    targets = rng.dirichlet(np.ones(x.shape[-1]), x.shape[0]) if name == "CrossEntropyLoss" else rng.random(x.shape)
    with contextlib.redirect_stdout(io.StringIO()):
        shape = np.shape(wide.forward(x32, targets) if name in LOSSES else wide.forward(x32))
    g = None if name in LOSSES else rng.standard_normal(shape)
    if name == "CNN":  # its backward takes the labels
        g = rng.dirichlet(np.ones(3), x.shape[0])
    z64, d64 = passes_of(name, wide, x32, g, targets)
    if name in VIEWS:  # their results keep the argument's dtype: give them float32
        x, g = x.astype(F32), g.astype(F32)
    with quillet.default_dtype(F32):
        z32, d32 = passes_of(name, single, x, g, targets)
    # Every value here is a handful of products and sums, so float32 rounding
    # stays within a few units of 6e-8 relative to the largest value.
    assert z32.dtype == d32.dtype == F32
    assert rel(z32, z64) < 2e-6
    assert rel(d32, d64) < 2e-6
    for grad in gradient_paths(single):
        assert at(single, grad).dtype == F32, grad
        assert rel(at(single, grad), at(wide, grad)) < 2e-6, grad


@pytest.mark.parametrize("name", NAMES)
def test_default_init_draws_the_same_numbers_everywhere(name):
    wide = build(name)
    with quillet.default_dtype(F32):
        single = build(name)
    params = state.state_dict(wide)
    for path, want in params.items():
        got = at(single, path)
        assert got.dtype == F32 and np.array_equal(got, want.astype(F32)), path
    for grad in gradient_paths(single):
        assert at(single, grad).dtype == F32, grad


@pytest.mark.parametrize("name", ["CNN", "MLP", "CNN_SimpleScanningMLP", "CNN_DistributedScanningMLP"])
def test_a_model_trains_in_float32(name):
    with quillet.default_dtype(F32):
        model = build(name)
        x = np.random.default_rng(0).standard_normal(input_shape(name))
        z = model.forward(x)
        model.backward(np.eye(z.shape[1])[np.arange(z.shape[0]) % z.shape[1]])
        if name == "CNN":
            model.step()
            assert model.loss.dtype == F32
    for path, value in state.state_dict(model).items():
        assert value.dtype == F32, path
