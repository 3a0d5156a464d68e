"""Hyper-parameters are refused when the layer is made, under the names the caller used, and
again when an attribute set later is read: never a wrong result, never a parameter the
caller did not type."""

import re

import numpy as np
import pytest

from quillet.nn.activation import LeakyReLU
from quillet.nn.batchnorm import BatchNorm1d, BatchNorm2d
from quillet.nn.Lintrel import Lintrel, Lintrel_stride1
from quillet.nn.Plantrel import Plantrel, Plantrel_stride1
from quillet.nn.pool import MaxPool2d, MaxPool2d_stride1, MeanPool2d, MeanPool2d_stride1
from quillet.nn.resampling import Downsample1d, Downsample2d, Upsample1d, Upsample2d
from quillet.nn.Unfurlet import Unfurlet1d, Unfurlet2d

CONV = dict(in_channels=2, out_channels=3, kernel_size=3)
STRIDED = dict(CONV, stride=1, padding=0)
UNFURL = dict(CONV, upsampling_factor=2)

# class, the arguments that differ from good ones, the exception, the name its message starts with
REFUSED = [
    (Lintrel_stride1, dict(CONV, kernel_size=0), ValueError, "kernel_size"),
    (Lintrel_stride1, dict(CONV, kernel_size=-2), ValueError, "kernel_size"),
    (Lintrel_stride1, dict(CONV, kernel_size=2.5), TypeError, "kernel_size"),
    (Plantrel_stride1, dict(CONV, kernel_size=0), ValueError, "kernel_size"),
    (Plantrel_stride1, dict(CONV, kernel_size="3"), TypeError, "kernel_size"),
    (Lintrel, dict(STRIDED, kernel_size=0), ValueError, "kernel_size"),
    (Lintrel, dict(STRIDED, stride=0), ValueError, "stride"),
    (Lintrel, dict(STRIDED, stride=-(2**70)), ValueError, "stride"),
    (Lintrel, dict(STRIDED, stride=2.0), TypeError, "stride"),
    (Lintrel, dict(STRIDED, padding=1.5), TypeError, "padding"),
    (Plantrel, dict(STRIDED, kernel_size=0), ValueError, "kernel_size"),
    (Plantrel, dict(STRIDED, stride=0), ValueError, "stride"),
    (Plantrel, dict(STRIDED, padding=-1), ValueError, "padding"),
    (Plantrel, dict(STRIDED, padding=None), TypeError, "padding"),
    (Unfurlet1d, dict(UNFURL, kernel_size=0), ValueError, "kernel_size"),
    (Unfurlet1d, dict(UNFURL, upsampling_factor=0), ValueError, "upsampling_factor"),
    (Unfurlet2d, dict(UNFURL, kernel_size=0), ValueError, "kernel_size"),
    (Unfurlet2d, dict(UNFURL, upsampling_factor=2.0), TypeError, "upsampling_factor"),
    (Upsample1d, dict(upsampling_factor=0), ValueError, "upsampling_factor"),
    (Upsample2d, dict(upsampling_factor=-1), ValueError, "upsampling_factor"),
    (Downsample1d, dict(downsampling_factor=0), ValueError, "downsampling_factor"),
    (Downsample2d, dict(downsampling_factor="2"), TypeError, "downsampling_factor"),
    (MaxPool2d_stride1, dict(kernel=-1), ValueError, "kernel"),
    (MeanPool2d_stride1, dict(kernel=1.5), TypeError, "kernel"),
    (MaxPool2d, dict(kernel=2, stride=0), ValueError, "stride"),
    (MaxPool2d, dict(kernel=-1, stride=1), ValueError, "kernel"),
    (MeanPool2d, dict(kernel=2, stride=None), TypeError, "stride"),
    (BatchNorm1d, dict(num_features=2, eps=0), ValueError, "eps"),
    (BatchNorm1d, dict(num_features=2, momentum=1.5), ValueError, "momentum"),
    (BatchNorm2d, dict(num_features=2, eps=float("nan")), ValueError, "eps"),
    (BatchNorm2d, dict(num_features=2, eps="small"), TypeError, "eps"),
    (LeakyReLU, dict(negative_slope="a"), TypeError, "negative_slope"),
    (LeakyReLU, dict(negative_slope=None), TypeError, "negative_slope"),
]


@pytest.mark.parametrize("cls, kwargs, error, name", REFUSED, ids=lambda v: getattr(v, "__name__", None))
def test_refused_at_construction(cls, kwargs, error, name):
    calls = []
    if "kernel_size" in kwargs:  # nothing is drawn or initialised before the check
        kwargs = dict(kwargs, weight_init_fn=lambda *s: calls.append(s) or np.ones(s))
    with pytest.raises(error, match=rf"^{cls.__name__}\.__init__: {name} must ") as e:
        cls(**kwargs)
    assert repr(kwargs[name]) in str(e.value) or isinstance(kwargs[name], float), str(e.value)
    assert not calls


def test_a_zero_kernel_never_widens_the_output():
    layer = Plantrel_stride1(2, 3, 1)
    layer.kernel_size, layer.W = 0, np.zeros((3, 2, 0, 0))  # a 5x5 input once gave 6x6 biases
    with pytest.raises(ValueError, match="kernel_size must be at least 1, got 0"):
        layer.forward(np.ones((1, 2, 5, 5)))


# BatchNorm's eps and momentum set after construction: refused where they are read, and
# before a running statistic moves.
@pytest.mark.parametrize("cls, shape", [(BatchNorm1d, (4, 2, 3)), (BatchNorm2d, (4, 2, 3, 3))])
@pytest.mark.parametrize(
    "attr, value, error, train",
    [
        ("eps", 0, ValueError, True),
        ("eps", 0.0, ValueError, False),
        ("eps", -1e-5, ValueError, True),
        ("eps", float("inf"), ValueError, False),
        ("eps", "1e-5", TypeError, True),
        ("momentum", 1.5, ValueError, True),
        ("momentum", -0.1, ValueError, True),
        ("momentum", float("nan"), ValueError, True),
    ],
)
def test_batchnorm_attributes_set_later(cls, shape, attr, value, error, train):
    layer, A = cls(2), np.ones(shape)  # constant channels: eps = 0 would divide by zero
    layer.forward(A)
    mean, var = layer.running_mean.copy(), layer.running_var.copy()
    if not train:
        layer.eval()
    setattr(layer, attr, value)
    with pytest.raises(error, match=rf"^{cls.__name__}\.forward: {attr} must be"):
        layer.forward(A)
    assert np.array_equal(layer.running_mean, mean) and np.array_equal(layer.running_var, var)
    if attr == "eps":
        with pytest.raises(error, match=rf"^{cls.__name__}\.backward: eps must be"):
            layer.backward(np.ones(shape))


# Other layers whose attribute is changed after construction: the next call names it.
@pytest.mark.parametrize(
    "make, path, value, error, shape",
    [
        (lambda: Lintrel_stride1(2, 3, 2), "kernel_size", 0, ValueError, (1, 2, 5)),
        (lambda: Plantrel(2, 3, 2, 1, 0), "plantrel_stride1.kernel_size", -1, ValueError, (1, 2, 5, 5)),
        (lambda: Lintrel(2, 3, 2, 2, 0), "downsample1d.downsampling_factor", 0, ValueError, (1, 2, 5)),
        (lambda: Plantrel(2, 3, 2, 1, 0), "pad", -1, ValueError, (1, 2, 5, 5)),
        (lambda: Lintrel(2, 3, 2, 1, 0), "pad", 1.5, TypeError, (1, 2, 5)),
        (lambda: Unfurlet2d(2, 3, 2, 2), "upsample2d.upsampling_factor", 0, ValueError, (1, 2, 3, 3)),
        (lambda: MaxPool2d(2, 1), "kernel", -1, ValueError, (1, 2, 5, 5)),
        (lambda: MeanPool2d_stride1(2), "kernel", "2", TypeError, (1, 2, 5, 5)),
        (lambda: LeakyReLU(), "negative_slope", "a", TypeError, (2, 3)),
    ],
)
def test_attributes_set_later(make, path, value, error, shape):
    layer = make()
    *parts, name = path.split(".")
    owner = layer
    for part in parts:
        owner = getattr(owner, part)
    setattr(owner, name, value)
    word = "padding" if name == "pad" and error is ValueError else name  # np.pad's own word
    with pytest.raises(error, match=re.escape(word)):
        layer.forward(np.ones(shape))
