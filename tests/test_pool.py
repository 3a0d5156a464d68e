import copy
import warnings

import numpy as np
import pytest
from numpy.lib.stride_tricks import sliding_window_view
from numpy.testing import assert_allclose, assert_array_equal

import quillet
import quillet.nn.pool as pool
from quillet.nn.pool import MaxPool2d, MaxPool2d_stride1, MeanPool2d, MeanPool2d_stride1
from quillet.nn.resampling import Downsample2d

ALL = [MaxPool2d_stride1, MeanPool2d_stride1, MaxPool2d, MeanPool2d]
STRIDED = (MaxPool2d, MeanPool2d)
KIND = {MaxPool2d_stride1: "max", MaxPool2d: "max", MeanPool2d_stride1: "mean", MeanPool2d: "mean"}
TIGHT = {"rtol": 1e-13, "atol": 1e-13}


def make(cls, k, s=1):
    return cls(k, s) if cls in STRIDED else cls(k)


def out_extent(n, k, s):
    return (n - k) // s + 1


# Independent references: windows from sliding_window_view for forward, an
# explicit loop over every gradient element (and every window, in row-major
# order, for the mask) for backward.
def ref_forward(A, k, s, kind):
    A = np.asarray(A, dtype=float)
    shape = A.shape[:2] + tuple(out_extent(n, k, s) for n in A.shape[2:])
    if 0 in shape:
        return np.zeros(shape)
    win = sliding_window_view(A, (k, k), axis=(2, 3))[:, :, ::s, ::s]
    return getattr(win, kind)(axis=(-2, -1))


@np.errstate(invalid="ignore")  # an infinite gradient times a False mask entry is NaN, as in numpy
def ref_backward(A, G, k, s, kind):
    A, dA = np.asarray(A, dtype=float), np.zeros(np.shape(A))
    for n, c, i, j in np.ndindex(G.shape):
        w = A[n, c, i * s : i * s + k, j * s : j * s + k]
        dA[n, c, i * s : i * s + k, j * s : j * s + k] += G[n, c, i, j] * (
            (w == w.max()) if kind == "max" else 1 / k**2
        )
    return dA


def ref_mask(A, k, s):
    A, mask = np.asarray(A, dtype=float), np.zeros(np.shape(A), dtype=bool)
    for i in range(out_extent(A.shape[2], k, s)):
        for j in range(out_extent(A.shape[3], k, s)):
            w = A[:, :, i * s : i * s + k, j * s : j * s + k]
            mask[:, :, i * s : i * s + k, j * s : j * s + k] = w == w.max(axis=(2, 3), keepdims=True)
    return mask


# the last shape of each is wide enough for the kernels' vector loops and their tails
GRID = [
    (c, k, 1, shape)
    for c in ALL[:2]
    for k in (1, 2, 3)
    for shape in ((2, 3, 4, 4), (2, 2, 5, 3), (1, 2, 6, 7), (1, 2, 5, 41))
] + [
    (c, k, s, shape)
    for c in STRIDED
    for k, s in ((2, 2), (3, 2), (3, 1), (2, 3), (1, 1), (1, 2), (4, 3))
    for shape in ((2, 3, 6, 4), (2, 2, 5, 5), (1, 2, 7, 6), (1, 2, 7, 77))
]


@pytest.mark.parametrize("ties", [False, True])
@pytest.mark.parametrize("cls, k, s, shape", GRID)
def test_values_shapes_and_gradients(cls, k, s, shape, ties, rng):
    A = rng.integers(-2, 3, shape).astype(float) if ties else rng.standard_normal(shape)
    A0, layer, kind = A.copy(), make(cls, k, s), KIND[cls]
    Z = layer.forward(A)
    assert Z.shape == shape[:2] + (out_extent(shape[2], k, s), out_extent(shape[3], k, s))
    assert_allclose(Z, ref_forward(A, k, s, kind), **TIGHT)
    G = rng.standard_normal(Z.shape)
    dA = layer.backward(G)
    assert dA.shape == shape and layer.A is A
    assert_allclose(dA, ref_backward(A, G, k, s, kind), **TIGHT)
    for out, arg in ((Z, A), (dA, G)):  # new float64 arrays
        assert out.dtype == np.float64 and out.flags.c_contiguous and not np.shares_memory(out, arg)
    if cls is MaxPool2d:
        assert_array_equal(layer.max_indices, ref_mask(A, k, s))
    assert_array_equal(A, A0)
    A[0, 0] += 10  # one sample and one channel changed: every other plane keeps its output
    Z2 = layer.forward(A)
    assert_array_equal(Z2[1:], Z[1:])
    assert_array_equal(Z2[0, 1:], Z[0, 1:])
    if s == 1 and cls in STRIDED:  # with stride 1 the strided layers are the stride-1 layers
        one = make(ALL[STRIDED.index(cls)], k)
        assert_allclose(one.forward(A), Z2, **TIGHT)
        assert_allclose(one.backward(G), layer.backward(G), **TIGHT)


@pytest.mark.parametrize("cls", ALL)
def test_worked_examples(cls):
    k2 = make(cls, 2, 1)
    if KIND[cls] == "max":  # constant input: every position ties, gets one gradient per covering window
        k2.forward(np.full((2, 3, 4, 4), 7.0))
        cover = np.array([[1, 2, 2, 1], [2, 4, 4, 2], [2, 4, 4, 2], [1, 2, 2, 1]])
        assert_array_equal(k2.backward(np.ones((2, 3, 3, 3))), np.broadcast_to(cover, (2, 3, 4, 4)))
        for layer in (make(cls, 2, 1), make(cls, 2, 2)):
            assert_array_equal(layer.forward(np.array([[[[1.0, 3], [3, 0]]]])), [[[[3]]]])
            assert_array_equal(layer.backward(np.array([[[[2.5]]]])), [[[[0, 2.5], [2.5, 0]]]])
    else:  # every input position gets 1/K**2 of each window covering it
        k2.forward(np.zeros((1, 1, 4, 4)))
        mean = np.array([[0.25, 0.5, 0.5, 0.25], [0.5, 1, 1, 0.5], [0.5, 1, 1, 0.5], [0.25, 0.5, 0.5, 0.25]])
        assert_array_equal(k2.backward(np.ones((1, 1, 3, 3))), [[mean]])
    if cls in STRIDED:  # the last row and column belong to no window
        layer, A = cls(2, 2), np.arange(35.0).reshape(1, 1, 5, 7)
        assert layer.forward(A).shape == (1, 1, 2, 3)
        dA = layer.backward(np.ones((1, 1, 2, 3)))
        assert not dA[..., 4, :].any() and not dA[..., 6].any() and dA.sum() == 6
        assert cls(2, 2).forward(np.ones((3, 2, 6, 4))).shape == (3, 2, 3, 2)


def test_max_indices_overwrite_order():
    layer, A = MaxPool2d(2, 1), np.array([[[[1.0, 3, 5], [0, 0, 0]]]])
    assert_array_equal(layer.forward(A), [[[[3, 5]]]])
    mask = layer.max_indices
    assert mask.dtype == bool and mask.shape == A.shape
    assert_array_equal(mask, [[[[False, False, True], [False, False, False]]]])  # the 3 was overwritten
    assert_array_equal(layer.backward(np.array([[[[2.0, 7.0]]]])), [[[[0, 2, 7], [0, 0, 0]]]])
    B = np.ones((2, 1, 3, 3))
    layer.forward(B)
    assert layer.max_indices is not mask and layer.max_indices.shape == B.shape and layer.max_indices.all()
    assert_array_equal(mask, [[[[False, False, True], [False, False, False]]]])  # the old mask is left alone


@pytest.mark.parametrize(
    "cls, k, s, hw, out",
    [
        (MaxPool2d_stride1, 4, 1, (3, 4), (0, 1)),
        (MeanPool2d_stride1, 4, 1, (4, 3), (1, 0)),
        (MaxPool2d_stride1, 5, 1, (3, 4), None),
        (MeanPool2d_stride1, 5, 1, (5, 3), None),
        (MaxPool2d, 4, 2, (3, 4), (0, 1)),
        (MeanPool2d, 5, 2, (3, 5), (0, 1)),  # (3 - 5) // 2 + 1 == 0
        (MaxPool2d, 6, 2, (3, 6), None),
        (MeanPool2d, 5, 1, (3, 5), None),
        (MaxPool2d, 0, 2, (3, 4), (2, 3)),
        (MaxPool2d, 0, 1, (2, 2), (3, 3)),
        (MaxPool2d_stride1, 0, 1, (2, 2), None),
    ],
)
def test_kernel_larger_than_input_or_zero(cls, k, s, hw, out):
    layer, A = make(cls, k, s), np.ones((2, 3) + hw)
    if out is None:
        with pytest.raises(ValueError):
            layer.forward(A)
        assert layer.A is A  # stored before the sizes are worked out
        return
    Z = layer.forward(A)
    assert Z.shape == (2, 3) + out and Z.dtype == np.float64 and (Z == 0).all()
    if cls is MaxPool2d:
        assert layer.max_indices.shape == A.shape and not layer.max_indices.any()
    if k:
        dA = layer.backward(np.ones(Z.shape, dtype=np.int64))
        assert dA.shape == A.shape and dA.dtype == np.float64 and (dA == 0).all()
    else:  # a backward over empty windows has no maximum to find
        with pytest.raises(ValueError):
            layer.backward(Z)


@pytest.mark.parametrize("cls", [MeanPool2d_stride1, MeanPool2d])
def test_mean_of_empty_windows_is_nan(cls):
    layer = make(cls, 0, 2)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        Z = layer.forward(np.ones((1, 2, 3, 4)))
        assert Z.shape == (1, 2) + ((4, 5) if cls is MeanPool2d_stride1 else (2, 3)) and np.isnan(Z).all()
        assert_array_equal(layer.backward(np.ones(Z.shape)), np.zeros((1, 2, 3, 4)))


@pytest.mark.parametrize("cls", [MaxPool2d_stride1, MaxPool2d])
def test_nan_propagates_and_blocks_gradient(cls):
    A = np.arange(16.0).reshape(1, 1, 4, 4)
    A[0, 0, 0, 0] = np.nan
    layer = make(cls, 2, 2)
    Z = layer.forward(A)
    assert np.isnan(Z[0, 0, 0, 0]) and not np.isnan(Z.ravel()[1:]).any()
    G = np.full(Z.shape, 3.0)
    dA = layer.backward(G)
    assert_array_equal(dA, ref_backward(A, G, 2, 1 + (cls is MaxPool2d), "max"))
    assert not dA[0, 0, :2, :2].any() and dA.sum() == 3 * (Z.size - 1)
    if cls is MaxPool2d:
        assert_array_equal(layer.max_indices, ref_mask(A, 2, 2))


def test_members_and_stored_state():
    for cls, member in ((MaxPool2d, "maxpool2d_stride1"), (MeanPool2d, "meanpool2d_stride1")):
        k, s = np.int64(3), 2
        layer = cls(kernel=k, stride=s)
        extra = {"max_indices"} if cls is MaxPool2d else set()
        assert vars(layer).keys() == {"kernel", "stride", member, "downsample2d"}
        assert layer.kernel is k and layer.stride is s
        inner, down = getattr(layer, member), layer.downsample2d
        assert type(inner) is ALL[STRIDED.index(cls)] and type(down) is Downsample2d
        A = np.ones((1, 2, 7, 8))
        layer.backward(layer.forward(A))
        assert vars(layer).keys() == {"kernel", "stride", member, "downsample2d", "A"} | extra and layer.A is A
        assert getattr(layer, member) is inner and layer.downsample2d is down  # built, never called
        assert vars(inner) == {"kernel": 3} and inner.kernel is k and vars(down) == {"downsampling_factor": 2}
    for cls in ALL[:2]:
        layer = cls(kernel=k)
        assert vars(layer) == {"kernel": k} and layer.kernel is k


@pytest.mark.parametrize("cls", ALL)
def test_failures(cls):
    layer = make(cls, 2, 1)
    with pytest.raises(AttributeError, match=f"^{cls.__name__}.backward was called before forward"):
        layer.backward(np.ones((1, 1, 2, 2)))
    A = np.ones((1, 2, 3, 3))
    layer.forward(A)
    for method in ("forward", "backward"):
        for nd in (3, 0, 5):
            with pytest.raises(ValueError) as e:
                getattr(layer, method)(np.ones((2,) * nd))
            arg = "A" if method == "forward" else "dLdZ"
            shape = str((2,) * nd).replace(",)", ")") if nd != 1 else "(2,)"
            msg = f"{cls.__name__}.{method}: {arg} must have 4 axes (batch, channels, height, width), got shape {shape}"
            assert str(e.value) == msg and layer.A is A  # a failed forward keeps the previous input
    if cls in STRIDED:
        with pytest.raises(ValueError, match=f"^{cls.__name__}.__init__: stride must be at least 1, got 0$"):
            cls(2, 0)
        layer = cls(2, 1)
        layer.stride = 0  # set afterwards: refused by the next call, as NumPy's slicing refuses it
        with pytest.raises(ZeroDivisionError):
            layer.forward(A)
        assert layer.A is A


@pytest.mark.parametrize("cls", ALL[:2])
@pytest.mark.parametrize("gshape", [(2, 3, 4, 4), (3, 1, 4, 4), (1, 4, 2, 3), (0, 4, 4, 4), (4, 4, 4, 4), (3, 5, 4, 4)])
def test_stride1_gradient_for_fewer_planes(cls, gshape, rng):
    layer, A = cls(2), rng.integers(0, 3, (3, 4, 5, 5)).astype(float)
    layer.forward(A)
    G = rng.standard_normal(gshape)
    if gshape[0] > 3 or gshape[1] > 4:
        with pytest.raises(IndexError):
            layer.backward(G)
        return
    dA = layer.backward(G)
    assert dA.shape == gshape[:1] + A.shape[1:]  # batch from the gradient, the rest from the input
    n, c = gshape[:2]
    assert_allclose(dA[:, :c], ref_backward(A[:n, :c], G, 2, 1, KIND[cls]), **TIGHT)
    assert not dA[:, c:].any()


@pytest.mark.parametrize("cls", STRIDED)
def test_strided_gradient_broadcasts_over_planes(cls, rng):
    layer, A = cls(2, 2), rng.standard_normal((3, 2, 4, 6))
    layer.forward(A)
    G = rng.standard_normal((1, 2, 2, 3))
    assert_array_equal(layer.backward(G), layer.backward(np.repeat(G, 3, axis=0)))
    with pytest.raises(ValueError):
        layer.backward(np.ones((2, 2, 2, 3)))


@pytest.mark.parametrize("cls", ALL)
@pytest.mark.parametrize("k, s", [(2, 1), (3, 2)])
def test_hostile_layouts(cls, k, s, layout, rng):
    A, s = layout(4 * rng.standard_normal((2, 3, 6, 5))), s if cls in STRIDED else 1
    A0, layer, kind, arr = copy.deepcopy(A), make(cls, k, s), KIND[cls], np.asarray(A, dtype=float)
    Z = layer.forward(A)
    assert_allclose(Z, ref_forward(arr, k, s, kind), **TIGHT)
    G = layout(4 * rng.standard_normal(Z.shape))
    dA = layer.backward(G)
    # The strided layers' gradient is like np.zeros_like(A): float32 for a float32 input, but float64 for
    # integers (whose in-place update used to fail); the stride-1 layers' is always float64.
    low = cls in STRIDED and np.asarray(A).dtype in (np.float16, np.float32)
    expected = np.asarray(A).dtype if low else np.float64
    tol = {"rtol": 1e-3, "atol": 1e-3} if low else TIGHT
    assert_allclose(dA, ref_backward(arr, np.asarray(G, dtype=float), k, s, kind), **tol)
    assert Z.dtype == np.float64 and dA.dtype == expected
    for out in (Z, dA):
        assert out.flags.c_contiguous and out.base is None
    if cls is MaxPool2d:
        assert_array_equal(layer.max_indices, ref_mask(arr, k, s))
    assert_array_equal(A, A0)  # the caller's data is left alone
    assert layer.A is A or not isinstance(A, np.ndarray)


def test_module_contents():
    assert pool.np is np and not hasattr(pool, "__all__") and pool.Downsample2d is Downsample2d
    assert [n for n in vars(pool) if not n.startswith("_")] == [
        "np",
        "Upsample1d",
        "Downsample1d",
        "Upsample2d",
        "Downsample2d",
        *(c.__name__ for c in ALL),
    ]


@pytest.mark.parametrize("k, s", [(2, 2), (3, 3), (2, 1), (3, 2)])
@pytest.mark.parametrize("dtype", [np.float64, np.float32])
def test_gradient_off_the_maximum_is_positive_zero_or_nan(k, s, dtype, rng):
    # As adding (window == max) * g onto zeros gives: +0 for a negative g, NaN for an infinite one.
    layer = MaxPool2d(k, s) if s > 1 else MaxPool2d_stride1(k)
    A = rng.standard_normal((2, 3, 13, 11))
    with quillet.default_dtype(dtype):
        Z = layer.forward(A)
        G = -np.abs(rng.standard_normal(Z.shape))
        G[0, 0, 0, 0] = np.inf
        with np.errstate(invalid="ignore"):
            dA, want = layer.backward(G), ref_backward(A, G, k, s, "max")
    assert dA.dtype == dtype
    assert_allclose(dA, want, rtol=1e-6 if dtype == np.float32 else 1e-14)  # NaN where want is NaN
    assert not np.signbit(dA[dA == 0]).any()
