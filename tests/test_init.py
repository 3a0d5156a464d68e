"""quillet.init: the initialisers draw the advertised distributions, fit every
layer's weight_init_fn / bias_init_fn calls, and repeat under np.random.seed."""

import numpy as np
import pytest

import quillet.init as qi
from conftest import PLAIN, ZOO, owner, plain

SHAPE = (200, 150, 3, 3)  # fan_in 1350, fan_out 1800
FAN_IN, FAN_OUT = 150 * 9, 200 * 9

# name -> (initialiser, expected std, half-width of a uniform's support or None)
KINDS = {
    "kaiming_normal": (qi.kaiming_normal, np.sqrt(2 / FAN_IN), None),
    "kaiming_uniform": (qi.kaiming_uniform, np.sqrt(2 / FAN_IN), np.sqrt(6 / FAN_IN)),
    "xavier_normal": (qi.xavier_normal, np.sqrt(2 / (FAN_IN + FAN_OUT)), None),
    "xavier_uniform": (qi.xavier_uniform, np.sqrt(2 / (FAN_IN + FAN_OUT)), np.sqrt(6 / (FAN_IN + FAN_OUT))),
    "fan_in_uniform": (qi.fan_in_uniform, 1 / np.sqrt(3 * FAN_IN), 1 / np.sqrt(FAN_IN)),
    "normal": (qi.normal(0.05), 0.05, None),
}


@pytest.mark.parametrize("name", sorted(KINDS))
def test_statistics_on_a_big_shape(name):
    init, std, bound = KINDS[name]
    np.random.seed(1)
    W = init(*SHAPE)
    assert W.shape == SHAPE and W.dtype == np.float64
    assert abs(W.mean()) < 0.01 * std * 10 and W.std() == pytest.approx(std, rel=0.01)
    if bound is not None:
        assert -bound <= W.min() < -0.99 * bound and 0.99 * bound < W.max() <= bound


@pytest.mark.parametrize("name", sorted(KINDS))
def test_np_random_seed_repeats_them_and_a_tuple_is_a_shape(name):
    init = KINDS[name][0]
    np.random.seed(7)
    first = init(4, 3, 2)
    np.random.seed(7)
    np.testing.assert_array_equal(first, init((4, 3, 2)))


def test_a_vector_counts_its_length_both_ways_and_zeros_are_zeros():
    np.random.seed(0)
    assert qi.fan_in_uniform(10000).max() <= 1 / np.sqrt(10000)
    assert qi.kaiming_normal(40000).std() == pytest.approx(np.sqrt(2 / 40000), rel=0.02)
    np.testing.assert_array_equal(qi.zeros(3, 4), np.zeros((3, 4)))
    assert qi.kaiming_normal(0, 5).shape == (0, 5)  # an empty weight is not an error


LAYERS = [layer for layer in PLAIN if "weight_init_fn" in ZOO[layer].kwargs]


def weight_shape(layer):
    """(out, in) features or channels, then the kernel along each spatial axis of the input."""
    kwargs, spatial = ZOO[layer].kwargs, len(ZOO[layer].shape) - 2
    out, into = (kwargs.get(f"{side}_features", kwargs.get(f"{side}_channels")) for side in ("out", "in"))
    return (out, into) + (kwargs.get("kernel_size"),) * spatial


@pytest.mark.parametrize("name", sorted(KINDS) + ["zeros"])
@pytest.mark.parametrize("layer", LAYERS)
def test_every_layer_takes_every_initialiser(layer, name):
    init = KINDS[name][0] if name in KINDS else qi.zeros
    part = owner(plain(layer, weight_init_fn=init, bias_init_fn=init))  # a strided layer's inner part
    wshape = weight_shape(layer)
    assert part.W.shape == wshape and part.b.shape == wshape[:1]
    assert part.dLdW.shape == wshape


@pytest.mark.parametrize(
    "call, error",
    [
        (lambda: qi.kaiming_normal(), TypeError),
        (lambda: qi.kaiming_normal(2.5, 3), TypeError),
        (lambda: qi.xavier_uniform(3, -1), ValueError),
        (lambda: qi.fan_in_uniform("3"), TypeError),
        (lambda: qi.normal(-0.1), ValueError),
        (lambda: qi.normal(float("nan")), ValueError),
        (lambda: qi.normal("0.1"), TypeError),
    ],
)
def test_bad_arguments_are_clear_errors(call, error):
    with pytest.raises(error):
        call()
