import copy

import numpy as np
import pytest
from numpy.testing import assert_array_equal

import quillet.flatten as fl
from quillet.flatten import Flatten


@pytest.mark.parametrize(
    "shape, flat",
    [
        ((2, 3, 4), (2, 12)),
        ((2, 3, 4, 5), (2, 60)),
        ((5,), (5, 1)),
        ((3, 1), (3, 1)),
        ((1, 2, 1, 3, 2), (1, 12)),
        ((2, 0, 3), (2, 0)),
        ((0, 3, 4), (0, 12)),
        ((0,), (0, 1)),
        ((0, 0, 5), (0, 0)),
    ],
)
def test_shapes_order_and_round_trip(shape, flat, rng):
    A, layer = rng.standard_normal(shape), Flatten()
    assert vars(layer) == {}
    Z = layer.forward(A)
    assert Z.shape == flat and vars(layer) == {"original_shape": shape} and type(layer.original_shape) is tuple
    assert_array_equal(Z, np.array([a.ravel() for a in A]).reshape(flat))  # row-major, channel 0 first
    G = rng.standard_normal(flat)
    dA = layer.backward(G)
    assert dA.shape == shape
    assert_array_equal(layer.forward(dA), G)
    assert_array_equal(layer.backward(Z), A)


def test_contiguous_arrays_give_views():
    A, G, layer = np.zeros((2, 3, 4)), np.zeros((2, 12)), Flatten()
    Z = layer.forward(A)
    Z[1, 5] = 7
    assert Z.base is A and A[1, 1, 1] == 7 and A.sum() == 7
    assert layer.backward(G).base is G


def test_hostile_layouts(layout, rng):
    A = layout(4 * rng.standard_normal((2, 3, 4)))
    A0, arr, layer = copy.deepcopy(A), np.asarray(A), Flatten()
    Z = layer.forward(A)
    assert Z.dtype == arr.dtype
    assert_array_equal(Z, arr.reshape(2, 12))
    if isinstance(A, np.ndarray):  # a view exactly where numpy's reshape gives one
        assert np.shares_memory(Z, A) == np.shares_memory(A.reshape(2, -1), A)
    G = layout(4 * rng.standard_normal((2, 12)))
    assert_array_equal(layer.backward(G), np.asarray(G).reshape(2, 3, 4))
    assert_array_equal(A, A0)


@pytest.mark.parametrize("dtype", [complex, "U3"])
def test_any_dtype_is_only_reshaped(dtype):
    A = np.arange(24).reshape(2, 3, 4).astype(dtype)
    Z = Flatten().forward(A)
    assert Z.dtype == A.dtype and Z.base is A
    assert_array_equal(Z, A.reshape(2, 12))


def test_failures():
    with pytest.raises(AttributeError) as e:
        Flatten().backward(np.ones((2, 12)))
    assert str(e.value).startswith("Flatten.backward was called before forward")
    assert "original_shape" in str(e.value)
    layer = Flatten()
    layer.forward(np.ones((2, 3, 4)))
    for bad in (np.ones((2, 11)), np.ones((3, 12)), np.ones(0)):
        with pytest.raises(ValueError):
            layer.backward(bad)
    with pytest.raises(IndexError, match="^Flatten.forward: A must have at least one axis"):
        Flatten().forward(np.float64(3.0))
    with pytest.raises((IndexError, TypeError, AttributeError)):
        Flatten().forward(None)


def test_module_contents():
    assert fl.np is np and not hasattr(fl, "__all__")
    assert [n for n in vars(fl) if not n.startswith("_")] == ["np", "Flatten"]
