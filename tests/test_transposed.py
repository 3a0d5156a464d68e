"""Transposed convolutions (Unfurlet1d, Unfurlet2d), and what every convolution
layer shares: construction, parameters read afresh, gradient bookkeeping and
hostile inputs."""

import copy

import numpy as np
import pytest
from numpy.testing import assert_allclose, assert_array_equal

from conftest import PLAIN, ZOO, check_gradients, corr, corr_grads, owner, plain
from quillet.nn.Lintrel import Lintrel_stride1
from quillet.nn.Plantrel import Plantrel_stride1
from quillet.nn.resampling import Downsample1d, Downsample2d, Upsample1d, Upsample2d
from quillet.nn.Unfurlet import Unfurlet1d, Unfurlet2d

TOL, SAME = {"rtol": 1e-10, "atol": 1e-9}, {"rtol": 1e-13, "atol": 1e-12}


def up(A, k):  # k - 1 zeros between neighbours along every spatial axis
    for axis in range(2, A.ndim):
        A = np.insert(A, np.repeat(np.arange(1, A.shape[axis]), k - 1), 0.0, axis=axis)
    return A


def every(k, d):
    return (Ellipsis,) + (slice(None, None, k),) * d


# class, batch, in_channels, out_channels, spatial shape, kernel, factor
SHAPES = [
    (Unfurlet1d, 2, 3, 2, (4,), 2, 2),
    (Unfurlet1d, 1, 1, 1, (5,), 1, 3),
    (Unfurlet1d, 3, 4, 5, (3,), 5, 2),
    (Unfurlet1d, 2, 2, 3, (3,), 6, 2),
    (Unfurlet1d, 2, 3, 4, (6,), 3, 1),
    (Unfurlet1d, 16, 24, 32, (128,), 8, 4),
    (Unfurlet2d, 2, 3, 2, (4, 5), 3, 2),
    (Unfurlet2d, 1, 2, 3, (3, 2), 2, 3),
    (Unfurlet2d, 2, 2, 2, (2, 3), 4, 3),
    (Unfurlet2d, 1, 1, 2, (2, 2), 4, 2),
    (Unfurlet2d, 2, 3, 4, (5, 4), 3, 1),
    (Unfurlet2d, 8, 16, 32, (16, 12), 3, 2),
    (Unfurlet2d, 2, 2, 3, (3, 4), 1, 2),
]  # kernel 1: rows are upsampled even when the kernel is one row


@pytest.mark.parametrize("cls, n, c, o, spatial, k, f", SHAPES)
def test_values_gradients_and_printing(cls, n, c, o, spatial, k, f, rng, capsys):
    d, bare_cls = len(spatial), Lintrel_stride1 if cls is Unfurlet1d else Plantrel_stride1
    A, layer = rng.standard_normal((n, c) + spatial), cls(c, o, k, f)
    part = owner(layer)
    part.b = rng.standard_normal(o)
    Z = layer.forward(A)
    assert capsys.readouterr().out == (f"upsampling_factor {f}\n" if d == 2 else "")
    assert Z.shape == (n, o) + tuple((m - 1) * f - k + 2 for m in spatial)
    assert_array_equal(part.A, up(A, f))
    assert_allclose(Z, corr(up(A, f), part.W, part.b), **TOL)
    G = rng.standard_normal(Z.shape)
    dA = layer.backward(G)
    assert capsys.readouterr().out == "" and dA.shape == A.shape
    dAu, dW, db = corr_grads(up(A, f), part.W, G)
    for got, ref in zip((dA, part.dLdW, part.dLdb), (dAu[every(f, d)], dW, db)):
        assert_allclose(got, ref, **TOL)
    assert_allclose(dA, part.backward(G)[every(f, d)], **SAME)  # the inner gradient at the kept positions
    if f == 1:  # nothing but the stride-1 layer
        bare = bare_cls(c, o, k, lambda *_: part.W, lambda _: part.b)
        assert_allclose(bare.forward(A), Z, **SAME)
        assert_allclose(bare.backward(G), dA, **SAME)
    if A.size + part.W.size < 300:
        fresh = cls(c, o, k, f)
        check_gradients(fresh, owner(fresh), A, rng)


def test_unfurlet2d_prints_before_convolving(capsys):
    layer = Unfurlet2d(2, 3, 3, 2)
    for _ in range(2):
        Z = layer.forward(np.ones((1, 2, 4, 5)))
        assert Z.shape == (1, 3, 5, 7) and capsys.readouterr().out == "upsampling_factor 2\n"
    with pytest.raises(ValueError):  # the convolution fails after the line is out
        layer.forward(np.ones((1, 4, 4, 5)))
    assert capsys.readouterr().out == "upsampling_factor 2\n"
    with pytest.raises(ValueError):  # the upsampling fails first
        layer.forward(np.ones((1, 2, 4)))
    assert capsys.readouterr().out == ""
    Unfurlet2d(1, 1, 1, np.int64(3)).forward(np.ones((1, 1, 2, 2)))
    assert capsys.readouterr().out == "upsampling_factor 3\n"


# Shared behaviour, over the convolutions of ZOO (the plain layers with channels in and out).
CONVOLUTIONS = [name for name in PLAIN if "out_channels" in ZOO[name].kwargs]
# The attributes of the layers that hold a stride-1 convolution, hyper-parameters first.
PARTS = {
    "Lintrel": ["stride", "pad", "lintrel_stride1", "downsample1d"],
    "Plantrel": ["stride", "pad", "plantrel_stride1", "downsample2d"],
    "Unfurlet1d": ["upsampling_factor", "upsample1d", "lintrel_stride1"],
    "Unfurlet2d": ["upsampling_factor", "plantrel_stride1", "upsample2d"],
}
RESAMPLER = {"Lintrel": Downsample1d, "Plantrel": Downsample2d, "Unfurlet1d": Upsample1d, "Unfurlet2d": Upsample2d}
SIZES = ("in_channels", "out_channels", "kernel_size")
classes = pytest.mark.parametrize("name", CONVOLUTIONS)


def build(name, rng, **init):
    layer = plain(name, **init)
    return layer, owner(layer), rng.standard_normal(ZOO[name].shape)


@classes
def test_construction_and_initialisers(name, rng):
    kwargs, d = ZOO[name].kwargs, len(ZOO[name].shape) - 2
    c, o, k = (kwargs[s] for s in SIZES)
    extra = [v for a, v in kwargs.items() if a not in SIZES and not a.endswith("_init_fn")]
    wshape = (o, c) + (k,) * d
    np.random.seed(5)
    layer, part, _ = build(name, rng)
    after = np.random.random()
    np.random.seed(5)
    assert_array_equal(part.W, np.random.normal(0, 1.0, wshape))  # the only draw of construction
    assert after == np.random.random()
    for attr, value in (("b", np.zeros(o)), ("dLdW", np.zeros(wshape)), ("dLdb", np.zeros(o))):
        assert getattr(part, attr).dtype == np.float64 and np.array_equal(getattr(part, attr), value)
    assert [vars(part)[a] for a in SIZES] == [c, o, k]
    if part is not layer:
        assert list(vars(layer)) == PARTS[name] and [vars(layer)[a] for a in PARTS[name][: len(extra)]] == extra
        assert type(part) is (Plantrel_stride1 if d == 2 else Lintrel_stride1)
        resampler = next(v for v in vars(layer).values() if type(v) is RESAMPLER[name])
        assert vars(resampler) in ({"upsampling_factor": extra[0]}, {"downsampling_factor": extra[0]})
    calls, W, b = [], np.asfortranarray(np.ones(wshape, dtype=np.float32)), np.arange(o)
    np.random.seed(5)
    first = np.random.random()
    np.random.seed(5)
    layer, part, _ = build(
        name,
        rng,
        weight_init_fn=lambda *a, **kw: calls.append(("W", a, kw)) or W,
        bias_init_fn=lambda *a, **kw: calls.append(("b", a, kw)) or b,
    )
    assert np.random.random() == first  # nothing drawn
    assert calls == [("W", wshape, {}), ("b", (o,), {})]
    assert part.W is W and part.b is b and part.dLdW.shape == wshape and part.dLdb.shape == (o,)


@classes
def test_parameters_are_read_afresh(name, rng):
    layer, part, A = build(name, rng)
    Z0 = layer.forward(A)
    W, b = rng.integers(-3, 4, part.W.shape), rng.integers(-3, 4, part.b.shape)
    part.W, part.b = W.astype(float), b.astype(float)
    Z, G = layer.forward(A), rng.standard_normal(Z0.shape)
    assert not np.allclose(Z, Z0)
    part.dLdW.fill(0), part.dLdb.fill(0)
    dA, dW, db = np.array(layer.backward(G)), part.dLdW.copy(), part.dLdb.copy()
    for Wv, bv in (
        (W, b),
        (W.astype(np.float32), b.astype(np.float32)),
        (np.asfortranarray(W.astype(float)), b),
        (np.ascontiguousarray(W[:, ::-1])[:, ::-1], b.astype(float)[::-1][::-1]),
    ):
        part.W, part.b = Wv, bv
        assert_allclose(layer.forward(A), Z, **SAME)
        part.dLdW.fill(0), part.dLdb.fill(0)
        assert_allclose(layer.backward(G), dA, **SAME)
        # 1-D gradients are made afresh like np.zeros_like(W); 2-D ones keep accumulating in their arrays
        fresh = A.ndim == 3 and Wv.dtype == np.float32
        assert part.dLdW.dtype == (np.float32 if fresh else np.float64)
        assert_allclose(part.dLdW, dW, **({"rtol": 1e-6, "atol": 1e-5} if fresh else SAME))
        assert_allclose(part.dLdb, db, **({"rtol": 1e-6, "atol": 1e-5} if fresh else SAME))
        assert part.W is Wv and part.b is bv


@classes
def test_gradients_replaced_in_1d_accumulated_in_2d(name, rng):
    layer, part, A = build(name, rng)
    G = rng.standard_normal(layer.forward(A).shape)
    dA, dW, db = np.array(layer.backward(G)), part.dLdW, part.dLdb
    first = dW.copy(), db.copy()
    assert_allclose(layer.backward(G), dA, **SAME)
    if A.ndim == 3:  # new arrays holding the single-call values; the old ones untouched
        assert part.dLdW is not dW and part.dLdb is not db
        assert_array_equal(dW, first[0]), assert_array_equal(db, first[1])
        assert_allclose(part.dLdW, dW, **SAME), assert_allclose(part.dLdb, db, **SAME)
    else:  # added in place
        assert part.dLdW is dW and part.dLdb is db
        assert_allclose(dW, 2 * first[0], **SAME), assert_allclose(db, 2 * first[1], **SAME)


@classes
def test_hostile_input_layouts(name, layout, rng):
    layer, part, A = build(name, rng)
    X = layout(4 * A)
    X0, Xf = copy.deepcopy(X), np.array(X, dtype=float)
    Zf = layer.forward(Xf)
    G = layout(4 * rng.standard_normal(Zf.shape))
    G0 = copy.deepcopy(G)
    part.dLdW.fill(0)
    dAf, dWf = np.array(layer.backward(np.array(G, dtype=float))), part.dLdW.copy()
    Z = layer.forward(X)
    assert Z.dtype == np.float64
    assert_allclose(Z, Zf, **SAME)
    if part is layer and isinstance(X, np.ndarray):
        assert layer.A is X  # kept by reference, whatever its layout
    part.dLdW.fill(0)
    dA = layer.backward(G)
    assert dA.dtype == np.float64
    assert_allclose(dA, dAf, **SAME)
    assert_allclose(part.dLdW, dWf, **SAME)
    assert_array_equal(X, X0), assert_array_equal(G, G0)


@classes
def test_unusable_inputs(name, rng):
    layer, part, A = build(name, rng)
    with pytest.raises(AttributeError):  # no forward yet
        layer.backward(np.ones((2, part.b.size) + A.shape[2:]))
    with pytest.raises(TypeError):
        layer.forward(A.astype(complex))
    for bad in (A[0], A[None], A[0, 0, 0]):
        with pytest.raises(ValueError):
            layer.forward(bad)
    Z = layer.forward(A)
    for bad in (Z[0], Z[None]):
        with pytest.raises(ValueError):
            layer.backward(bad)


@pytest.mark.parametrize("name", list(PARTS))
def test_composites_call_replaced_methods_of_their_parts(name, rng, capsys):
    layer, part, A = build(name, rng)
    Z = layer.forward(A)
    G = rng.standard_normal(Z.shape)
    dA = layer.backward(G)
    forward, backward = part.forward, type(part).backward
    part.forward = lambda X: 2 * forward(X)  # on the instance
    assert_allclose(layer.forward(A), 2 * Z, **SAME)
    del part.forward
    try:
        type(part).backward = lambda self, g: 3 * backward(self, g)  # on the class
        layer.forward(A)
        assert_allclose(layer.backward(G), 3 * dA, **SAME)
    finally:
        type(part).backward = backward
    layer.forward(A)
    assert_allclose(layer.backward(G), dA, **SAME)
