"""Pooling and resampling on shapes large enough that their kernels split the
planes over two threads, and awkward enough to catch an off-by-one in that
split or at the edges: plane counts that are multiples of nothing useful,
odd heights and widths, windows that overlap, touch or leave gaps, trailing
rows and columns in no window, and max-pool ties from integer-valued inputs."""

import numpy as np
import pytest
from numpy.lib.stride_tricks import sliding_window_view
from numpy.testing import assert_allclose, assert_array_equal

from quillet.nn.pool import MaxPool2d, MaxPool2d_stride1, MeanPool2d, MeanPool2d_stride1
from quillet.nn.resampling import Downsample1d, Downsample2d, Upsample1d, Upsample2d

pytestmark = pytest.mark.usefixtures("two_threads")


def pool_reference(A, G, k, s, kind):
    """Z and dA of k x k windows at stride s: every window from sliding_window_view,
    its gradient spread back one window offset (p, q) at a time; ties all receive it."""
    win = sliding_window_view(A, (k, k), axis=(2, 3))[:, :, ::s, ::s]
    ho, wo = win.shape[2:4]
    if kind == "max":
        Z = win.max(axis=(-2, -1))
        share = (win == Z[..., None, None]) * G[..., None, None]
    else:
        Z = win.mean(axis=(-2, -1))
        share = np.broadcast_to(G[..., None, None] / k**2, win.shape)
    dA = np.zeros(A.shape)
    for p in range(k):
        for q in range(k):
            dA[:, :, p : p + s * (ho - 1) + 1 : s, q : q + s * (wo - 1) + 1 : s] += share[..., p, q]
    return Z, dA


def last_window(n, k, s, count):
    """For each of n rows, the last of `count` windows covering it, or -1."""
    y = np.arange(n)
    i = np.minimum(y // s, count - 1)
    return np.where(y < i * s + k, i, -1)


# class, kernel, stride, input shape (batch * channels planes)
POOLS = [
    (MaxPool2d, 3, 2, (3, 13, 61, 47)),  # overlapping windows
    (MaxPool2d, 2, 3, (5, 7, 97, 90)),  # gaps; the last two rows and the last column in no window
    (MaxPool2d_stride1, 3, 1, (1, 37, 41, 43)),
    (MeanPool2d, 3, 3, (3, 13, 89, 80)),  # windows that touch; the last two rows in none
    (MeanPool2d_stride1, 2, 1, (7, 5, 45, 39)),
]


@pytest.mark.parametrize("cls, k, s, shape", POOLS, ids=lambda v: getattr(v, "__name__", None))
def test_pooling(cls, k, s, shape, rng):
    kind = "max" if cls in (MaxPool2d, MaxPool2d_stride1) else "mean"
    A = rng.integers(-3, 4, shape).astype(float) if kind == "max" else rng.standard_normal(shape)
    layer = cls(k, s) if cls in (MaxPool2d, MeanPool2d) else cls(k)
    Z = layer.forward(A)
    G = rng.standard_normal(Z.shape)
    Zr, dAr = pool_reference(A, G, k, s, kind)
    if kind == "max":
        assert_array_equal(Z, Zr)
    else:
        assert_allclose(Z, Zr, rtol=1e-13, atol=1e-13)
    if cls is MaxPool2d:  # where the input equals the maximum of the last window covering it
        rows, cols = (last_window(n, k, s, m) for n, m in zip(shape[2:], Z.shape[2:]))
        mask = (A == Zr[:, :, rows][:, :, :, cols]) & (rows >= 0)[:, None] & (cols >= 0)
        assert_array_equal(layer.max_indices, mask)
    assert_allclose(layer.backward(G), dAr, rtol=1e-13, atol=1e-13)


def spread(A, k, d):
    """A with k - 1 zeros between neighbours along its last d axes."""
    out = np.zeros(A.shape[: A.ndim - d] + tuple((n - 1) * k + 1 for n in A.shape[A.ndim - d :]))
    out[(Ellipsis,) + (slice(None, None, k),) * d] = A
    return out


def pick(A, k, d):
    return A[(Ellipsis,) + (slice(None, None, k),) * d]


# class, factor, input shape
RESAMPLERS = [
    (Upsample1d, 3, (5, 13, 4099)),
    (Downsample1d, 3, (7, 13, 8192)),  # the last column is dropped
    (Upsample2d, 2, (3, 11, 97, 103)),
    (Downsample2d, 2, (5, 9, 152, 149)),
]  # the last row is dropped


@pytest.mark.parametrize("cls, k, shape", RESAMPLERS, ids=lambda v: getattr(v, "__name__", None))
def test_resampling(cls, k, shape, rng):
    d, A, layer = len(shape) - 2, rng.standard_normal(shape), cls(k)
    Z = layer.forward(A)
    assert_array_equal(Z, spread(A, k, d) if cls in (Upsample1d, Upsample2d) else pick(A, k, d))
    G = rng.standard_normal(Z.shape)
    if cls in (Upsample1d, Upsample2d):
        expected = pick(G, k, d)
    else:
        expected = np.zeros(shape)
        expected[tuple(slice(0, n) for n in spread(G, k, d).shape)] = spread(G, k, d)
    assert_array_equal(layer.backward(G), expected)
