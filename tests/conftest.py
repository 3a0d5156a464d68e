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


# Small instances of every public layer, companion and model class, for the
# robustness tests: name -> (module, factory taking the module, input shape).
# make() draws default weights after np.random.seed(0), so two instances of
# one name are identical; the modules are imported only when first used.
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
ZOO = {
    "Upsample1d": ("quillet.nn.resampling", lambda m: m.Upsample1d(2), (2, 3, 5)),
    "Downsample1d": ("quillet.nn.resampling", lambda m: m.Downsample1d(2), (2, 3, 5)),
    "Upsample2d": ("quillet.nn.resampling", lambda m: m.Upsample2d(2), (2, 3, 4, 5)),
    "Downsample2d": ("quillet.nn.resampling", lambda m: m.Downsample2d(2), (2, 3, 4, 5)),
    "Flatten": ("quillet.flatten", lambda m: m.Flatten(), (2, 3, 5)),
    "Lintrel_stride1": ("quillet.nn.Lintrel", lambda m: m.Lintrel_stride1(3, 2, 2), (2, 3, 5)),
    "Lintrel": ("quillet.nn.Lintrel", lambda m: m.Lintrel(3, 2, 3, 2, 1), (2, 3, 6)),
    "Plantrel_stride1": ("quillet.nn.Plantrel", lambda m: m.Plantrel_stride1(3, 2, 2), (2, 3, 4, 5)),
    "Plantrel": ("quillet.nn.Plantrel", lambda m: m.Plantrel(3, 2, 3, 2, 1), (2, 3, 5, 6)),
    "Unfurlet1d": ("quillet.nn.Unfurlet", lambda m: m.Unfurlet1d(3, 2, 2, 2), (2, 3, 4)),
    "Unfurlet2d": ("quillet.nn.Unfurlet", lambda m: m.Unfurlet2d(3, 2, 2, 2), (2, 3, 3, 4)),
    "MaxPool2d_stride1": ("quillet.nn.pool", lambda m: m.MaxPool2d_stride1(2), (2, 3, 4, 5)),
    "MeanPool2d_stride1": ("quillet.nn.pool", lambda m: m.MeanPool2d_stride1(2), (2, 3, 4, 5)),
    "MaxPool2d": ("quillet.nn.pool", lambda m: m.MaxPool2d(2, 2), (2, 3, 5, 6)),
    "MeanPool2d": ("quillet.nn.pool", lambda m: m.MeanPool2d(3, 2), (2, 3, 7, 5)),
    "Linear": ("quillet.nn.linear", lambda m: m.Linear(5, 3, lambda o, i: _ramp(o * i).reshape(o, i), _ramp), (4, 5)),
    "ReLU": ("quillet.nn.activation", lambda m: m.ReLU(), (2, 3, 5)),
    "Sigmoid": ("quillet.nn.activation", lambda m: m.Sigmoid(), (2, 3, 5)),
    "Tanh": ("quillet.nn.activation", lambda m: m.Tanh(), (2, 3, 5)),
    "CrossEntropyLoss": ("quillet.nn.loss", lambda m: m.CrossEntropyLoss(), (4, 3)),
    "MLP": ("quillet.models.mlp", lambda m: _loaded(m.MLP([5, 4, 3]), ((5, 4), (4, 3))), (4, 5)),
    "CNN": ("quillet.models.cnn", _cnn, (2, 3, 9)),
    "CNN_SimpleScanningMLP": (
        "quillet.models.trawlix",
        lambda m: _loaded(m.CNN_SimpleScanningMLP(), _SCAN),
        (2, 24, 16),
    ),
    "CNN_DistributedScanningMLP": (
        "quillet.models.trawlix",
        lambda m: _loaded(m.CNN_DistributedScanningMLP(), _SCAN),
        (2, 24, 16),
    ),
}
TARGETS = np.eye(3)[[0, 2, 1, 0]]  # what the criterion compares a (4, 3) input with


def make(name):
    import importlib

    module, factory, _ = ZOO[name]
    np.random.seed(0)
    return factory(importlib.import_module(module))


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
    X = rng.integers(-4, 5, ZOO[name][2]).astype(float)
    with contextlib.redirect_stdout(io.StringIO()):
        Z = fwd(make(name), X)
    return X, (TARGETS[::-1].copy() if name == "CrossEntropyLoss" else rng.integers(-4, 5, Z.shape).astype(float))
