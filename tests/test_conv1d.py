"""One-dimensional convolution: Lintrel_stride1 and the padded, strided Lintrel."""

import subprocess
import sys

import numpy as np
import pytest
from numpy.testing import assert_allclose, assert_array_equal

from conftest import check_gradients, corr, corr_grads
from quillet.nn.Lintrel import Lintrel, Lintrel_stride1
from quillet.nn.Unfurlet import Unfurlet1d

TOL, SAME = {"rtol": 1e-10, "atol": 1e-9}, {"rtol": 1e-13, "atol": 1e-12}
# batch, in_channels, out_channels, width, kernel, stride, padding
SHAPES = [
    (1, 1, 1, 5, 1, 1, 0),
    (3, 2, 4, 6, 6, 1, 0),
    (2, 3, 2, 4, 5, 1, 0),  # kernel 1, == width, == width + 1
    (1, 2, 3, 3, 4, 3, 0),
    (2, 3, 2, 10, 3, 2, 1),
    (1, 4, 3, 7, 3, 2, 0),
    (4, 5, 6, 11, 4, 3, 3),
    (2, 1, 40, 9, 2, 4, 2),
    (5, 40, 1, 13, 5, 4, 3),
    (2, 3, 2, 2, 5, 1, 2),
    (2, 2, 2, 6, 3, 1, 1),
    (8, 32, 16, 300, 5, 1, 0),
    (64, 24, 32, 512, 8, 1, 0),
    (64, 24, 32, 512, 8, 4, 2),
]


@pytest.mark.parametrize("n, c, o, w, k, s, p", SHAPES)
def test_values_gradients_and_state(n, c, o, w, k, s, p, rng):
    A, layer = rng.standard_normal((n, c, w)), Lintrel(c, o, k, s, p)
    part = layer.lintrel_stride1
    part.b = rng.standard_normal(o)
    Z = layer.forward(A)
    assert Z.shape == (n, o, (w + 2 * p - k) // s + 1) and Z.dtype == np.float64
    assert_allclose(Z, corr(A, part.W, part.b, s, p), **TOL)
    assert layer.downsample1d.w_in == w + 2 * p - k + 1
    assert (part.A is A) == (p == 0)  # the padded input is a new array
    assert_array_equal(part.A, np.pad(A, ((0, 0), (0, 0), (p, p))))
    G = rng.standard_normal(Z.shape)
    dA = layer.backward(G)
    assert dA.shape == A.shape and (dA.base is not None) == (p > 0)  # the padding strip is a view
    for got, ref in zip((dA, part.dLdW, part.dLdb), corr_grads(A, part.W, G, s, p)):
        assert_allclose(got, ref, **TOL)
    if s == 1 and p == 0:  # the bare stride-1 layer computes the same
        bare = Lintrel_stride1(c, o, k, lambda *_: part.W, lambda _: part.b)
        assert_allclose(bare.forward(A), Z, **SAME)
        assert bare.A is A
        assert_allclose(bare.backward(G), dA, **SAME)
        assert_allclose(bare.dLdW, part.dLdW, **SAME)
        assert_array_equal(bare.dLdb, part.dLdb)
    if A.size + part.W.size < 300:
        check_gradients(layer, part, A, rng)


@pytest.mark.parametrize("wz", [0, 1, 3])
def test_stride1_backward_takes_its_width_from_the_gradient(wz, rng):
    layer, A = Lintrel_stride1(2, 3, 3), rng.standard_normal((2, 2, 7))
    layer.forward(A)
    G = rng.standard_normal((2, 3, wz))  # narrower than the output: the input width follows the gradient
    dA = layer.backward(G)
    for got, ref in zip((dA, layer.dLdW, layer.dLdb), corr_grads(A[..., : wz + 2], layer.W, G)):
        assert_allclose(got, ref, **TOL)
    with pytest.raises(ValueError):  # wider than the output: the windows of A run short
        layer.backward(np.ones((2, 3, 6)))


@pytest.mark.parametrize("p", [-1, -3])
def test_negative_padding_means_none(p, rng):
    A, layer = rng.standard_normal((2, 3, 8)), Lintrel(3, 2, 3, 2, p)
    Z, part = layer.forward(A), layer.lintrel_stride1
    assert layer.pad == p and part.A is A
    assert_allclose(Z, corr(A, part.W, part.b, 2), **TOL)
    G = rng.standard_normal(Z.shape)
    assert_allclose(layer.backward(G), corr_grads(A, part.W, G, 2)[0], **TOL)


def test_size_errors():
    with pytest.raises(ValueError):  # kernel wider than input + 1
        Lintrel_stride1(3, 2, 7).forward(np.ones((1, 3, 5)))
    layer = Lintrel(3, 2, 3, 2)
    layer.forward(np.ones((1, 3, 7)))
    with pytest.raises(IndexError):  # more gradient columns than the downsampler kept
        layer.backward(np.ones((1, 2, 4)))


MISMATCH = [lambda: Lintrel_stride1(3, 4, 2), lambda: Lintrel(3, 4, 2, 2, 1), lambda: Unfurlet1d(3, 4, 2, 2)]


@pytest.mark.parametrize("make", MISMATCH, ids=["Lintrel_stride1", "Lintrel", "Unfurlet1d"])
@pytest.mark.parametrize("channels", [1, 5])
@pytest.mark.skipif(sys.flags.optimize > 0, reason="assertions are disabled; the next test covers -O")
def test_channel_mismatch_is_an_assertion_naming_the_layer(make, channels):
    name = f"({type(make()).__name__}|Lintrel_stride1)"  # the transposed layer's part may speak for it
    with pytest.raises(AssertionError, match=f"^{name}.forward: input has {channels} channels, .*in_channels=3"):
        make().forward(np.ones((2, channels, 6)))
    layer = make()
    Z = layer.forward(np.ones((2, 3, 6)))
    with pytest.raises(AssertionError, match=f"^{name}.backward: gradient has {channels} channels, .*out_channels=4"):
        layer.backward(np.ones((2, channels, Z.shape[2])))


def test_channel_mismatch_without_assertions():
    script = """
import numpy as np
from quillet.nn.Lintrel import Lintrel, Lintrel_stride1
from quillet.nn.Unfurlet import Unfurlet1d
assert False  # stripped by -O
for make in (lambda: Lintrel_stride1(3, 4, 2), lambda: Lintrel(3, 4, 2, 2, 1), lambda: Unfurlet1d(3, 4, 2, 2)):
    for call in ("forward", "backward"):
        layer = make()
        Z = layer.forward(np.ones((2, 3, 6)))
        try:
            if call == "forward":
                out = layer.forward(np.ones((2, 5, 6)))
            else:
                out = layer.backward(np.ones((2, 5, Z.shape[2])))
        except ValueError:
            continue
        raise SystemExit(f"{type(layer).__name__}.{call} returned {getattr(out, 'shape', out)}")
print("ok")
"""
    run = subprocess.run([sys.executable, "-O", "-c", script], capture_output=True, text=True, timeout=60)
    assert (run.returncode, run.stdout) == (0, "ok\n"), run.stderr
