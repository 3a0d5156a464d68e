import copy

import numpy as np
import pytest
from numpy.testing import assert_array_equal

import quillet.nn.resampling as rs
from quillet.nn.resampling import Downsample1d, Downsample2d, Upsample1d, Upsample2d


# Independent references: zero insertion by interleaving with a zero block and
# trimming the trailing zeros; decimation by index selection.
def up1(a, k):
    a, w = np.asarray(a, dtype=float), np.shape(a)[-1]
    z = np.concatenate([a[..., None], np.zeros(a.shape + (k - 1,))], axis=-1)
    return z.reshape(a.shape[:-1] + (w * k,))[..., : max((w - 1) * k + 1, 0)]


def down1(a, k):
    return np.take(a, np.arange(0, a.shape[-1], k), axis=-1)


def on_both_axes(f):
    return lambda a, k: f(f(a, k).swapaxes(-1, -2), k).swapaxes(-1, -2)


def fit(x, shape):  # crop or zero-pad the spatial axes of x to those of shape
    x = x[(Ellipsis,) + tuple(slice(0, n) for n in shape[2:])]
    return np.pad(x, [(0, 0)] * 2 + [(0, n - m) for n, m in zip(shape[2:], x.shape[2:])])


up2, down2 = on_both_axes(up1), on_both_axes(down1)
# forward reference and its adjoint, which is the backward reference
PAIRS = {Upsample1d: (up1, down1), Downsample1d: (down1, up1), Upsample2d: (up2, down2), Downsample2d: (down2, up2)}
VIEWS = {(Downsample1d, "forward"), (Downsample2d, "forward"), (Upsample2d, "backward")}
FACTOR = {
    Upsample1d: "upsampling_factor",
    Upsample2d: "upsampling_factor",
    Downsample1d: "downsampling_factor",
    Downsample2d: "downsampling_factor",
}
SHAPE = {Upsample1d: (2, 3, 5), Downsample1d: (2, 3, 5), Upsample2d: (2, 2, 5, 4), Downsample2d: (2, 2, 5, 4)}
ALL = list(PAIRS)
# factors 2 to 4 have their own loops; widths past a vector's length reach them
GRID = [(c, k, (2, 3, w)) for c in ALL[:2] for k in (1, 2, 3, 4, 7) for w in (1, 2, 5, 6, 7, 37)] + [
    (c, k, (2, 2) + hw)
    for c in ALL[2:]
    for k in (1, 2, 3, 4)
    for hw in ((1, 1), (3, 4), (5, 5), (6, 7), (2, 9), (3, 35))
]


@pytest.mark.parametrize("cls, k, shape", GRID)
def test_values_shapes_views_and_round_trip(cls, k, shape, rng):
    A = rng.standard_normal(shape)
    A0, (fwd, adj), layer = A.copy(), PAIRS[cls], cls(k)
    Z = layer.forward(A)
    assert Z.shape == fwd(A, k).shape
    assert_array_equal(Z, fwd(A, k))
    G = rng.standard_normal(Z.shape)
    dA = layer.backward(G)
    assert dA.shape == shape
    assert_array_equal(dA, fit(adj(G, k), shape))
    assert np.vdot(Z, G) == pytest.approx(np.vdot(A, dA))  # backward is the adjoint of forward
    for method, out, arg in (("forward", Z, A), ("backward", dA, G)):
        if (cls, method) in VIEWS:
            assert out.base is arg and out.dtype == arg.dtype
        else:  # a new owning float64 array, even for k == 1
            assert out.base is None and out.dtype == np.float64 and out.flags.c_contiguous and out.flags.writeable
            assert not np.shares_memory(out, arg)
    assert_array_equal(A, A0)
    if cls in (Upsample1d, Upsample2d):
        assert_array_equal((Downsample1d if cls is Upsample1d else Downsample2d)(k).forward(Z), A)


def test_worked_examples():
    up, down = Upsample1d(3), Downsample1d(2)
    assert_array_equal(up.forward(np.array([[[1, 2, 3]]])), [[[1, 0, 0, 2, 0, 0, 3]]])
    assert_array_equal(up.backward(np.arange(7.0).reshape(1, 1, 7)), [[[0, 3, 6]]])
    assert_array_equal(down.forward(np.arange(5).reshape(1, 1, 5)), [[[0, 2, 4]]])
    assert_array_equal(down.backward(np.array([[[1.0, 2, 3]]])), [[[1, 0, 2, 0, 3]]])
    Z = Upsample2d(2).forward(np.arange(1, 13).reshape(1, 1, 3, 4))
    assert Z.shape == (1, 1, 5, 7) and Z.sum() == 78 and (Z[0, 0, ::2, ::2] == np.arange(1, 13).reshape(3, 4)).all()
    assert Downsample2d(3).forward(np.ones((1, 1, 6, 7))).shape == (1, 1, 2, 3)
    # views write through to the array they came from
    A, A4, G = np.zeros((1, 1, 5)), np.zeros((1, 1, 5, 5)), np.zeros((1, 1, 5, 7))
    Downsample1d(2).forward(A)[0, 0, 1] = 7
    Downsample2d(2).forward(A4)[0, 0, 1, 2] = 7
    Upsample2d(2).backward(G)[0, 0, 1, 2] = 7  # needs no forward: the layer is stateless
    assert A[0, 0, 2] == A4[0, 0, 2, 4] == G[0, 0, 2, 4] == 7 and A.sum() == A4.sum() == G.sum() == 7


@pytest.mark.parametrize("cls", ALL)
def test_state_follows_latest_forward(cls, rng):
    layer = cls(np.int64(2))
    assert vars(layer) == {FACTOR[cls]: 2}  # forward-only attributes do not exist yet
    for shape in (SHAPE[cls], SHAPE[cls][:2] + (9,) * (len(SHAPE[cls]) - 2)):
        A = rng.standard_normal(shape)
        Z = layer.forward(A)
        stored = {
            Upsample1d: lambda: {"A": A},
            Downsample1d: lambda: {"w_in": shape[2]},
            Upsample2d: dict,
            Downsample2d: lambda: {"input_height": shape[2], "input_width": shape[3]},
        }[cls]()
        assert vars(layer).keys() == {FACTOR[cls], *stored}
        for name, value in stored.items():
            got = getattr(layer, name)
            assert got is value if name == "A" else (type(got) is int and got == value)
        assert layer.backward(np.ones(Z.shape)).shape == shape


def test_1d_backward_gradient_width(rng):
    up, down = Upsample1d(3), Downsample1d(2)
    up.forward(np.ones((1, 2, 3)))
    down.forward(np.ones((1, 2, 5)))
    for w in (7, 8, 20):  # wider gradients are accepted; batch and channels come from the gradient
        G = rng.standard_normal((4, 1, w))
        assert_array_equal(up.backward(G), G[:, :, [0, 3, 6]])
    assert_array_equal(down.backward(np.array([[[1.0, 2.0]]] * 3)), [[[1, 0, 2, 0, 0]]] * 3)
    assert_array_equal(down.backward(np.ones((2, 1, 0))), np.zeros((2, 1, 5)))
    for layer, w in ((up, 0), (up, 1), (up, 6), (down, 4)):
        with pytest.raises(IndexError):
            layer.backward(np.ones((1, 2, w)))


@pytest.mark.parametrize("gshape", [(2, 3, 1, 1), (1, 1, 1, 3), (1, 1, 3, 1), (1, 1, 2, 3), (1, 1, 3, 4)])
def test_downsample2d_backward_broadcasts(gshape, rng):
    layer, G = Downsample2d(2), rng.standard_normal(gshape)
    layer.forward(np.ones((1, 1, 5, 5)))
    if gshape[2:] in ((2, 3), (3, 4)):
        with pytest.raises(ValueError):
            layer.backward(G)
    else:
        expected = np.zeros(gshape[:2] + (5, 5))
        expected[:, :, ::2, ::2] = np.broadcast_to(G, gshape[:2] + (3, 3))
        assert_array_equal(layer.backward(G), expected)


@pytest.mark.parametrize("cls", ALL)
@pytest.mark.parametrize("method", ["forward", "backward"])
def test_wrong_ndim(cls, method):
    need, layer = len(SHAPE[cls]), cls(2)
    layer.forward(np.ones(SHAPE[cls]))
    for nd in (need - 1, 0, need + 1):
        with pytest.raises(ValueError) as e:
            getattr(layer, method)(np.ones((3,) * nd))
        arg = "A" if method == "forward" else "dLdZ"
        assert str(e.value).startswith(f"{cls.__name__}.{method}: {arg} must have {need} axes (batch, channels, ")
        assert str(e.value).endswith(f"got shape {np.ones((3,) * nd).shape}")


@pytest.mark.parametrize("cls, attr", [(Upsample1d, "A"), (Downsample1d, "w_in"), (Downsample2d, "input_height")])
def test_backward_before_forward(cls, attr):
    with pytest.raises(AttributeError) as e:
        cls(2).backward(np.ones(SHAPE[cls]))
    assert str(e.value) == (
        f"{cls.__name__}.backward was called before forward ('{cls.__name__}' object has no attribute '{attr}')"
    )


@pytest.mark.parametrize("cls", ALL)
@pytest.mark.parametrize(
    "bad, exc",
    [
        (0, ValueError),
        (-1, ValueError),
        (-(2**70), ValueError),
        (1.5, TypeError),
        (2.0, TypeError),
        ("2", TypeError),
        (None, TypeError),
    ],
)
def test_invalid_factor_fails_on_use(cls, bad, exc):
    with pytest.raises(exc, match=f"^{cls.__name__}.__init__: {FACTOR[cls]} must be"):
        cls(bad)  # refused at construction
    layer, A = cls(2), np.ones(SHAPE[cls])
    setattr(layer, FACTOR[cls], bad)  # and when set afterwards, by the next call
    with pytest.raises(exc):
        layer.forward(A)
    layer = cls(2)
    layer.forward(A)
    setattr(layer, FACTOR[cls], bad)  # the factor is read afresh on every call
    with pytest.raises(exc):
        layer.backward(np.ones(SHAPE[cls]))


@pytest.mark.parametrize("k", [2**62, 2**63, 2**100])
def test_huge_factor(k):
    A, A4 = np.arange(6.0).reshape(1, 2, 3), np.arange(6.0).reshape(1, 1, 2, 3)
    for layer, a in ((Upsample1d(k), A), (Upsample2d(k), A4)):
        with pytest.raises(ValueError):  # not a crash, not a giant allocation
            layer.forward(a)

    def fb(layer, a, g):
        layer.forward(a)
        return layer.backward(g)

    for fn, expected in [
        (lambda: Downsample1d(k).forward(A), A[..., :1]),
        (lambda: Downsample2d(k).forward(A4), A4[..., :1, :1]),
        (lambda: Upsample2d(k).backward(A4), A4[..., :1, :1]),
        (lambda: fb(Upsample1d(k), A[..., :1], A[..., :1]), A[..., :1]),
        (lambda: fb(Downsample1d(k), A, A[..., :1]), [[[0, 0, 0], [3, 0, 0]]]),
        (lambda: fb(Downsample2d(k), A4, A4[..., 1:, 2:]), [[[[5, 0, 0], [0, 0, 0]]]]),
    ]:
        try:  # a ValueError or the exact result
            got = fn()
        except ValueError:
            continue
        assert got.shape == np.shape(expected)
        assert_array_equal(got, expected)


@pytest.mark.parametrize("cls", ALL)
def test_hostile_layouts(cls, layout, rng):
    (fwd, adj), layer = PAIRS[cls], cls(2)
    A = layout(4 * rng.standard_normal(SHAPE[cls]))
    A0 = copy.deepcopy(A)
    Z = layer.forward(A)
    assert_array_equal(Z, fwd(np.asarray(A, dtype=float), 2))
    G = layout(4 * rng.standard_normal(Z.shape))
    G0 = copy.deepcopy(G)
    dA = layer.backward(G)
    assert_array_equal(dA, fit(adj(np.asarray(G, dtype=float), 2), SHAPE[cls]))
    for method, out, arg in (("forward", Z, A), ("backward", dA, G)):
        if (cls, method) in VIEWS:  # e.g. an integer input gives an integer view
            assert out.dtype == np.asarray(arg).dtype
            assert not isinstance(arg, np.ndarray) or np.shares_memory(out, arg)
        else:
            assert out.dtype == np.float64 and out.base is None
    assert_array_equal(A, A0)  # the caller's data is left alone
    assert_array_equal(G, G0)


@pytest.mark.parametrize(
    "cls, method",
    [
        (Upsample1d, "forward"),
        (Upsample1d, "backward"),
        (Downsample1d, "backward"),
        (Upsample2d, "forward"),
        (Downsample2d, "backward"),
    ],
)
def test_unusable_inputs(cls, method):
    layer = cls(2)
    shape = SHAPE[cls] if method == "forward" else layer.forward(np.ones(SHAPE[cls])).shape
    with pytest.raises(TypeError):
        getattr(layer, method)(np.ones(shape, dtype=complex))
    for bad in (np.full(shape, "x"), np.full(shape, object()), None, {}):
        with pytest.raises((TypeError, ValueError, AttributeError)):
            getattr(layer, method)(bad)


@pytest.mark.parametrize("cls", ALL)
@pytest.mark.parametrize("k", [1, 3])
@pytest.mark.parametrize("axis", [0, 1, -1])
def test_zero_size_axes(cls, k, axis):
    shape, layer = list(SHAPE[cls]), cls(k)
    shape[axis] = 0
    try:
        Z = layer.forward(np.ones(shape))
    except ValueError:
        assert axis == -1  # only an empty spatial axis may be refused
        return
    assert Z.shape == PAIRS[cls][0](np.ones(shape), k).shape
    assert layer.backward(np.ones(Z.shape)).shape == tuple(shape)


def test_module_contents():
    assert rs.np is np and not hasattr(rs, "__all__")
    assert [n for n in vars(rs) if not n.startswith("_")] == ["np", *(c.__name__ for c in ALL)]


@pytest.mark.parametrize(
    "cls, shape", [(Upsample1d, (1, 2, 0)), (Upsample2d, (1, 2, 0, 3)), (Upsample2d, (1, 2, 3, 0))]
)
def test_upsampling_an_empty_axis(cls, shape):
    # an empty axis upsampled by k has 1 - k samples: refused for k > 1, empty for k = 1
    with pytest.raises(ValueError, match="negative dimensions"):
        cls(2).forward(np.ones(shape))
    assert cls(1).forward(np.ones(shape)).shape == shape
