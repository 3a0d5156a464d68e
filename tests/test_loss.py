"""The losses: cross-entropy and mean squared error against their formulas,
finite differences and PyTorch."""

import numpy as np
import pytest
from numpy.testing import assert_allclose

from conftest import numgrad
from quillet.nn.loss import CrossEntropyLoss, MSELoss


def log_softmax(A):
    m = A.max(axis=1, keepdims=True)
    return A - m - np.log(np.exp(A - m).sum(axis=1, keepdims=True))


@pytest.mark.parametrize("batch, classes, soft", [(1, 2, False), (5, 4, False), (8, 10, True), (3, 1, False)])
def test_cross_entropy_matches_numpy(batch, classes, soft, rng):
    A = 2 * rng.standard_normal((batch, classes))
    Y = rng.dirichlet(np.ones(classes), batch) if soft else np.eye(classes)[rng.integers(classes, size=batch)]
    crit = CrossEntropyLoss()
    crit.forward(np.ones((batch + 1, classes)), np.eye(classes)[[0] * (batch + 1)])  # backward reads the latest
    loss = crit.forward(A, Y)
    assert isinstance(loss, np.ndarray) and loss.shape == () and loss.dtype == np.float64
    assert loss.sum() == pytest.approx(np.mean(-np.sum(Y * log_softmax(A), axis=1)), rel=1e-12, abs=1e-15)
    G = crit.backward()
    assert G.shape == A.shape
    assert_allclose(G, (np.exp(log_softmax(A)) - Y) / batch, rtol=1e-12, atol=1e-15)
    assert_allclose(G, numgrad(lambda: float(crit.forward(A, Y)), A), rtol=1e-6, atol=1e-8)
    with pytest.raises(ValueError):
        crit.forward(A, Y[:, :-1] if classes > 1 else Y[1:])


def test_cross_entropy_is_stable_for_huge_logits():
    A = np.array([[1000.0, -1000.0, 0.0], [-1000.0, -1000.0, 1000.0], [1000.0, 1000.0, -1000.0]])
    Y = np.eye(3)[[1, 2, 0]]
    crit = CrossEntropyLoss()
    loss = float(crit.forward(A, Y))
    assert loss == pytest.approx((2000 + 0 + np.log(2)) / 3)
    assert_allclose(crit.backward(), [[1, -1, 0], [0, 0, 0], [-0.5, 0.5, 0]] / np.array(3.0), atol=1e-15)


# ---------------------------------------------------------------- MSELoss


@pytest.mark.parametrize("shape", [(4, 3), (2, 3, 5), (7,), ()])
def test_mse_matches_its_formula(shape):
    rng = np.random.default_rng(2)
    A, Y = rng.standard_normal(shape), rng.standard_normal(shape)
    loss = MSELoss()
    value = loss(A, Y)
    assert value.shape == () and value.dtype == np.float64
    np.testing.assert_allclose(value, np.mean((A - Y) ** 2), rtol=1e-15)
    np.testing.assert_array_equal(loss.backward(), 2 * (A - Y) / A.size)
    assert loss.forward(A.tolist(), Y.astype(np.float32)) == pytest.approx(np.mean((A - Y.astype(np.float32)) ** 2))


def test_mse_agrees_with_pytorch():
    torch = pytest.importorskip("torch")
    rng = np.random.default_rng(3)
    A, Y = rng.standard_normal((64, 10)), rng.standard_normal((64, 10))
    a = torch.tensor(A, requires_grad=True)
    expected = torch.nn.functional.mse_loss(a, torch.tensor(Y))
    expected.backward()
    loss = MSELoss()
    assert float(loss(A, Y)) == pytest.approx(expected.item(), rel=1e-14)
    np.testing.assert_allclose(loss.backward(), a.grad.numpy(), rtol=1e-14)


def test_mse_refuses_bad_input():
    loss = MSELoss()
    with pytest.raises(ValueError, match="shape"):
        loss(np.zeros((2, 3)), np.zeros((3, 2)))
    with pytest.raises(TypeError, match="complex"):
        loss(np.zeros(2, complex), np.zeros(2))
    with pytest.raises(AttributeError):
        MSELoss().backward()  # nothing to differentiate yet
