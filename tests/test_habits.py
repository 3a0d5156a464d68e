"""A PyTorch user's habits: calling any layer or model, Sequential as a list
with parameters and state, integer class labels, keyword hints, and gradient
accumulation over micro-batches whichever way each layer stores gradients."""

import importlib

import numpy as np
import pytest

from conftest import ZOO, base, make
from quillet.nn import (
    CrossEntropyLoss,
    Flatten,
    Linear,
    Lintrel,
    MaxPool2d,
    Plantrel,
    ReLU,
    Sequential,
    Tanh,
    Unfurlet1d,
    Unfurlet2d,
)

# (the simple scanning network stays uncallable, as tests/test_models.py requires)
CALLABLE = sorted(n for n in ZOO if n not in ("CrossEntropyLoss", "CNN_SimpleScanningMLP"))


@pytest.mark.parametrize("name", CALLABLE)
def test_calling_a_layer_or_model_is_forward(name):
    X = base(name)[0]
    first, second = make(name), make(name)
    np.testing.assert_array_equal(first(X), second.forward(X))


def net2d():
    np.random.seed(3)
    return Sequential(Plantrel(2, 3, 3, 1, 1), Tanh(), Unfurlet2d(3, 2, 2, 2), Flatten(), Linear(2 * 10 * 10, 4))


def net1d():
    np.random.seed(4)
    return Sequential(Lintrel(2, 3, 3, 2, 1), ReLU(), Unfurlet1d(3, 2, 2, 2), Flatten(), Linear(2 * 6, 4))


def grads(net):
    return [np.array(getattr(o, "dLd" + n)) for o, n in __import__("quillet.optim").optim.parameters(net)]


@pytest.mark.parametrize("make_net, shape", [(net2d, (8, 2, 6, 6)), (net1d, (8, 2, 8))], ids=["2d", "1d"])
def test_accumulated_micro_batches_equal_one_big_batch(make_net, shape):
    rng = np.random.default_rng(0)
    X, G = rng.standard_normal(shape), rng.standard_normal((8, 4))  # L = sum(net(X) * G): additive over rows
    big, small = make_net(), make_net()
    big.zero_grad()
    big(X)
    big.backward(G)
    small.zero_grad()
    for rows in (slice(0, 3), slice(3, 8)):
        small(X[rows])
        small.backward(G[rows], accumulate=True)
    for a, b in zip(grads(small), grads(big)):
        np.testing.assert_allclose(a, b, rtol=1e-10, atol=1e-12)
    before = grads(small)  # and on top of non-zero gradients: old value plus this pass's
    small(X)
    small.backward(G, accumulate=True)
    for a, b, c in zip(grads(small), before, grads(big)):
        np.testing.assert_allclose(a, b + c, rtol=1e-10, atol=1e-12)


def test_a_failing_accumulating_backward_leaves_the_gradients_alone():
    net = net2d()
    net(np.ones((2, 2, 6, 6)))
    before = grads(net)
    with pytest.raises(ValueError):
        net.backward(np.ones((2, 5)), accumulate=True)
    for a, b in zip(grads(net), before):
        np.testing.assert_array_equal(a, b)


def test_sequential_is_a_list_of_layers():
    a, b, c = Linear(4, 3), ReLU(), Linear(3, 2)
    net = Sequential(a, b)
    assert net.append(c) is net and len(net) == 3 and list(net) == [a, b, c]
    assert net[0] is a and net[-1] is c
    head = net[:2]
    assert type(head) is Sequential and head.layers == [a, b] and head(np.ones((1, 4))).shape == (1, 3)
    net.insert(1, Tanh())
    assert [type(x).__name__ for x in net] == ["Linear", "Tanh", "ReLU", "Linear"]
    with pytest.raises(TypeError, match="no forward method"):
        net.append(object())
    with pytest.raises(IndexError):
        net[9]


def test_sequential_parameters_zero_grad_and_state():
    net = net2d()
    params = net.parameters()
    assert len(params) == 6 and params[0] is net[0].plantrel_stride1.W
    net(np.ones((2, 2, 6, 6)))
    net.backward(np.ones((2, 4)))
    net.zero_grad()
    assert not any(g.any() for g in grads(net))
    other = net2d()
    for p in other.parameters():
        p += 1
    assert net.load_state_dict(other.state_dict()) == ([], [])
    np.testing.assert_array_equal(net[-1].W, other[-1].W)


LOGITS = np.array([[1.0, 2.0, 0.5], [0.1, -1.0, 3.0], [0.0, 0.0, 0.0], [2.0, 1.0, -1.0]])


@pytest.mark.parametrize("labels", [np.array([1, 2, 0, 0]), [1, 2, 0, 0], np.array([1, 2, 0, 0], np.uint8)])
def test_cross_entropy_takes_integer_labels_as_one_hot_rows(labels):
    ce, ref = CrossEntropyLoss(), CrossEntropyLoss()
    assert float(ce(LOGITS, labels)) == float(ref(LOGITS, np.eye(3)[[1, 2, 0, 0]]))
    np.testing.assert_array_equal(ce.backward(), ref.backward())


@pytest.mark.parametrize(
    "labels, match",
    [
        (np.array([1, 3, 0, 0]), r"Y\[1\] is class 3, but A has 3 classes"),
        (np.array([1, -1, 0, 0]), r"Y\[1\] is class -1"),
        (np.array([1, 2, 0]), "3 class labels, but A has 4 rows"),
        (np.array([1.0, 2.0, 0.0, 0.0]), "shape"),  # float vectors are not labels
    ],
)
def test_cross_entropy_refuses_bad_labels(labels, match):
    with pytest.raises(ValueError, match=match):
        CrossEntropyLoss()(LOGITS, labels)


@pytest.mark.parametrize(
    "call, hint",
    [
        (lambda: MaxPool2d(kernel_size=2, stride=2), "did you mean 'kernel'?"),
        (lambda: Plantrel(1, 2, 3, strides=1), "did you mean 'stride'?"),
        (lambda: Linear(2, 3, weight_init=None), "did you mean 'weight_init_fn'?"),
        (lambda: Linear(2, 3, bias=False), None),  # nothing close enough
        (lambda: importlib.import_module("quillet.init").normal(0.1, men=1), "did you mean 'mean'?"),
    ],
)
def test_an_unknown_keyword_names_the_closest_parameter(call, hint):
    with pytest.raises(TypeError, match="unexpected keyword argument") as e:
        call()
    assert (hint in str(e.value)) if hint else "did you mean" not in str(e.value)


EXAMPLE = __import__("pathlib").Path(__file__).resolve().parents[1] / "examples" / "digits_like_pytorch.py"


def test_the_pytorch_style_digits_script_runs_unchanged_and_learns():
    pytest.importorskip("sklearn")
    import re
    import subprocess
    import sys

    ran = subprocess.run([sys.executable, str(EXAMPLE)], capture_output=True, text=True, timeout=120)
    assert ran.returncode == 0, ran.stdout + ran.stderr
    assert float(re.search(r"reloaded: held-out accuracy ([\d.]+)%", ran.stdout).group(1)) >= 98


def test_a_two_layer_mlp_with_he_weights_learns_the_digits():
    sklearn = pytest.importorskip("sklearn.datasets")
    from sklearn.model_selection import train_test_split

    from quillet import init
    from quillet.optim import Adam

    digits = sklearn.load_digits()
    x_train, x_test, y_train, y_test = train_test_split(
        digits.data / 16.0, digits.target, test_size=0.25, random_state=0
    )
    np.random.seed(0)
    net = Sequential(Linear(64, 64, init.kaiming_normal), ReLU(), Linear(64, 10, init.kaiming_normal))
    criterion, optimizer = CrossEntropyLoss(), Adam(net, lr=1e-2)
    for _ in range(15):
        for rows in np.array_split(np.random.permutation(len(x_train)), len(x_train) // 32):
            optimizer.zero_grad()
            criterion(net(x_train[rows]), y_train[rows])
            net.backward(criterion.backward())
            optimizer.step()
    assert (net(x_test).argmax(axis=1) == y_test).mean() >= 0.95
