"""Single precision: quillet.default_dtype and the layers that compute in float32."""

import asyncio
import contextlib
import copy
import importlib
import io
import threading

import numpy as np
import pytest

import quillet
from conftest import ZOO, make, owner
from quillet import state
from quillet.nn.Lintrel import Lintrel, Lintrel_stride1
from quillet.nn.Plantrel import Plantrel, Plantrel_stride1
from quillet.optim import SGD, Adam, parameters

F32 = np.float32


def rel(got, want):
    """The largest error relative to the largest magnitude of the float64 result."""
    scale = max(np.abs(want).max(), np.finfo(np.float64).tiny)
    return np.abs(got.astype(np.float64) - want).max() / scale


def run(layer, x, g):
    z = layer.forward(x)
    return z, layer.backward(g if g is not None else np.ones(z.shape))


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


@pytest.mark.parametrize("path", [None, "direct", "blocked", "blas", "winograd"])
@pytest.mark.parametrize("make, shape", CONV)
def test_conv_matches_float64(make, shape, path):
    np.random.seed(1)
    wide = make()
    with quillet.default_dtype(F32):
        np.random.seed(1)
        single = make()
    # Both start from the same float32 values, so only the arithmetic differs.
    for name in ("W", "b"):
        setattr(owner(wide), name, getattr(owner(single), name).astype(np.float64))
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
    s32, s64 = owner(single), owner(wide)
    for got in (z32, d32, s32.dLdW, s32.dLdb, s32.W):
        assert got.dtype == F32
    # 2-D layers add to their gradients: both ran backward twice.
    assert rel(z32, z64) < 2e-6
    assert rel(d32, d64) < 2e-6
    assert rel(s32.dLdb, s64.dLdb) < 1e-6
    assert rel(s32.dLdW, s64.dLdW) < 5e-6


@pytest.mark.parametrize(
    "make_layer, shape",
    [
        (lambda: Lintrel(2, 8, 3, 1), (2, 2, 32768 + 2)),
        (lambda: Lintrel(2, 8, 3, 1), (2, 2, 32647)),  # rows end in a part of a vector, alone in its run
        (lambda: Lintrel(2, 8, 3, 3), (2, 2, 32768 * 3 + 2)),
        (lambda: Lintrel(2, 8, 3, 1), (600, 2, 130)),  # many short samples
        (lambda: Plantrel_stride1(2, 8, 3), (2, 2, 141, 235)),  # many rows to a sample
    ],
    ids=["stride 1", "stride 1, ragged", "stride 3", "samples", "2-D"],
)
def test_weight_gradients_over_many_positions(make_layer, shape):
    # Each weight gradient sums some 65,000 products of float32 values.  Kept
    # in one float32 sum per filter (or per lane of one), its rounding errors
    # would reach one to a few parts in a million; summed in float32 for a
    # few hundred terms at a time and in double beyond, they stay near
    # float32's precision.  A run that skipped positions would be far off.
    rng = np.random.default_rng(3)
    x = rng.standard_normal(shape)
    np.random.seed(3)
    wide = make_layer()
    with quillet.default_dtype(F32):
        np.random.seed(3)
        single = make_layer()
        g = rng.standard_normal(single.forward(x.astype(F32)).shape)
        single.backward(g.astype(F32))
    wide.forward(x.astype(F32).astype(np.float64))
    wide.backward(g.astype(F32).astype(np.float64))
    assert rel(owner(single).dLdW, owner(wide).dLdW) < 1e-6
    assert rel(owner(single).dLdb, owner(wide).dLdb) < 1e-6


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
    # The recurrent layers, with one array in and one out (see Sequence, Steps, Lookup).
    "RNN": ("quillet.nn.rnn", lambda m: Sequence(m.RNN(3, 5, num_layers=2, bidirectional=True)), (6, 4, 3)),
    "GRU": ("quillet.nn.rnn", lambda m: Sequence(m.GRU(3, 5, bidirectional=True)), (6, 4, 3)),
    "LSTM": ("quillet.nn.rnn", lambda m: Sequence(m.LSTM(3, 5, num_layers=2)), (6, 4, 3)),
    "RNNCell": ("quillet.nn.rnn", lambda m: Steps(m.RNNCell(3, 5, nonlinearity="relu")), (4, 2, 3)),
    "GRUCell": ("quillet.nn.rnn", lambda m: Steps(m.GRUCell(3, 5)), (4, 2, 3)),
    "LSTMCell": ("quillet.nn.rnn", lambda m: Steps(m.LSTMCell(3, 5)), (4, 2, 3)),
    "Embedding": ("quillet.nn.rnn", lambda m: Lookup(m.Embedding(6, 5, padding_idx=2)), (4, 6)),
}
LOSSES = {"CrossEntropyLoss", "MSELoss"}
RECURRENT = ["RNN", "GRU", "LSTM", "RNNCell", "GRUCell", "LSTMCell", "Embedding"]


class Sequence:
    """A sequence layer run from a fixed non-zero initial state: forward(X) -> Y,
    backward(dLdY) -> dLdX.  The last states are kept as h_n."""

    def __init__(self, layer):
        self.layer = layer

    def forward(self, X):
        n = self.layer.num_layers * (2 if self.layer.bidirectional else 1)
        h = np.linspace(-1, 1, n * X.shape[1] * self.layer.hidden_size).reshape(n, X.shape[1], -1)
        Y, self.h_n = self.layer.forward(X, (h, -h) if type(self.layer).__name__ == "LSTM" else h)
        return Y

    def backward(self, dLdY):
        return self.layer.backward(dLdY)


class Steps:
    """A cell run over the steps of X (seq_len, batch, input_size), with Sequence's face."""

    def __init__(self, layer):
        self.layer = layer

    def forward(self, X):
        h, out = None, []
        for x in X:
            h = self.layer.forward(x, h)
            out.append(h[0] if isinstance(h, tuple) else h)
        return np.stack(out)

    def backward(self, dLdY):
        dh, dc, dX = 0, np.zeros(dLdY.shape[1:]), []
        for g in dLdY[::-1]:
            if type(self.layer).__name__ == "LSTMCell":
                dx, (dh, dc) = self.layer.backward(g + dh, dc)
            else:
                dx, dh = self.layer.backward(g + dh)
            dX.append(dx)
        return np.stack(dX[::-1])


class Lookup:
    """Embedding looking up each row's ranking of X; backward returns None, as Embedding's does."""

    def __init__(self, layer):
        self.layer = layer

    def forward(self, X):
        return self.layer.forward(np.argsort(X, axis=-1))

    def backward(self, dLdZ):
        return self.layer.backward(dLdZ)


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
    """The paths of the gradients of every parameter ("layers.0.dLdW", "layer.dLdW_ih_l0")."""
    parts = [p.rpartition(".") for p in state.state_dict(layer)]
    return [owner + dot + "dLd" + name for owner, dot, name in parts if not name.startswith("running_")]


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
    assert z32.dtype == F32
    assert rel(z32, z64) < 2e-6
    if d64 is not None:  # Embedding's backward returns nothing
        assert d32.dtype == F32
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


# ---------------------------------------------------------------- what is particular to some layers


def _views():
    """(layer, the argument's shape, the method returning a view, the input of a forward before it)."""
    from quillet.flatten import Flatten
    from quillet.nn.resampling import Downsample1d, Downsample2d, Upsample2d

    return [
        (Downsample1d(2), (2, 3, 7), "forward", None),
        (Downsample2d(2), (2, 3, 5, 6), "forward", None),
        (Upsample2d(2), (2, 3, 5, 7), "backward", (2, 3, 3, 4)),
        (Flatten(), (2, 3, 4), "forward", None),
        (Flatten(), (2, 12), "backward", (2, 3, 4)),
    ]


@pytest.mark.parametrize("case", range(5))
@pytest.mark.parametrize("dtype", [np.float64, np.int32])
def test_views_keep_the_arguments_dtype(case, dtype):
    layer, shape, method, before = _views()[case]
    x = np.arange(np.prod(shape)).reshape(shape).astype(dtype)
    with quillet.default_dtype(F32):
        if before:
            layer.forward(np.zeros(before))
        out = getattr(layer, method)(x)
    assert out.dtype == dtype and np.shares_memory(out, x)


def test_batchnorm_running_statistics_stay_in_the_dtype_they_were_made_in():
    from quillet.nn.batchnorm import BatchNorm1d

    x = np.random.default_rng(0).standard_normal((8, 3))
    wide = BatchNorm1d(3)
    with quillet.default_dtype(F32):
        single = BatchNorm1d(3)
        running = single.running_mean
        single.forward(x)
        wide.forward(x)
    assert single.running_mean is running  # updated in place
    assert single.running_mean.dtype == single.running_var.dtype == F32
    assert wide.running_mean.dtype == wide.running_var.dtype == np.float64
    assert rel(single.running_var, wide.running_var) < 1e-6


@pytest.mark.parametrize("dims", [1, 2])
def test_batchnorm_statistics_are_accumulated_in_double(dims):
    from quillet.nn.batchnorm import BatchNorm1d, BatchNorm2d

    # 2^16 values per channel around 1000: a float32 sum of them loses about
    # three digits of the variance, a double one none.
    shape = (256, 4, 256) if dims == 1 else (64, 4, 32, 32)
    x = (1000 + np.random.default_rng(dims).standard_normal(shape)).astype(F32)
    make = BatchNorm1d if dims == 1 else BatchNorm2d
    wide = make(4)
    with quillet.default_dtype(F32):
        single = make(4)
        z32 = single.forward(x)
        d32 = single.backward(x - 1000)
    z64 = wide.forward(x.astype(np.float64))
    d64 = wide.backward((x - 1000).astype(np.float64))
    # The normalised values are rounded once; x - mean itself loses the last
    # digits of x near 1000 (about 6e-5 of a unit standard deviation).
    assert rel(z32, z64) < 2e-4
    assert rel(d32, d64) < 2e-4
    assert rel(single.running_var, wide.running_var) < 1e-6
    assert rel(single.running_mean, wide.running_mean) < 1e-6


def test_losses_are_accumulated_in_double():
    from quillet.nn.loss import CrossEntropyLoss, MSELoss

    rng = np.random.default_rng(5)
    # 2^20 terms: a float32 running sum drifts by about 1e-5 of the total.
    a, y = rng.random(1 << 20).astype(F32), rng.random(1 << 20).astype(F32)
    logits, labels = rng.standard_normal((1 << 17, 8)).astype(F32), rng.integers(0, 8, 1 << 17)
    with quillet.default_dtype(F32):
        mse, ce = MSELoss().forward(a, y), CrossEntropyLoss().forward(logits, labels)
    assert mse.dtype == ce.dtype == F32 and mse.shape == ce.shape == ()
    assert rel(mse, MSELoss().forward(a.astype(np.float64), y.astype(np.float64))) < 1e-6
    # The softmax of each row is rounded to float32 before its logarithm.
    assert rel(ce, CrossEntropyLoss().forward(logits.astype(np.float64), labels)) < 1e-6


def test_integer_labels_are_one_hot_rows_in_float32():
    from quillet.nn.loss import CrossEntropyLoss

    logits, labels = np.random.default_rng(2).standard_normal((5, 4)), np.array([3, 0, 1, 1, 2])
    with quillet.default_dtype(F32):
        by_label, by_row = CrossEntropyLoss(), CrossEntropyLoss()
        assert by_label.forward(logits, labels) == by_row.forward(logits, np.eye(4)[labels])
        assert by_label.Y.dtype == F32 and np.array_equal(by_label.Y, np.eye(4)[labels])
        assert np.array_equal(by_label.backward(), by_row.backward())


def test_dropout_draws_the_same_mask_in_float32():
    from quillet.nn.dropout import Dropout

    x = np.random.default_rng(3).standard_normal((16, 33))
    np.random.seed(4)
    wide = Dropout(0.4).forward(x.astype(F32).astype(np.float64))
    with quillet.default_dtype(F32):
        np.random.seed(4)
        layer = Dropout(0.4)
        single = layer.forward(x)
        grad = layer.backward(x)
    assert single.dtype == grad.dtype == F32
    assert rel(single, wide) < 1e-7 and np.array_equal(grad == 0, wide == 0)


def test_a_float64_linear_layer_keeps_float64_gradients():
    from quillet.nn.linear import Linear

    layer = Linear(4, 3, lambda o, i: np.ones((o, i)))
    with quillet.default_dtype(F32):
        z = layer.forward(np.ones((2, 4)))
        dA = layer.backward(np.ones(z.shape))
    assert z.dtype == dA.dtype == F32
    assert layer.W.dtype == layer.dLdW.dtype == layer.dLdb.dtype == np.float64
    assert np.array_equal(layer.dLdW, np.full((3, 4), 2.0))


def test_long_sums_in_a_linear_layer():
    from quillet.nn.linear import Linear

    rng = np.random.default_rng(6)
    w = rng.standard_normal((16, 4096)).astype(F32)
    x = rng.standard_normal((512, 4096)).astype(F32)
    g = rng.standard_normal((512, 16)).astype(F32)
    wide = Linear(4096, 16, lambda o, i: w.astype(np.float64))
    with quillet.default_dtype(F32):
        single = Linear(4096, 16, lambda o, i: w)
        z32, d32 = single.forward(x), single.backward(g)
    z64, d64 = wide.forward(x.astype(np.float64)), wide.backward(g.astype(np.float64))
    # Each output is a dot product of 4096 float32 terms (dLdW: of 512), whose
    # rounding errors grow with the square root of their number.
    assert rel(z32, z64) < 2e-5 and rel(single.dLdW, wide.dLdW) < 2e-5
    assert rel(d32, d64) < 2e-6
    assert rel(single.dLdb, wide.dLdb) < 1e-6  # summed over the batch in double


def floating_arrays(obj):
    """Every floating-point array an object holds, through its attributes, tuples and lists."""
    if isinstance(obj, np.ndarray):
        return [obj] if obj.dtype.kind == "f" else []
    if isinstance(obj, (tuple, list)):
        return [a for o in obj for a in floating_arrays(o)]
    return floating_arrays(list(vars(obj).values())) if hasattr(obj, "__dict__") else []


@pytest.mark.parametrize("name", RECURRENT)
def test_recurrent_layers_keep_every_array_in_float32(name):
    with quillet.default_dtype(F32):
        model = build(name)
        z = model.forward(np.random.default_rng(0).standard_normal(input_shape(name)))
        kept = floating_arrays(model)  # the cache, or the cell's stack, and the last states
        model.backward(np.ones(z.shape))
    assert all(a.dtype == F32 for a in kept + [z] + floating_arrays(model))


@pytest.mark.parametrize("forward, backward", [(F32, np.float64), (np.float64, F32)])
def test_a_recurrent_layer_computes_in_the_dtype_of_each_call(forward, backward):
    from quillet.nn.rnn import LSTM

    np.random.seed(0)
    layer, x = LSTM(3, 4), np.random.default_rng(1).standard_normal((5, 2, 3)).astype(F32)
    twin = copy.deepcopy(layer)
    y64, _ = twin.forward(x)
    d64 = twin.backward(np.ones(y64.shape))
    with quillet.default_dtype(forward):
        y, (h, c) = layer.forward(x)
    with quillet.default_dtype(backward):  # reads what forward kept in the other dtype
        d = layer.backward(np.ones(y.shape))
    assert y.dtype == h.dtype == c.dtype == forward and d.dtype == backward
    assert layer.W_ih_l0.dtype == layer.dLdW_ih_l0.dtype == np.float64  # gradients keep the parameter's dtype
    assert rel(y, y64) < 1e-6 and rel(d, d64) < 1e-6
    assert rel(layer.dLdW_hh_l0, twin.dLdW_hh_l0) < 1e-6


def ulps(got, want):
    """The largest difference from the float64 result rounded to float32, in its units in the last place."""
    want = want.astype(F32)
    return (np.abs(got.astype(np.float64) - want) / np.spacing(np.abs(want))).max()


# The second shape's input width fills whole column blocks at every level, so
# its input weight gradient goes through the blocked path, with a short last
# panel of the 46 gate rows.
@pytest.mark.parametrize("I, H", [(24, 16), (64, 46)])
def test_recurrent_and_embedding_gradients_over_long_sums(I, H):
    from quillet.nn.rnn import RNN, Embedding

    # One step over 8192 rows with every pre-activation positive: the gate
    # gradients are dLdY itself, so each gradient is a sum of 8192 float32
    # products.  Bias gradients and the table's rows (each ~7000 lookups) are
    # summed in double: within an ulp, where a float32 running sum is
    # thousands off.  Weight gradients are summed in float32 blocks added in
    # double, as a convolution's are.
    rng = np.random.default_rng(7)
    x, h0 = rng.random((1, 8192, I)).astype(F32), rng.random((1, 8192, H)).astype(F32)
    g, idx = rng.standard_normal((1, 8192, H)).astype(F32), rng.integers(0, 3, 20000)
    gz = rng.standard_normal((20000, 8)).astype(F32)

    def passes():
        np.random.seed(0)
        rnn, emb = RNN(I, H, nonlinearity="relu"), Embedding(3, 8)
        for name in ("W_ih_l0", "W_hh_l0", "b_ih_l0", "b_hh_l0"):
            setattr(rnn, name, np.abs(getattr(rnn, name)))
        rnn.forward(x, h0)
        rnn.backward(g)
        emb.forward(idx)
        emb.backward(gz)
        return [rnn.dLdb_ih_l0, rnn.dLdb_hh_l0, emb.dLdW], [rnn.dLdW_ih_l0, rnn.dLdW_hh_l0]

    sums, weights = passes()
    with quillet.default_dtype(F32):
        sums32, weights32 = passes()
    for got, want in zip(sums32, sums):
        assert got.dtype == F32 and ulps(got, want) <= 1
    for got, want in zip(weights32, weights):
        assert got.dtype == F32 and rel(got, want) < 1e-6  # one float32 sum of 8192 misses by 2e-6


@pytest.mark.parametrize("name", ["GRU", "LSTM", "RNNCell", "LSTMCell"])
def test_float32_recurrent_models_pass_gradcheck(name):
    from quillet.gradcheck import gradcheck

    with quillet.default_dtype(F32):
        model = build(name)
        assert gradcheck(model, np.random.default_rng(1).standard_normal(input_shape(name)))
    assert all(value.dtype == F32 for value in state.state_dict(model).values())


# ---------------------------------------------------------------- the toolkit in float32


def _f32_net():
    from quillet.flatten import Flatten
    from quillet.nn.activation import ReLU
    from quillet.nn.linear import Linear
    from quillet.nn.Plantrel import Plantrel
    from quillet.nn.sequential import Sequential

    np.random.seed(3)
    with quillet.default_dtype(np.float32):
        return Sequential(
            Plantrel(2, 3, 3, 1, 1), ReLU(), Flatten(), Linear(3 * 4 * 4, 2, lambda o, i: np.random.randn(o, i))
        )


@pytest.mark.parametrize(
    "make_opt", [lambda n: SGD(n, lr=0.01, momentum=0.9), lambda n: Adam(n, lr=1e-3)], ids=["SGD", "Adam"]
)
def test_optimizers_train_float32_parameters_in_float32(make_opt):
    net = _f32_net()
    X = np.random.default_rng(0).standard_normal((4, 2, 4, 4)).astype(np.float32)
    held = [getattr(o, n) for o, n in parameters(net)]
    opt = make_opt(net)
    twin = copy.deepcopy(net)  # the same steps, in float64, as the reference
    for o, n in parameters(twin):
        setattr(o, n, getattr(o, n).astype(np.float64))
    topt = make_opt(twin)
    for _ in range(3):
        with quillet.default_dtype(np.float32):
            opt.zero_grad()
            net.backward(np.ones_like(net(X)))
            opt.step()
        topt.zero_grad()
        twin.backward(np.ones_like(twin(X.astype(np.float64))))
        topt.step()
    assert [getattr(o, n) for o, n in parameters(net)] == held  # updated in place
    for (o, n), (p, m) in zip(parameters(net), parameters(twin)):
        assert getattr(o, n).dtype == np.float32
        np.testing.assert_allclose(getattr(o, n), getattr(p, m), rtol=2e-4, atol=2e-5)
    assert all(v.dtype == np.float32 for e in opt.state.values() for v in e.values() if isinstance(v, np.ndarray))


def test_float32_models_keep_their_dtype_through_files_and_pass_gradcheck(tmp_path):
    from quillet.gradcheck import gradcheck

    net, other = _f32_net(), _f32_net()
    for o, n in parameters(other):
        getattr(o, n)[...] = 0
    state.save(net, tmp_path / "net.npz")
    with quillet.default_dtype(np.float32):
        state.load(other, tmp_path / "net.npz")
    for (o, n), (p, m) in zip(parameters(net), parameters(other)):
        assert getattr(p, m).dtype == np.float32
        np.testing.assert_array_equal(getattr(o, n), getattr(p, m))
    with quillet.default_dtype(np.float32):  # the differences are taken in float64 all the same
        assert gradcheck(net, np.random.default_rng(1).standard_normal((2, 2, 4, 4)))
        assert quillet.get_default_dtype() is np.float32
