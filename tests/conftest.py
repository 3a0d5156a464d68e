import pathlib
from typing import Callable, NamedTuple, Optional

import numpy as np
import pytest

# Hostile variants of a float64 array holding the same values (as far as the
# dtype allows): other dtypes, strides, memory and byte orders, a Python list.
LAYOUTS = {
    "int64": lambda a: a.round().astype(np.int64),
    "int8": lambda a: a.round().clip(-9, 9).astype(np.int8),
    "float32": lambda a: a.astype(np.float32),
    "bool": lambda a: a > 0,
    "object": lambda a: a.astype(object),
    "strided": lambda a: np.repeat(a, 2, axis=-1)[..., ::2],
    "negative_stride": lambda a: np.ascontiguousarray(a[..., ::-1])[..., ::-1],
    "fortran": np.asfortranarray,
    "readonly": lambda a: np.lib.stride_tricks.as_strided(a.copy(), writeable=False),
    "big_endian": lambda a: a.astype(">f8"),
    "nonfinite": lambda a: np.where(a > 2, np.inf, np.where(a < -2, np.nan, a)),
    "list": lambda a: a.tolist(),
}


@pytest.fixture(params=sorted(LAYOUTS))
def layout(request):
    return LAYOUTS[request.param]


@pytest.fixture
def rng():
    return np.random.default_rng(1234)


@pytest.fixture
def two_threads():
    """Two kernel threads, whatever the machine has, for the test's duration."""
    import quillet

    before = quillet.get_num_threads()
    quillet.set_num_threads(2)
    try:
        yield
    finally:
        quillet.set_num_threads(before)


EXAMPLES = pathlib.Path(__file__).resolve().parents[1] / "examples"


def load_example(script):
    """examples/<script> imported as a module of its own (not runpy's copy of its
    globals), so that a test can replace the functions the example calls."""
    import importlib.util

    where = importlib.util.spec_from_file_location(pathlib.Path(script).stem, EXAMPLES / script)
    module = importlib.util.module_from_spec(where)
    where.loader.exec_module(module)
    return module


def example_extras():
    """Skips the calling test unless the examples' own dependencies are installed."""
    for name in ("sklearn", "matplotlib", "tqdm"):
        pytest.importorskip(name, reason='the example\'s dependencies: pip install ".[examples]"')


def refusal(example, argv, capsys):
    """What the example's main(argv) writes to stderr, refusing its flags: it
    exits with status 2 having written nothing to stdout."""
    with pytest.raises(SystemExit) as stop:
        example.main(argv)
    out, err = capsys.readouterr()
    assert stop.value.code == 2 and out == ""
    return err


# Reference convolution: every window of the zero-padded input, contracted with
# the kernels by einsum.  Works for any number d of spatial axes (W.ndim - 2).
def _windows(A, k, s):
    d = A.ndim - 2
    if min(A.shape[2:]) < k:  # no window fits along some axis: an empty output
        return np.zeros(A.shape[:2] + tuple(max(n - k, -1) // s + 1 for n in A.shape[2:]) + (k,) * d)
    v = np.lib.stride_tricks.sliding_window_view(A, (k,) * d, axis=tuple(range(2, A.ndim)))
    return v[(slice(None),) * 2 + (slice(None, None, s),) * d]


def _sub(d):
    return "ij"[:d], "pq"[:d]


def corr(A, W, b, s=1, p=0):
    d = W.ndim - 2
    x, t = _sub(d)
    Ap = np.pad(np.asarray(A, dtype=float), [(0, 0)] * 2 + [(p, p)] * d)
    return np.einsum(f"nc{x}{t},oc{t}->no{x}", _windows(Ap, W.shape[-1], s), W, optimize=True) + np.reshape(
        b, (-1,) + (1,) * d
    )


def corr_grads(A, W, G, s=1, p=0):
    """(dLdA, dLdW, dLdb) of corr for the output gradient G.  dLdA is the full
    correlation of the zero-interleaved gradient with the flipped kernels."""
    d, k = W.ndim - 2, W.shape[-1]
    x, t = _sub(d)
    Ap = np.pad(np.asarray(A, dtype=float), [(0, 0)] * 2 + [(p, p)] * d)
    dW = np.einsum(f"no{x},nc{x}{t}->oc{t}", G, _windows(Ap, k, s), optimize=True)
    Gs = np.zeros(G.shape[:2] + tuple(n - k + 1 for n in Ap.shape[2:]))
    Gs[(slice(None),) * 2 + (slice(None, None, s),) * d] = G
    flipped = np.flip(W, axis=tuple(range(2, W.ndim))).swapaxes(0, 1)
    dAp = corr(np.pad(Gs, [(0, 0)] * 2 + [(k - 1, k - 1)] * d), flipped, np.zeros(W.shape[1]))
    return dAp[(Ellipsis,) + tuple(slice(p, n - p) for n in Ap.shape[2:])], dW, G.sum(axis=(0, *range(2, G.ndim)))


def numgrad(loss, x, eps=1e-6):
    """Central differences of the scalar loss() with respect to the array x, perturbed in place."""
    g = np.zeros(x.shape)
    for i in np.ndindex(x.shape):
        x0 = x[i]
        x[i] = x0 + eps
        up = loss()
        x[i] = x0 - eps
        g[i] = (up - loss()) / (2 * eps)
        x[i] = x0
    return g


def check_gradients(layer, part, A, rng):
    """On a fresh layer, backward(G) and the parameter gradients on `part` (where W
    and b live) match central differences of L = sum(forward(A) * G) in A, W and b."""
    G = rng.standard_normal(layer.forward(A).shape)
    got = np.array(layer.backward(G)), part.dLdW.copy(), part.dLdb.copy()
    loss = lambda: np.vdot(layer.forward(A), G)
    for g, x in zip(got, (A, part.W, part.b)):
        np.testing.assert_allclose(g, numgrad(loss, x), rtol=1e-6, atol=1e-7)


# The forward and backward doc lines ("Argument:" and "Return:") of a layer
# whose forward takes `a` of shape a_shape and returns `z` of shape z_shape: its
# backward takes dLd<z> and returns dLd<a>, of the same shapes unless given.
def passes(a_shape, z_shape, names=("A", "Z"), backward=None):
    a, z = names
    dz_shape, da_shape = backward or (z_shape, a_shape)
    return (
        (f"{a} (np.array): {a_shape}", f"{z} (np.array): {z_shape}"),
        (f"dLd{z} (np.array): {dz_shape}", f"dLd{a} (np.array): {da_shape}"),
    )


RESAMPLE_1D = passes("(batch_size, in_channels, input_width)", "(batch_size, in_channels, output_width)")
RESAMPLE_2D = passes(
    "(batch_size, in_channels, input_height, input_width)", "(batch_size, in_channels, output_height, output_width)"
)
FLATTEN = passes(
    "(batch_size, in_channels, in_width)",
    "(batch_size, in_channels * in width)",
    backward=("(batch size, in channels * in width)", "(batch size, in channels, in width)"),
)
LINEAR = passes("(batch_size, in_features)", "(batch_size, out_features)")
ACTIVATION = passes(
    "(batch_size, ...)",
    "(batch_size, ...), the shape of Z",
    names=("Z", "A"),
    backward=("(batch_size, ...)", "(batch_size, ...), the shape of dLdA"),
)
POOL = passes(
    "(batch_size, in_channels, input_width, input_height)", "(batch_size, out_channels, output_width, output_height)"
)
CONV_1D = passes("(batch_size, in_channels, input_size)", "(batch_size, out_channels, output_size)")
CONV_2D = passes(
    "(batch_size, in_channels, input_height, input_width)", "(batch_size, out_channels, output_height, output_width)"
)


# Small instances of every public layer, companion and model class, for the
# suites parametrized over them (plain-class behaviour, hostile inputs, leaks,
# docstrings, gradient checks): name -> Layer.  make() draws default weights
# after np.random.seed(0), so two instances of one name are identical; the
# modules are imported only when first used.  A new layer is added here.
class Layer(NamedTuple):
    module: str
    factory: Callable  # the module -> an instance
    shape: tuple  # of an input
    # For the plain layers (forward(A), backward(dLdZ)): every constructor
    # parameter by name, and the forward and backward doc lines.
    kwargs: Optional[dict] = None
    docs: Optional[tuple] = None
    # Larger instances of a plain layer, for its multi-threaded kernels: (the
    # constructor parameters that differ, an input shape) each.
    large: tuple = ()


def _plain(module, name, kwargs, shape, docs, *large):
    return Layer(module, lambda m: getattr(m, name)(**kwargs), shape, kwargs, docs, large)


def _ramp(n):
    return np.linspace(-1, 1, n)


def _cnn(m):
    import contextlib
    import io  # the constructor prints the widths of its layers

    from quillet.nn.activation import ReLU, Sigmoid, Tanh
    from quillet.nn.loss import CrossEntropyLoss

    with contextlib.redirect_stdout(io.StringIO()):
        return m.CNN(
            9,
            3,
            [4, 4, 2],
            [2, 3, 2],
            [1, 2, 1],
            3,
            [ReLU(), Tanh(), Sigmoid()],
            None,
            _ramp,
            lambda o, i: _ramp(o * i).reshape(o, i),
            CrossEntropyLoss(),
            0.1,
        )


def _loaded(model, shapes):
    r = np.random.default_rng(0)
    model.init_weights([r.standard_normal(s) for s in shapes])
    return model


_SCAN = ((192, 8), (8, 16), (16, 4))
_INIT = {"weight_init_fn": None, "bias_init_fn": None}  # default weights: N(0, 1) from numpy's generator
_RS, _NN = "quillet.nn.resampling", "quillet.nn."
ZOO = {
    "Upsample1d": _plain(_RS, "Upsample1d", {"upsampling_factor": 2}, (2, 3, 5), RESAMPLE_1D),
    "Downsample1d": _plain(_RS, "Downsample1d", {"downsampling_factor": 2}, (2, 3, 5), RESAMPLE_1D),
    "Upsample2d": _plain(
        _RS, "Upsample2d", {"upsampling_factor": 2}, (2, 3, 4, 5), RESAMPLE_2D, ({}, (16, 32, 32, 32))
    ),
    "Downsample2d": _plain(_RS, "Downsample2d", {"downsampling_factor": 2}, (2, 3, 4, 5), RESAMPLE_2D),
    "Flatten": _plain("quillet.flatten", "Flatten", {}, (2, 3, 5), FLATTEN),
    "Lintrel_stride1": _plain(
        _NN + "Lintrel",
        "Lintrel_stride1",
        {"in_channels": 3, "out_channels": 2, "kernel_size": 2, **_INIT},
        (2, 3, 5),
        CONV_1D,
    ),
    "Lintrel": _plain(
        _NN + "Lintrel",
        "Lintrel",
        {"in_channels": 3, "out_channels": 2, "kernel_size": 3, "stride": 2, "padding": 1, **_INIT},
        (2, 3, 6),
        CONV_1D,
        ({"in_channels": 32, "out_channels": 32, "kernel_size": 5, "padding": 2}, (16, 32, 512)),
    ),
    "Plantrel_stride1": _plain(
        _NN + "Plantrel",
        "Plantrel_stride1",
        {"in_channels": 3, "out_channels": 2, "kernel_size": 2, **_INIT},
        (2, 3, 4, 5),
        CONV_2D,
        ({"in_channels": 16, "out_channels": 32, "kernel_size": 3}, (16, 16, 32, 32)),
        ({"in_channels": 240, "out_channels": 4, "kernel_size": 3}, (2, 240, 10, 10)),
    ),
    "Plantrel": _plain(
        _NN + "Plantrel",
        "Plantrel",
        {"in_channels": 3, "out_channels": 2, "kernel_size": 3, "stride": 2, "padding": 1, **_INIT},
        (2, 3, 5, 6),
        CONV_2D,
        ({"in_channels": 16, "out_channels": 8}, (8, 16, 32, 32)),
    ),
    "Unfurlet1d": _plain(
        _NN + "Unfurlet",
        "Unfurlet1d",
        {"in_channels": 3, "out_channels": 2, "kernel_size": 2, "upsampling_factor": 2, **_INIT},
        (2, 3, 4),
        CONV_1D,
    ),
    "Unfurlet2d": _plain(
        _NN + "Unfurlet",
        "Unfurlet2d",
        {"in_channels": 3, "out_channels": 2, "kernel_size": 2, "upsampling_factor": 2, **_INIT},
        (2, 3, 3, 4),
        CONV_2D,
        ({"in_channels": 8, "out_channels": 8, "kernel_size": 3}, (4, 8, 16, 16)),
    ),
    "MaxPool2d_stride1": _plain(_NN + "pool", "MaxPool2d_stride1", {"kernel": 2}, (2, 3, 4, 5), POOL),
    "MeanPool2d_stride1": _plain(
        _NN + "pool", "MeanPool2d_stride1", {"kernel": 2}, (2, 3, 4, 5), POOL, ({"kernel": 3}, (8, 16, 32, 32))
    ),
    "MaxPool2d": _plain(
        _NN + "pool", "MaxPool2d", {"kernel": 2, "stride": 2}, (2, 3, 5, 6), POOL, ({"kernel": 3}, (16, 32, 32, 32))
    ),
    "MeanPool2d": _plain(_NN + "pool", "MeanPool2d", {"kernel": 3, "stride": 2}, (2, 3, 7, 5), POOL),
    "Linear": _plain(
        _NN + "linear",
        "Linear",
        {
            "in_features": 5,
            "out_features": 3,
            "weight_init_fn": lambda o, i: _ramp(o * i).reshape(o, i),
            "bias_init_fn": _ramp,
        },
        (4, 5),
        LINEAR,
        ({"in_features": 512, "out_features": 256}, (256, 512)),
    ),
    "ReLU": _plain(_NN + "activation", "ReLU", {}, (2, 3, 5), ACTIVATION),
    "Sigmoid": _plain(_NN + "activation", "Sigmoid", {}, (2, 3, 5), ACTIVATION),
    "Tanh": _plain(_NN + "activation", "Tanh", {}, (2, 3, 5), ACTIVATION, ({}, (64, 64, 256))),
    "CrossEntropyLoss": Layer(_NN + "loss", lambda m: m.CrossEntropyLoss(), (4, 3)),
    "MLP": Layer("quillet.models.mlp", lambda m: _loaded(m.MLP([5, 4, 3]), ((5, 4), (4, 3))), (4, 5)),
    "CNN": Layer("quillet.models.cnn", _cnn, (2, 3, 9)),
    "CNN_SimpleScanningMLP": Layer(
        "quillet.models.trawlix", lambda m: _loaded(m.CNN_SimpleScanningMLP(), _SCAN), (2, 24, 16)
    ),
    "CNN_DistributedScanningMLP": Layer(
        "quillet.models.trawlix", lambda m: _loaded(m.CNN_DistributedScanningMLP(), _SCAN), (2, 24, 16)
    ),
}
PLAIN = [name for name, layer in ZOO.items() if layer.kwargs is not None]
# Every module defining a public class: those of ZOO, and those whose classes
# ZOO leaves out (random masks, training and evaluation modes, containers).
MODULES = sorted(
    {layer.module for layer in ZOO.values()} | {_NN + "batchnorm", _NN + "dropout", _NN + "rnn", _NN + "sequential"}
)
TARGETS = np.eye(3)[[0, 2, 1, 0]]  # what the criterion compares a (4, 3) input with


def make(name):
    import importlib

    layer = ZOO[name]
    np.random.seed(0)
    return layer.factory(importlib.import_module(layer.module))


def plain(name, **changes):
    """The plain layer `name` built from its constructor parameters in ZOO, with some
    changed (weights drawn by default come from numpy's global generator, unseeded)."""
    import importlib

    layer = ZOO[name]
    return getattr(importlib.import_module(layer.module), name)(**{**layer.kwargs, **changes})


def owner(layer):
    """What holds a layer's W and b: the stride-1 convolution inside a strided
    or transposed one, else the layer itself."""
    inner = vars(layer)
    return next((inner[a] for a in ("lintrel_stride1", "plantrel_stride1") if a in inner), layer)


def fwd(layer, X, targets=TARGETS):
    """forward(X); the criterion's forward also takes the targets."""
    return layer.forward(X, targets) if type(layer).__name__ == "CrossEntropyLoss" else layer.forward(X)


def bwd(layer, G):
    """backward(G); the criterion's backward takes nothing."""
    return layer.backward() if type(layer).__name__ == "CrossEntropyLoss" else layer.backward(G)


def base(name):
    """A float64 input of small integers and a gradient for the output (the targets, for the criterion)."""
    import contextlib
    import io

    rng = np.random.default_rng(len(name))
    X = rng.integers(-4, 5, ZOO[name].shape).astype(float)
    with contextlib.redirect_stdout(io.StringIO()):
        Z = fwd(make(name), X)
    return X, (TARGETS[::-1].copy() if name == "CrossEntropyLoss" else rng.integers(-4, 5, Z.shape).astype(float))
