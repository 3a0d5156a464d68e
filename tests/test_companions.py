import numpy as np
import pytest
from numpy.testing import assert_allclose, assert_array_equal

from conftest import numgrad
from quillet.nn.activation import ReLU, Sigmoid, Tanh
from quillet.nn.linear import Linear


def test_linear_construction():
    np.random.seed(3)
    layer, after = Linear(5, 3), np.random.normal()
    np.random.seed(3)
    assert after == np.random.normal()  # no random numbers drawn
    for name, shape in (("W", (3, 5)), ("b", (3,)), ("dLdW", (3, 5)), ("dLdb", (3,))):
        x = getattr(layer, name)
        assert x.shape == shape and x.dtype == np.float64 and not x.any()
    calls = []
    layer = Linear(
        4,
        2,
        weight_init_fn=lambda *s: calls.append(s) or np.ones(s),
        bias_init_fn=lambda *s: calls.append(s) or np.full(s, 0.5),
    )
    assert calls == [(2, 4), (2,)] and layer.dLdW.shape == (2, 4) and not layer.dLdW.any()
    assert_array_equal(layer(np.ones((1, 4))), [[4.5, 4.5]])
    with pytest.raises(AttributeError):
        Linear(4, 2).backward(np.ones((1, 2)))


@pytest.mark.parametrize("batch, fin, fout", [(1, 1, 1), (4, 5, 3), (7, 2, 9), (3, 64, 10)])
def test_linear_matches_numpy(batch, fin, fout, rng):
    layer = Linear(fin, fout)
    W, b = rng.standard_normal((fin, fout)).T, rng.standard_normal(fout)  # W a transposed (strided) view
    layer.W, layer.b = W, b
    A, G = rng.standard_normal((batch, fin)), rng.standard_normal((batch, fout))
    layer(rng.standard_normal((batch + 1, fin)))  # backward refers to the latest input only
    Z = layer.forward(A)
    assert layer.A is A and Z.shape == (batch, fout) and Z.dtype == np.float64
    assert_allclose(Z, A @ W.T + b, atol=1e-12)
    assert_array_equal(layer(A), Z)
    old = layer.dLdW, layer.dLdb
    assert_allclose(layer.backward(G), G @ W, atol=1e-12)
    assert_allclose(layer.dLdW, G.T @ A, atol=1e-12)
    assert_allclose(layer.dLdb, G.sum(0), atol=1e-12)
    assert layer.dLdW is not old[0] and layer.dLdb is not old[1] and not old[0].any()  # replaced, not updated
    assert layer.W is W and layer.b is b


def test_linear_finite_differences(rng):
    layer = Linear(4, 3)
    layer.W, layer.b = rng.standard_normal((3, 4)), rng.standard_normal(3)
    A, G = rng.standard_normal((5, 4)), rng.standard_normal((5, 3))

    def loss():
        return np.sum(G * layer.forward(A) ** 2)  # non-linear in every parameter

    Z = layer.forward(A)
    dA = layer.backward(2 * G * Z)
    for analytic, x in ((dA, A), (layer.dLdW, layer.W), (layer.dLdb, layer.b)):
        assert_allclose(analytic, numgrad(loss, x), rtol=1e-6, atol=1e-6)


ACTIVATIONS = {
    ReLU: (lambda z: np.maximum(z, 0), lambda z: (z > 0).astype(float)),
    Sigmoid: (lambda z: 1 / (1 + np.exp(-z)), lambda z: np.exp(-z) / (1 + np.exp(-z)) ** 2),
    Tanh: (np.tanh, lambda z: 1 / np.cosh(z) ** 2),
}


@pytest.mark.parametrize("cls", ACTIVATIONS, ids=lambda c: c.__name__)
@pytest.mark.parametrize("shape", [(4, 7), (2, 3, 5), (1, 1), (3, 0)])
def test_activations_match_numpy(cls, shape, rng):
    f, df = ACTIVATIONS[cls]
    layer, Z, G = cls(), 3 * rng.standard_normal(shape), rng.standard_normal(shape)
    A = layer.forward(Z)
    assert A.shape == shape and A.dtype == np.float64 and A is not Z
    assert_allclose(A, f(Z), rtol=1e-13, atol=1e-15)
    assert_array_equal(layer(Z), A)
    dZ = layer.backward(G)
    assert dZ.shape == shape and dZ.dtype == np.float64
    assert_allclose(dZ, G * df(Z), rtol=1e-12, atol=1e-15)
    assert_allclose(dZ, numgrad(lambda: np.sum(G * layer.forward(Z)), Z), rtol=1e-5, atol=1e-7)
    with pytest.raises(AttributeError):
        cls().backward(G)


@pytest.mark.parametrize("cls", ACTIVATIONS, ids=lambda c: c.__name__)
def test_activations_on_integers_and_extremes(cls):
    Z = np.array([[-1000, -40, -1, 0, 1, 40, 1000]])
    with np.errstate(all="ignore"):
        expected = [np.nan_to_num(g(Z.astype(float))) for g in ACTIVATIONS[cls]]
    layer = cls()
    A, dZ = layer.forward(Z), layer.backward(np.ones(Z.shape))
    assert A.dtype == np.float64
    assert_allclose(A, expected[0], rtol=1e-13, atol=1e-300)
    assert_allclose(dZ, expected[1], rtol=1e-12, atol=1e-16)  # ReLU: no gradient at the kink
