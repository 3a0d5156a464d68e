"""Batch normalisation, dropout and the activations beyond ReLU/Sigmoid/Tanh,
against NumPy transcriptions of their formulas (and PyTorch where installed)."""

import copy
import math
import pickle

import numpy as np
import pytest
from numpy.testing import assert_allclose, assert_array_equal

from conftest import numgrad
from quillet.nn.activation import GELU, Identity, LeakyReLU, Softmax
from quillet.nn.batchnorm import BatchNorm1d, BatchNorm2d
from quillet.nn.dropout import Dropout

try:
    import torch
except ImportError:
    torch = None


# ---------------------------------------------------------------- batch normalisation


def reference_bn(A, W, b, mean, var, eps, G, batch_stats):
    """Z and the gradients of a batch normalisation with the given statistics."""
    axes = (0, *range(2, A.ndim))
    shape = (1, -1) + (1,) * (A.ndim - 2)
    xhat = (A - mean.reshape(shape)) / np.sqrt(var.reshape(shape) + eps)
    Z = W.reshape(shape) * xhat + b.reshape(shape)
    dxhat = G * W.reshape(shape)
    if batch_stats:
        m = A.size / A.shape[1]
        dA = (m * dxhat - dxhat.sum(axes, keepdims=True) - xhat * (dxhat * xhat).sum(axes, keepdims=True)) / (
            m * np.sqrt(var.reshape(shape) + eps)
        )
    else:
        dA = dxhat / np.sqrt(var.reshape(shape) + eps)
    return Z, dA, (G * xhat).sum(axes), G.sum(axes)


@pytest.mark.parametrize("cls, shape", [(BatchNorm1d, (6, 3)), (BatchNorm1d, (5, 3, 7)), (BatchNorm2d, (3, 3, 4, 5))])
def test_batchnorm_matches_its_formulas_in_both_modes(cls, shape, rng):
    layer = cls(3, eps=1e-3, momentum=0.25)
    layer.W, layer.b = rng.standard_normal(3), rng.standard_normal(3)
    running_mean, running_var = layer.running_mean, layer.running_var
    rm, rv = np.zeros(3), np.ones(3)
    axes, m = (0, *range(2, len(shape))), np.prod(shape) / shape[1]
    for step in range(3):  # two training steps, then evaluation
        A, G = rng.normal(2.0, 3.0, shape), rng.standard_normal(shape)
        train = step < 2
        if not train:
            layer.eval()
        mean, var = (A.mean(axes), A.var(axes)) if train else (rm, rv)
        Z, dA, dW, db = reference_bn(A, layer.W, layer.b, mean, var, 1e-3, G, train)
        assert_allclose(layer.forward(A), Z, rtol=1e-12, atol=1e-12)
        assert_allclose(layer.backward(G), dA, rtol=1e-10, atol=1e-12)
        assert_allclose(layer.dLdW, dW, rtol=1e-12, atol=1e-12)
        assert_allclose(layer.dLdb, db, rtol=1e-12, atol=1e-12)
        if train:
            rm, rv = 0.75 * rm + 0.25 * mean, 0.75 * rv + 0.25 * var * m / (m - 1)
        assert_allclose(layer.running_mean, rm, rtol=1e-12)
        assert_allclose(layer.running_var, rv, rtol=1e-12)
    assert layer.running_mean is running_mean and layer.running_var is running_var  # updated in place


@pytest.mark.skipif(torch is None, reason="PyTorch is not installed")
@pytest.mark.parametrize("cls, shape", [(BatchNorm1d, (8, 4, 6)), (BatchNorm2d, (4, 4, 5, 3))])
def test_batchnorm_agrees_with_pytorch(cls, shape, rng):
    ours, theirs = cls(4), getattr(torch.nn, cls.__name__)(4).double()
    ours.W, ours.b = rng.standard_normal(4), rng.standard_normal(4)
    with torch.no_grad():
        theirs.weight.copy_(torch.tensor(ours.W))
        theirs.bias.copy_(torch.tensor(ours.b))
    for mode in ("train", "train", "eval"):
        getattr(ours, mode)()
        getattr(theirs, mode)()
        A, G = rng.normal(1.0, 2.0, shape), rng.standard_normal(shape)
        x = torch.tensor(A, requires_grad=True)
        theirs.zero_grad()
        z = theirs(x)
        z.backward(torch.tensor(G))
        assert_allclose(ours.forward(A), z.detach().numpy(), rtol=1e-10, atol=1e-12)
        assert_allclose(ours.backward(G), x.grad.numpy(), rtol=1e-10, atol=1e-12)
        assert_allclose(ours.dLdW, theirs.weight.grad.numpy(), rtol=1e-10, atol=1e-12)
        assert_allclose(ours.running_var, theirs.running_var.numpy(), rtol=1e-12)


def test_batchnorm_input_gradient_is_the_derivative(rng):
    layer, A = BatchNorm2d(2), rng.standard_normal((3, 2, 2, 3))
    G = rng.standard_normal(A.shape)
    layer.forward(A)
    got = layer.backward(G)
    assert_allclose(got, numgrad(lambda: np.vdot(layer.forward(A), G), A), rtol=1e-6, atol=1e-7)


def test_batchnorm_refusals():
    with pytest.raises(ValueError, match="no variance"):
        BatchNorm1d(3).forward(np.ones((1, 3)))  # one value per channel
    layer = BatchNorm1d(3)
    layer.eval()
    assert layer.forward(np.ones((1, 3))).shape == (1, 3)  # the running statistics need no batch
    with pytest.raises(ValueError, match="has 4 channels, but the layer has num_features=3"):
        BatchNorm1d(3).forward(np.ones((2, 4)))
    with pytest.raises(ValueError, match="4 axes"):
        BatchNorm2d(3).forward(np.ones((2, 3, 4)))
    for args, exc in (((0,), ValueError), ((2.5,), TypeError), ((3, 0.0), ValueError), ((3, 1e-5, 1.5), ValueError)):
        with pytest.raises(exc):
            BatchNorm1d(*args)
    with pytest.raises(AttributeError, match="backward was called before forward"):
        BatchNorm1d(3).backward(np.ones((2, 3)))


# ---------------------------------------------------------------- dropout


@pytest.mark.parametrize("p", [0.1, 0.5, 0.9])
def test_dropout_mask_comes_from_numpys_generator(p, rng):
    A, G = rng.standard_normal((4, 3, 50)), rng.standard_normal((4, 3, 50))
    layer = Dropout(p)
    np.random.seed(7)
    Z = layer.forward(A)
    np.random.seed(7)
    keep = np.random.randint(0, 2**32, A.shape, dtype=np.uint32) >= math.ceil(p * 2**32)
    assert_array_equal(layer.mask, keep)
    assert_allclose(Z, A * keep / (1 - p), rtol=1e-15)
    assert_allclose(layer.backward(G), G * keep / (1 - p), rtol=1e-15)
    assert abs(keep.mean() - (1 - p)) < 0.06


def test_dropout_passes_through_when_evaluating_or_p_is_zero(rng):
    A, G = rng.standard_normal((2, 5)), rng.standard_normal((2, 5))
    layer = Dropout(0.5)
    layer.eval()
    state = np.random.get_state()[1].copy()
    assert layer.forward(A) is A and layer.backward(G) is G and layer.mask is None
    assert_array_equal(np.random.get_state()[1], state)  # nothing drawn
    layer = Dropout(0.0)
    assert layer.forward(A) is A and layer.backward(G) is G
    for p, exc in ((1.0, ValueError), (-0.1, ValueError), ("half", TypeError)):
        with pytest.raises(exc, match="p must"):
            Dropout(p)


def test_new_layers_are_plain_and_copy(rng):
    for layer in (BatchNorm2d(2), Dropout(0.3), LeakyReLU(0.2)):
        A = rng.standard_normal((3, 2, 4, 4))
        layer.forward(A)
        for clone in (copy.deepcopy(layer), pickle.loads(pickle.dumps(layer))):
            assert type(clone) is type(layer) and vars(clone).keys() == vars(layer).keys()
            assert repr(clone) == repr(layer)
    assert repr(BatchNorm2d(16)) == "BatchNorm2d(num_features=16, eps=1e-05, momentum=0.1)"


# ---------------------------------------------------------------- activations

ERF = np.vectorize(math.erf)


def softmax(Z):
    e = np.exp(Z - Z.max(axis=1, keepdims=True))
    return e / e.sum(axis=1, keepdims=True)


@pytest.mark.parametrize(
    "make, formula",
    [
        (lambda: LeakyReLU(), lambda z: np.where(z > 0, z, 0.01 * z)),
        (lambda: LeakyReLU(0.3), lambda z: np.where(z > 0, z, 0.3 * z)),
        (GELU, lambda z: 0.5 * z * (1 + ERF(z / math.sqrt(2)))),
        (Softmax, softmax),
        (Identity, lambda z: z),
    ],
    ids=["LeakyReLU", "LeakyReLU(0.3)", "GELU", "Softmax", "Identity"],
)
@pytest.mark.parametrize("shape", [(4, 5), (3, 4, 6)])
def test_activations_match_formulas_and_derivatives(make, formula, shape, rng):
    layer, Z, G = make(), rng.standard_normal(shape) * 2, rng.standard_normal(shape)
    assert_allclose(layer.forward(Z), formula(Z), rtol=1e-14, atol=1e-15)
    assert_allclose(layer.backward(G), numgrad(lambda: np.vdot(formula(Z), G), Z), rtol=1e-6, atol=1e-8)


def test_softmax_is_stable_and_its_backward_is_the_jacobian_product(rng):
    Z = np.array([[1000.0, 1000.0, -1000.0], [-1e300, 0.0, 1e300]])
    A = Softmax()(Z)
    assert_allclose(A, [[0.5, 0.5, 0.0], [0.0, 0.0, 1.0]])
    Z = rng.standard_normal((2, 4))
    layer, G = Softmax(), rng.standard_normal((2, 4))
    A = layer.forward(Z)
    jac = [np.diag(a) - np.outer(a, a) for a in A]
    assert_allclose(layer.backward(G), [j @ g for j, g in zip(jac, G)], rtol=1e-13, atol=1e-15)
    with pytest.raises(ValueError, match="at least 2 axes"):
        Softmax().forward(np.ones(3))
