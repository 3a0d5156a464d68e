"""Two-dimensional convolution: Plantrel_stride1 and the padded, strided Plantrel."""

import numpy as np
import pytest
from numpy.testing import assert_allclose, assert_array_equal

from conftest import check_gradients, corr, corr_grads
from quillet.nn.Plantrel import Plantrel, Plantrel_stride1
from quillet.nn.Unfurlet import Unfurlet2d

TOL, SAME = {"rtol": 1e-10, "atol": 1e-9}, {"rtol": 1e-13, "atol": 1e-12}
# batch, in_channels, out_channels, height, width, kernel, stride, padding
SHAPES = [
    (1, 1, 1, 5, 4, 1, 1, 0),
    (2, 3, 2, 4, 4, 4, 1, 0),
    (3, 2, 3, 4, 6, 4, 1, 0),  # kernel 1, == input
    (2, 2, 3, 3, 5, 4, 1, 0),
    (1, 2, 2, 3, 3, 4, 1, 0),
    (2, 1, 2, 2, 5, 3, 2, 0),  # empty outputs
    (2, 3, 4, 6, 7, 3, 2, 1),
    (1, 4, 2, 5, 5, 2, 2, 1),
    (3, 2, 5, 6, 6, 3, 2, 0),
    (2, 5, 3, 9, 7, 3, 3, 3),
    (1, 1, 40, 8, 10, 5, 4, 2),
    (2, 40, 1, 7, 6, 2, 4, 0),
    (1, 2, 3, 2, 3, 4, 1, 2),
    (2, 3, 3, 5, 8, 3, 1, 1),
    (16, 16, 32, 32, 32, 3, 1, 1),
    (4, 8, 12, 20, 28, 5, 2, 2),
]


@pytest.mark.parametrize("n, c, o, h, w, k, s, p", SHAPES)
def test_values_gradients_and_state(n, c, o, h, w, k, s, p, rng):
    A, layer = rng.standard_normal((n, c, h, w)), Plantrel(c, o, k, s, p)
    part = layer.plantrel_stride1
    part.b = rng.standard_normal(o)
    Z = layer.forward(A)
    assert Z.shape == (n, o, (h + 2 * p - k) // s + 1, (w + 2 * p - k) // s + 1) and Z.dtype == np.float64
    assert_allclose(Z, corr(A, part.W, part.b, s, p), **TOL)
    ds = layer.downsample2d
    assert (ds.input_height, ds.input_width) == (h + 2 * p - k + 1, w + 2 * p - k + 1)
    assert part.A is not A and not np.shares_memory(part.A, A)  # padded into a new array, even for p == 0
    assert_array_equal(part.A, np.pad(A, ((0, 0), (0, 0), (p, p), (p, p))))
    G = rng.standard_normal(Z.shape)
    dA = layer.backward(G)
    assert dA.shape == A.shape and (dA.base is not None) == (p > 0)
    for got, ref in zip((dA, part.dLdW, part.dLdb), corr_grads(A, part.W, G, s, p)):
        assert_allclose(got, ref, **TOL)
    if s == 1 and p == 0:
        bare = Plantrel_stride1(c, o, k, lambda *_: part.W, lambda _: part.b)
        assert_allclose(bare.forward(A), Z, **SAME)
        assert bare.A is A
        assert_allclose(bare.backward(G), dA, **SAME)
        assert_allclose(bare.dLdW, part.dLdW, **SAME)
        assert_allclose(bare.dLdb, part.dLdb, **SAME)
    if A.size + part.W.size < 300:
        fresh = Plantrel(c, o, k, s, p)  # its gradients start from zero
        check_gradients(fresh, fresh.plantrel_stride1, A, rng)


@pytest.mark.parametrize("rows, cols", [(0, 0), (1, 4), (3, 2), (3, 4)])
def test_stride1_backward_takes_its_size_from_the_input(rows, cols, rng):
    layer, A = Plantrel_stride1(2, 3, 2), rng.standard_normal((2, 2, 4, 5))
    layer.forward(A)
    G = rng.standard_normal((2, 3, rows, cols))  # a smaller gradient: only its positions contribute
    dA = layer.backward(G)
    Gfull = np.pad(G, ((0, 0), (0, 0), (0, 3 - rows), (0, 4 - cols)))
    for got, ref in zip((dA, layer.dLdW, layer.dLdb), corr_grads(A, layer.W, Gfull)):
        assert_allclose(got, ref, **TOL)
    for bigger in ((2, 3, 4, 4), (2, 3, 3, 5)):
        with pytest.raises(ValueError):
            layer.backward(np.ones(bigger))


# Contiguous float64 and float32 inputs are padded by a kernel, every other
# layout and dtype by NumPy: the stored input is np.pad of it either way, in
# its own dtype, and the output does not depend on the path.
LAYOUTS = {
    "float64": lambda x: x,
    "float32": lambda x: x.astype(np.float32),
    "fortran": np.asfortranarray,
    "reversed": lambda x: x[..., ::-1].copy()[..., ::-1],
    "int": lambda x: (x * 4).astype(np.int32),
    "big-endian": lambda x: x.astype(">f8"),
}


@pytest.mark.parametrize("layout", list(LAYOUTS))
@pytest.mark.parametrize("dims", [1, 2])
def test_padded_input_in_every_layout(layout, dims, rng):
    from quillet.nn.Lintrel import Lintrel

    A = LAYOUTS[layout](rng.standard_normal((2, 3, 5, 7)[: 2 + dims]))
    layer = (Lintrel if dims == 1 else Plantrel)(3, 2, 3, 1, 2)
    part = layer.lintrel_stride1 if dims == 1 else layer.plantrel_stride1
    Z = layer.forward(A)
    assert part.A.dtype == A.dtype
    assert_array_equal(part.A, np.pad(A, [(0, 0)] * 2 + [(2, 2)] * dims))
    assert_allclose(Z, layer.forward(np.ascontiguousarray(A, dtype=np.float64)), rtol=1e-6)


def test_padding_errors():
    with pytest.raises(ValueError):  # negative padding
        Plantrel(2, 3, 2, 1, -1).forward(np.ones((1, 2, 5, 5)))
    with pytest.raises(ValueError):  # kernel larger than the padded input + 1
        Plantrel(2, 3, 6, 1, 1).forward(np.ones((1, 2, 2, 6)))


@pytest.mark.parametrize(
    "make",
    [lambda: Plantrel_stride1(3, 4, 2), lambda: Plantrel(3, 4, 2, 2, 1), lambda: Unfurlet2d(3, 4, 2, 2)],
    ids=["Plantrel_stride1", "Plantrel", "Unfurlet2d"],
)
@pytest.mark.parametrize("channels", [1, 5])
def test_channel_mismatch(make, channels):
    with pytest.raises(ValueError):
        make().forward(np.ones((2, channels, 5, 6)))
    layer = make()
    Z = layer.forward(np.ones((2, 3, 5, 6)))
    with pytest.raises(ValueError):
        layer.backward(np.ones((2, channels) + Z.shape[2:]))
