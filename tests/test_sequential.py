"""Sequential chains any forward/backward objects."""

import copy
import inspect
import pickle

import numpy as np
import pytest

from quillet.flatten import Flatten
from quillet.nn.activation import ReLU, Tanh
from quillet.nn.linear import Linear
from quillet.nn.Plantrel import Plantrel
from quillet.nn.pool import MaxPool2d
from quillet.nn.sequential import Sequential


class Affine:
    """A layer written in Python."""

    def __init__(self, k, c):
        self.k, self.c = k, c

    def forward(self, A):
        return A * self.k + self.c

    def backward(self, dLdZ):
        return dLdZ * self.k


class Moded(Affine):
    def __init__(self):
        super().__init__(1.0, 0.0)
        self.calls = []

    def train(self):
        self.calls.append("train")

    def eval(self):
        self.calls.append("eval")


def network(rng):
    conv = Plantrel(1, 2, 3, 1, 1, lambda *s: rng.standard_normal(s))
    head = Sequential(Flatten(), Linear(8, 3, lambda o, i: rng.standard_normal((o, i))), Tanh())
    return Sequential(conv, ReLU(), MaxPool2d(2, 2), Affine(2.0, 0.5), head), [conv, ReLU, MaxPool2d, Affine, head]


def test_forward_and_backward_chain_the_layers():
    rng = np.random.default_rng(0)
    net, _ = network(rng)
    X = rng.standard_normal((2, 1, 4, 4))
    Z = net.forward(X)
    h = X
    for layer in net.layers:  # the same layers by hand (each keeps its own state)
        h = layer.forward(h)
    np.testing.assert_array_equal(Z, h)
    np.testing.assert_array_equal(net(X), Z)
    G = rng.standard_normal(Z.shape)
    expected = G
    for layer in reversed(net.layers):
        expected = layer.backward(expected)
    np.testing.assert_array_equal(net.backward(G), expected)
    assert net.backward(G).shape == X.shape


def test_layers_is_a_plain_list_the_user_edits():
    net = Sequential(Affine(2.0, 0.0))
    assert type(net.layers) is list and vars(net) == {"layers": net.layers, "train_mode": True}
    net.layers.append(Affine(3.0, 1.0))
    assert net.forward(np.ones(2)).tolist() == [7.0, 7.0]
    assert net.backward(np.ones(2)).tolist() == [6.0, 6.0]
    net.layers = (Affine(5.0, 0.0),)  # any sequence will do
    assert net.forward(np.ones(1)).tolist() == [5.0]
    assert Sequential().forward("anything") == "anything"


@pytest.mark.parametrize("clone", [copy.deepcopy, lambda x: pickle.loads(pickle.dumps(x))], ids=["deepcopy", "pickle"])
def test_copies_are_independent_and_compute_alike(clone):
    rng = np.random.default_rng(1)
    net, _ = network(rng)
    X = rng.standard_normal((2, 1, 4, 4))
    twin = clone(net)
    assert type(twin) is Sequential and Sequential.__bases__ == (object,)
    np.testing.assert_array_equal(twin.forward(X), net.forward(X))
    twin.layers[0].plantrel_stride1.W += 1
    assert not np.array_equal(twin.forward(X), net.forward(X))


def test_train_and_eval_reach_every_layer_once():
    inner, shared = Moded(), Moded()

    class Box:  # a plain container without modes of its own
        def __init__(self):
            self.parts = [shared, (shared, inner)]

        forward = backward = staticmethod(lambda x: x)

    nested = Sequential(inner, ReLU())
    net = Sequential(nested, Box(), shared)
    net.layers.append(net)  # itself: no endless recursion
    net.eval()
    assert (net.train_mode, nested.train_mode) == (False, False)
    assert inner.calls == ["eval"] and shared.calls == ["eval"]
    net.train()
    assert (net.train_mode, nested.train_mode) == (True, True)
    assert inner.calls == ["eval", "train"] and shared.calls == ["eval", "train"]


def test_modes_reach_batch_norm_and_dropout():
    from quillet.nn.batchnorm import BatchNorm1d
    from quillet.nn.dropout import Dropout

    net = Sequential(Linear(4, 3), Sequential(BatchNorm1d(3), Dropout(0.5)))
    inner = net.layers[1].layers
    net.eval()
    assert [layer.train_mode for layer in inner] == [False, False]
    X = np.random.default_rng(4).standard_normal((5, 4))
    np.testing.assert_array_equal(net(X), net(X))  # no dropout, running statistics: deterministic
    net.train()
    assert [layer.train_mode for layer in inner] == [True, True]


def test_repr_lists_the_layers():
    class Named(Affine):
        def __repr__(self):
            return "Named(k=2)"

    net = Sequential(Named(2, 0), Sequential(Affine(1, 0)), Affine(1, 0), Linear(2, 2))
    lines = repr(net).splitlines()
    assert lines[:6] == [
        "Sequential(",
        "  (0): Named(k=2)",
        "  (1): Sequential(",
        "    (0): Affine",
        "  )",
        "  (2): Affine",
    ]  # a layer's own repr, else its class name
    assert lines[6].startswith("  (3): Linear") and lines[7:] == [")"]
    assert repr(Sequential()) == "Sequential()"


def test_bad_layers_and_signature():
    assert str(inspect.signature(Sequential)) == "(*layers)"
    with pytest.raises(TypeError, match="layer 1 .*backward"):
        Sequential(ReLU(), type("OnlyForward", (), {"forward": lambda self, A: A})())
    with pytest.raises(TypeError, match="layer 0 \\(int\\)"):
        Sequential(3)
    with pytest.raises(TypeError):
        Sequential(layers=[ReLU()])
    loop = Sequential()
    loop.layers.append(loop)
    with pytest.raises(RecursionError):
        loop.forward(np.ones(2))
