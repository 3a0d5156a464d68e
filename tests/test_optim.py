"""quillet.optim: the parameter walk over every stock model and over layers
written in Python, and the optimizers' updates against a NumPy transcription
of PyTorch's formulas and against PyTorch itself."""

import copy
import pickle

import numpy as np
import pytest

from conftest import make
from quillet.nn.linear import Linear
from quillet.nn.loss import MSELoss
from quillet.nn.Plantrel import Plantrel
from quillet.nn.sequential import Sequential
from quillet.optim import SGD, Adam, AdamW, parameters


def owners(model):
    return [(id(o), n) for o, n in parameters(model)]


# ---------------------------------------------------------------- the walk


@pytest.mark.parametrize(
    "name, expected",
    [
        ("Linear", lambda m: [(m, "W"), (m, "b")]),
        ("MLP", lambda m: [(m.layers[0], "W"), (m.layers[0], "b"), (m.layers[2], "W"), (m.layers[2], "b")]),
        (
            "CNN",
            lambda m: [
                (o, n) for o in [c.lintrel_stride1 for c in m.convolutional_layers] + [m.linear_layer] for n in "Wb"
            ],
        ),
        # conv1..conv3 are also in `layers`: each counted once, under its first name
        (
            "CNN_SimpleScanningMLP",
            lambda m: [(c.lintrel_stride1, n) for c in (m.conv1, m.conv2, m.conv3) for n in "Wb"],
        ),
        (
            "CNN_DistributedScanningMLP",
            lambda m: [(c.lintrel_stride1, n) for c in (m.conv1, m.conv2, m.conv3) for n in "Wb"],
        ),
        ("Plantrel", lambda m: [(m.plantrel_stride1, "W"), (m.plantrel_stride1, "b")]),
        ("Unfurlet2d", lambda m: [(m.plantrel_stride1, "W"), (m.plantrel_stride1, "b")]),
        ("ReLU", lambda m: []),
    ],
)
def test_walk_finds_every_stock_parameter_once(name, expected, capsys):
    model = make(name)
    assert owners(model) == [(id(o), n) for o, n in expected(model)]


class Block:
    """A layer written in Python with the library's naming."""

    def __init__(self, n, shared=None):
        self.W = np.full((n, n), float(n))
        self.dLdW = np.zeros((n, n))
        self.shared = shared
        self.count = np.zeros(n)  # no gradient: not a parameter
        self.steps = np.zeros(n, int)  # not floating
        self.dLdsteps = np.zeros(n)
        self.odd = np.zeros(3)  # gradient of another shape
        self.dLdodd = np.zeros(4)
        self.factory, self.kind = np.zeros, Linear  # functions and classes are not entered


class Net:
    def __init__(self):
        common = Block(1)
        self.a = Block(2, common)
        self.a.parent = self  # a cycle back to the top
        self.blocks = [self.a, (Block(3, common), common), [[Block(4)]]]
        self.again = self.blocks  # the same list twice


def test_walk_follows_python_layers_through_shared_and_cyclic_references():
    net = Net()
    got = parameters(net)
    assert [(o.W.shape[0], n) for o, n in got] == [(2, "W"), (1, "W"), (3, "W"), (4, "W")]
    from quillet.state import state_dict

    assert list(state_dict(net)) == ["a.W", "a.shared.W", "blocks.1.0.W", "blocks.2.0.0.W"]
    assert owners([net.a, net.a]) == owners(net.a)  # a list of layers is a model too


def test_walk_of_a_very_deep_structure_raises_recursion_error():
    head = node = Block(1)
    for _ in range(50_000):  # beyond the recursion limit, and beyond the C one of Python 3.13 (10,000)
        node.shared = node = Block(1)
    with pytest.raises(RecursionError):
        parameters(head)


@pytest.mark.parametrize("model", [3, "net", np.zeros(3), Linear, None])
def test_walk_refuses_what_is_not_a_model(model):
    with pytest.raises(TypeError, match="model must be"):
        parameters(model)


# ---------------------------------------------------------------- the update rules


def sgd_ref(p, g, s, lr, momentum=0.0, weight_decay=0.0, nesterov=False):
    d = g + weight_decay * p
    if momentum:
        s["buf"] = d.copy() if "buf" not in s else momentum * s["buf"] + d
        d = d + momentum * s["buf"] if nesterov else s["buf"]
    return p - lr * d


def adam_ref(p, g, s, lr=1e-3, betas=(0.9, 0.999), eps=1e-8, weight_decay=0.0, decoupled=False):
    b1, b2 = betas
    if decoupled:
        p = p * (1 - lr * weight_decay)
    else:
        g = g + weight_decay * p
    t = s["t"] = s.get("t", 0) + 1
    m = s["m"] = b1 * s.get("m", 0.0) + (1 - b1) * g
    v = s["v"] = b2 * s.get("v", 0.0) + (1 - b2) * g * g
    return p - lr / (1 - b1**t) * m / (np.sqrt(v) / np.sqrt(1 - b2**t) + eps)


CONFIGS = [
    (SGD, dict(lr=0.1), sgd_ref),
    (SGD, dict(lr=0.1, momentum=0.9), sgd_ref),
    (SGD, dict(lr=0.05, momentum=0.8, nesterov=True), sgd_ref),
    (SGD, dict(lr=0.1, momentum=0.9, weight_decay=0.1), sgd_ref),
    (Adam, dict(), adam_ref),
    (Adam, dict(lr=0.01, weight_decay=0.1), adam_ref),
    (Adam, dict(lr=0.01, betas=(0.3, 0.6), eps=1e-3), adam_ref),  # 1 - beta1 > 0.5: lerp's other form
    (AdamW, dict(lr=0.01), lambda *a, **k: adam_ref(*a, weight_decay=k.pop("weight_decay", 1e-2), decoupled=True, **k)),
    (AdamW, dict(lr=0.01, weight_decay=0.3), lambda *a, **k: adam_ref(*a, decoupled=True, **k)),
]
IDS = [f"{c.__name__}-{'-'.join(f'{k}={v}' for k, v in kw.items()) or 'defaults'}" for c, kw, _ in CONFIGS]


def grad_at(W, step):
    """A gradient that depends on the weights and the step, like a real one."""
    return np.sin(3 * W + step) + 0.1 * step


@pytest.mark.parametrize("cls, kwargs, ref", CONFIGS, ids=IDS)
def test_updates_follow_the_formulas(cls, kwargs, ref):
    layer = Block(3)
    layer.W = np.random.default_rng(0).standard_normal((3, 3))
    W = layer.W
    opt = cls(layer, **kwargs)
    expected, s = W.copy(), {}
    for step in range(6):
        layer.dLdW = grad_at(layer.W, step)
        expected = ref(expected, grad_at(expected, step), s, **kwargs)
        opt.step()
        np.testing.assert_allclose(layer.W, expected, rtol=1e-13, atol=1e-15)
    assert layer.W is W  # updated in place
    if cls is not SGD:
        assert opt.state["W"]["step"] == 6


@pytest.mark.parametrize("cls, kwargs, ref", CONFIGS, ids=IDS)
def test_training_agrees_with_pytorch(cls, kwargs, ref):
    torch = pytest.importorskip("torch")
    rng = np.random.default_rng(1)
    X, Y = rng.standard_normal((8, 5)), rng.standard_normal((8, 3))
    net = Sequential(
        Linear(5, 4, lambda o, i: rng.standard_normal((o, i)), lambda o: rng.standard_normal(o)),
        Linear(4, 3, lambda o, i: rng.standard_normal((o, i)), lambda o: rng.standard_normal(o)),
    )
    tnet = torch.nn.Sequential(torch.nn.Linear(5, 4), torch.nn.Linear(4, 3)).double()
    with torch.no_grad():
        for ours, theirs in zip(net.layers, tnet):
            theirs.weight.copy_(torch.tensor(ours.W))
            theirs.bias.copy_(torch.tensor(ours.b))
    opt = cls(net, **kwargs)
    topt = getattr(torch.optim, cls.__name__)(tnet.parameters(), **kwargs)
    loss = MSELoss()
    for _ in range(5):
        opt.zero_grad()
        loss(net(X), Y)
        net.backward(loss.backward())
        opt.step()
        topt.zero_grad()
        torch.nn.functional.mse_loss(tnet(torch.tensor(X)), torch.tensor(Y)).backward()
        topt.step()
    for ours, theirs in zip(net.layers, tnet):
        np.testing.assert_allclose(ours.W, theirs.weight.detach().numpy(), rtol=1e-11, atol=1e-13)
        np.testing.assert_allclose(ours.b, theirs.bias.detach().numpy(), rtol=1e-11, atol=1e-13)


def test_parameters_that_cannot_be_written_in_place_are_replaced_by_float64():
    layer = Block(2)
    view = np.zeros((2, 4))[:, ::2]  # not contiguous
    layer.W, layer.dLdW = view, np.ones((2, 2))
    frozen = Block(2)
    frozen.W = np.ones((2, 2), np.float32)
    frozen.dLdW = np.ones((2, 2))
    SGD([layer, frozen], lr=0.5).step()
    assert layer.W is not view and not view.any()
    np.testing.assert_array_equal(layer.W, -0.5)
    assert frozen.W.dtype == np.float64 and frozen.W.flags.c_contiguous
    np.testing.assert_array_equal(frozen.W, 0.5)


def test_state_restarts_when_a_parameter_changes_shape():
    layer = Block(2)
    layer.dLdW[:] = 1
    opt = Adam(layer, lr=0.1)
    opt.step()
    opt.step()
    layer.W, layer.dLdW = np.ones(5), np.ones(5)
    opt.step()
    assert opt.state["W"]["step"] == 1 and opt.state["W"]["exp_avg"].shape == (5,)
    np.testing.assert_allclose(layer.W, 1 - 0.1, rtol=1e-7)  # a first step moves each weight by lr (less eps)


@pytest.mark.parametrize("clone", [copy.deepcopy, lambda x: pickle.loads(pickle.dumps(x))], ids=["deepcopy", "pickle"])
@pytest.mark.parametrize("cls", [SGD, Adam])
def test_optimizer_and_model_copy_together_and_continue_alike(cls, clone):
    model = make("MLP")
    X = np.random.default_rng(2).standard_normal((4, 5))
    opt = cls(model, lr=0.01, **({"momentum": 0.9} if cls is SGD else {}))

    def step(m, o):
        o.zero_grad()
        m.backward(m.forward(X))
        o.step()

    step(model, opt)
    model2, opt2 = clone((model, opt))
    assert opt2.model is model2 and type(opt2) is cls and vars(opt2).keys() == vars(opt).keys()
    for _ in range(3):
        step(model, opt)
        step(model2, opt2)
    for (o1, n), (o2, _) in zip(parameters(model), parameters(model2)):
        np.testing.assert_array_equal(getattr(o1, n), getattr(o2, n))


def test_zero_grad_fills_in_place():
    model = make("CNN_DistributedScanningMLP")
    grads = [getattr(o, "dLd" + n) for o, n in parameters(model)]
    for g in grads:
        g[...] = 3.0
    readonly = parameters(model)[0][0]
    readonly.dLdW = np.lib.stride_tricks.as_strided(np.ones(readonly.W.shape), writeable=False)
    SGD(model, 0.1).zero_grad()
    assert all(getattr(o, "dLd" + n) is g and not g.any() for (o, n), g in list(zip(parameters(model), grads))[1:])
    assert not readonly.dLdW.any() and readonly.dLdW.flags.writeable


def test_a_step_that_fails_changes_nothing():
    first, second = Block(2), Block(2)
    first.dLdW[:] = 1
    second.dLdW = np.ones((2, 2), complex)
    opt = Adam([first, second])
    with pytest.raises(TypeError, match="complex"):
        opt.step()
    np.testing.assert_array_equal(first.W, 2.0)
    assert opt.state == {}


@pytest.mark.parametrize(
    "cls, kwargs, word",
    [
        (SGD, dict(lr=-0.1), "lr"),
        (SGD, dict(lr=float("nan")), "lr"),
        (SGD, dict(lr=0.1, momentum=-0.5), "momentum"),
        (SGD, dict(lr=0.1, weight_decay=-1), "weight_decay"),
        (SGD, dict(lr=0.1, nesterov=True), "nesterov"),
        (Adam, dict(betas=(1.0, 0.9)), r"betas\[0\]"),
        (Adam, dict(betas=(0.9, -0.1)), r"betas\[1\]"),
        (Adam, dict(betas=(0.9,)), "betas"),
        (Adam, dict(eps=0.0), "eps"),
        (AdamW, dict(weight_decay=-0.01), "weight_decay"),
        (AdamW, dict(lr=-1), "lr"),
    ],
)
def test_bad_hyper_parameters_name_the_argument(cls, kwargs, word):
    with pytest.raises(ValueError, match=word):
        cls(Block(2), **kwargs)


def test_type_errors_and_models_without_parameters():
    with pytest.raises(TypeError, match="lr"):
        SGD(Block(2), "0.1")
    with pytest.raises(TypeError, match="betas"):
        Adam(Block(2), betas=0.9)
    with pytest.raises(ValueError, match="no parameters"):
        Adam(make("ReLU"))


def test_repr_shows_the_hyper_parameters():
    assert (
        repr(SGD(Block(2), 0.1, momentum=0.9, nesterov=True))
        == "SGD(lr=0.1, momentum=0.9, weight_decay=0.0, nesterov=True)"
    )
    assert repr(Adam(Block(2))) == "Adam(lr=0.001, betas=(0.9, 0.999), eps=1e-08, weight_decay=0.0)"
    opt = AdamW(Block(2))
    opt.lr = 0.5  # a schedule changes lr between steps
    assert repr(opt) == "AdamW(lr=0.5, betas=(0.9, 0.999), eps=1e-08, weight_decay=0.01)"


def test_two_dimensional_layers_train_through_sequential():
    rng = np.random.default_rng(3)
    net = Sequential(Plantrel(2, 3, 3, 1, 1, lambda *s: rng.standard_normal(s) * 0.3), make("Flatten"))
    X, Y = rng.standard_normal((4, 2, 5, 5)), rng.standard_normal((4, 75))
    opt, loss = Adam(net, lr=0.05), MSELoss()
    first = float(loss(net(X), Y))
    for _ in range(30):
        opt.zero_grad()  # 2-D layers add to their gradients
        loss(net(X), Y)
        net.backward(loss.backward())
        opt.step()
    assert float(loss(net(X), Y)) < 0.7 * first


# ---------------------------------------------------------------- tied weights, state that follows the array


def tied_pair(dtype=np.float64):
    """Two Python layers holding one weight array, each with its own gradient."""
    first, second = Block(3), Block(3)
    second.W = first.W = np.random.default_rng(3).standard_normal((3, 3)).astype(dtype)
    return [first, second]


@pytest.mark.parametrize("cls, kwargs, ref", CONFIGS, ids=IDS)
def test_a_tied_weight_is_updated_once_with_the_summed_gradient(cls, kwargs, ref):
    layers = tied_pair()
    opt, expected, s = cls(layers, **kwargs), layers[0].W.copy(), {}
    for step in range(5):
        layers[0].dLdW = grad_at(layers[0].W, step)
        layers[1].dLdW = np.cos(layers[1].W) * step
        expected = ref(expected, grad_at(expected, step) + np.cos(expected) * step, s, **kwargs)
        opt.step()
    np.testing.assert_allclose(layers[0].W, expected, rtol=1e-13, atol=1e-15)
    assert layers[0].W is layers[1].W and len(parameters(layers)) == 1
    assert list(opt.state) in ([], ["0.W"])


def test_a_tied_array_that_is_not_float64_stays_tied():
    layers = tied_pair(np.float32)
    for layer in layers:
        layer.dLdW[:] = 1
    SGD(layers, lr=0.5).step()
    assert layers[0].W is layers[1].W and layers[0].W.dtype == np.float64
    opt = SGD(layers, lr=0.5)
    opt.zero_grad()
    assert not layers[0].dLdW.any() and not layers[1].dLdW.any()


def test_a_gradient_array_shared_by_the_holders_counts_once():
    layers = tied_pair()
    layers[1].dLdW = layers[0].dLdW
    layers[0].dLdW[:] = 1
    W = layers[0].W.copy()
    SGD(layers, lr=0.5).step()
    np.testing.assert_allclose(layers[0].W, W - 0.5)


@pytest.mark.parametrize("cls", [SGD, Adam, AdamW])
def test_state_follows_the_parameter_when_layers_move(cls):
    def net_of(layers):
        return Sequential(*layers)

    rng = np.random.default_rng(4)
    a, b = (Linear(3, 3, lambda o, i: rng.standard_normal((o, i))) for _ in range(2))
    net = net_of([a, b])
    opt = cls(net, lr=0.1, **({"momentum": 0.9} if cls is SGD else {}))
    for layer in net.layers:
        layer.dLdW[:], layer.dLdb[:] = 1.0, 1.0
    opt.step()
    fresh = Linear(3, 3)
    net.layers.insert(1, fresh)
    opt.step()  # fresh has zero gradients and starts with no state: it does not move
    assert not fresh.W.any() and not fresh.b.any()
    assert list(opt.state) == ["layers.0.W", "layers.0.b", "layers.1.W", "layers.1.b", "layers.2.W", "layers.2.b"]
    if cls is not SGD:
        assert [e["step"] for e in opt.state.values()] == [2, 2, 1, 1, 2, 2]
    del net.layers[0]
    opt.step()
    assert list(opt.state) == ["layers.0.W", "layers.0.b", "layers.1.W", "layers.1.b"]
    assert opt.param_arrays["layers.1.W"] is b.W


def test_an_optimizer_from_before_param_arrays_keeps_its_state_by_path():
    layer = Block(2)
    layer.dLdW[:] = 1
    opt = Adam(layer, lr=0.1)
    opt.step()
    del opt.param_arrays  # as unpickled from an older release
    opt.step()
    assert opt.state["W"]["step"] == 2


def test_a_float128_parameter_is_refused_by_name():
    layer = Block(2)
    layer.W = layer.W.astype(np.longdouble)
    if np.dtype(np.longdouble) == np.float64:
        pytest.skip("long double is double here")
    with pytest.raises(TypeError, match=r"the parameter W has dtype"):
        SGD(layer, lr=0.1).step()
