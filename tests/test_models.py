import numpy as np
import pytest
from numpy.testing import assert_allclose, assert_array_equal

from conftest import corr, numgrad
from models.cnn import CNN
from models.mlp import MLP
from models.trawlix import CNN_DistributedScanningMLP, CNN_SimpleScanningMLP
from quillet.nn.activation import ReLU, Tanh
from quillet.nn.linear import Linear
from quillet.nn.loss import CrossEntropyLoss

relu = lambda x: np.maximum(x, 0)


@pytest.mark.parametrize("sizes", [[192, 8, 16, 4], [5, 3], [5], []])
def test_mlp_layer_structure(sizes):
    mlp, A = MLP(sizes), np.ones((2, 5))
    layers = mlp.layers
    assert len(layers) == max(2 * len(sizes) - 3, 0)
    assert all(type(x) is ReLU for x in layers[1::2]) and len({id(x) for x in layers}) == len(layers)
    assert [(type(x), x.W.shape) for x in layers[::2]] == [(Linear, s[::-1]) for s in zip(sizes, sizes[1:])]
    if not layers:  # input and gradient pass through unchanged
        assert mlp.forward(A) is A and mlp.backward(A) is A


def test_mlp_init_weights_assigns_transposed_views(rng):
    mlp = MLP([6, 4, 3, 2])
    relus = mlp.layers[1::2]
    ws = [rng.standard_normal(s) for s in ((6, 4), (4, 3), (3, 2))]
    mlp.init_weights(ws[:1])  # a partial list only reaches the first layers
    assert np.shares_memory(mlp.layers[0].W, ws[0]) and not mlp.layers[2].W.any() and not mlp.layers[4].W.any()
    mlp.init_weights(ws)
    for layer, w in zip(mlp.layers[::2], ws):
        assert np.shares_memory(layer.W, w) and (layer.W == w.T).all() and not layer.b.any()
    assert mlp.layers[1::2] == relus
    with pytest.raises(IndexError):
        mlp.init_weights([w.copy() for w in ws] + [ws[0]])
    assert not np.shares_memory(mlp.layers[0].W, ws[0])  # earlier entries assigned before the failure


def test_mlp_matches_numpy(rng):
    mlp = MLP([192, 8, 16, 4])
    w1, w2, w3 = ws = [rng.standard_normal(s) for s in ((192, 8), (8, 16), (16, 4))]
    mlp.init_weights(ws)
    x, G = rng.standard_normal((5, 192)), rng.standard_normal((5, 4))
    h1 = x @ w1
    h2 = relu(h1) @ w2
    assert_allclose(mlp.forward(x), relu(h2) @ w3, rtol=1e-10)
    dh1 = ((G @ w3.T) * (h2 > 0)) @ w2.T * (h1 > 0)
    assert_allclose(mlp.backward(G), dh1 @ w1.T, rtol=1e-10)
    assert_allclose(mlp.layers[0].dLdW, dh1.T @ x, rtol=1e-10)


class Recorder:  # a layer whose call and forward differ
    def __init__(self, log, i):
        self.log, self.i, self.forward = log, i, None

    def __call__(self, Z):
        return self.log.append(("call", self.i)) or Z + self.i

    def backward(self, G):
        return self.log.append(("backward", self.i)) or G * self.i


def test_mlp_calls_layers_and_runs_backward_in_reverse():
    mlp, log = MLP([3, 3, 3]), []
    mlp.layers[:] = [Recorder(log, i) for i in (1, 2, 3)]
    assert_array_equal(mlp.forward(np.zeros((1, 3))), [[6, 6, 6]])
    assert_array_equal(mlp.backward(np.ones((1, 3))), [[6, 6, 6]])
    assert log == [("call", 1), ("call", 2), ("call", 3), ("backward", 3), ("backward", 2), ("backward", 1)]


def make_cnn(
    width=8,
    cin=2,
    channels=(4, 4, 4),
    kernels=(2, 2, 2),
    strides=(1, 1, 1),
    classes=4,
    acts=None,
    conv_init=None,
    bias_init=None,
    lin_init=None,
    criterion=None,
    lr=0.1,
):
    return CNN(
        input_width=width,
        num_input_channels=cin,
        num_channels=list(channels),
        kernel_sizes=list(kernels),
        strides=list(strides),
        num_linear_neurons=classes,
        activations=acts if acts is not None else [ReLU() for _ in channels],
        conv_weight_init_fn=conv_init,
        bias_init_fn=bias_init,
        linear_weight_init_fn=lin_init,
        criterion=criterion or CrossEntropyLoss(),
        lr=lr,
    )


def cnn_reference(cnn, A, f):
    out = []
    for conv in cnn.convolutional_layers:
        A = f(corr(A, conv.lintrel_stride1.W, conv.lintrel_stride1.b, conv.stride))
        out.append(A)
    return out, A.reshape(len(A), -1) @ cnn.linear_layer.W.T + cnn.linear_layer.b


class Product:  # a criterion whose output is not reduced: the model must sum it
    def forward(self, A, Y):
        self.Y = Y
        return A * Y

    backward = lambda self: self.Y


@pytest.mark.parametrize(
    "width, kernels, strides, printed, in_features",
    [
        (8, (2, 2, 2), (1, 1, 1), "7\n6\n5\n", 20),
        (10, (3, 2, 2), (2, 1, 1), "4\n3\n2\n", 8),
        (30, (4, 3, 2), (3, 2, 2), "9\n4\n2\n", 8),
    ],
)
def test_cnn_construction(width, kernels, strides, printed, in_features, capsys):
    acts, crit = [ReLU(), Tanh(), ReLU()], CrossEntropyLoss()
    cnn = make_cnn(width, kernels=kernels, strides=strides, acts=acts, criterion=crit, lr=0.25)
    assert capsys.readouterr().out == printed
    assert cnn.linear_layer.W.shape == (4, in_features) and cnn.output_size == in_features // 4
    assert cnn.activations is acts and cnn.criterion is crit and cnn.lr == 0.25
    assert cnn.train_mode is True and cnn.nlayers == 3
    assert [(c.lintrel_stride1.W.shape, c.stride) for c in cnn.convolutional_layers] == [
        ((4, 2, kernels[0]), strides[0]),
        ((4, 4, kernels[1]), strides[1]),
        ((4, 4, kernels[2]), strides[2]),
    ]


def test_cnn_seed_reproduces_conv_weights():
    np.random.seed(11)
    cnn, after = make_cnn(), np.random.normal()
    np.random.seed(11)
    for conv, shape in zip(cnn.convolutional_layers, ((4, 2, 2), (4, 4, 2), (4, 4, 2))):
        assert_array_equal(conv.lintrel_stride1.W, np.random.normal(0, 1.0, shape))
    assert np.random.normal() == after  # nothing else drawn
    assert not cnn.linear_layer.W.any() and not cnn.linear_layer.b.any()


def test_cnn_initialisers():
    calls = []
    init = lambda tag: lambda *s: calls.append((tag, s)) or np.full(s, len(calls), dtype=float)
    cnn = make_cnn(conv_init=init("conv"), bias_init=init("bias"), lin_init=init("linear"))
    assert calls == [
        ("conv", (4, 2, 2)),
        ("bias", (4,)),
        ("conv", (4, 4, 2)),
        ("bias", (4,)),
        ("conv", (4, 4, 2)),
        ("bias", (4,)),
        ("linear", (4, 20)),
        ("bias", (4,)),
    ]
    assert_array_equal(cnn.linear_layer.W, np.full((4, 20), 7.0))
    assert_array_equal(cnn.linear_layer.b, np.full(4, 8.0))


def test_cnn_forward_backward(rng):
    cnn = make_cnn(criterion=Product(), lin_init=lambda *s: rng.standard_normal(s))
    A, Y = rng.standard_normal((3, 2, 8)), rng.standard_normal((3, 4))
    Z = cnn.forward(A)
    saved, expected = cnn_reference(cnn, A, relu)
    assert cnn.Z is Z and len(cnn.saved_activations) == 3
    assert_allclose(Z, expected, rtol=1e-10, atol=1e-12)
    for got, act, ref in zip(cnn.saved_activations, cnn.activations, saved):
        assert got is act.A
        assert_allclose(got, ref, rtol=1e-10, atol=1e-12)
    assert cnn.backward(Y).shape == A.shape and cnn.loss == pytest.approx((Z * Y).sum())
    assert_allclose(cnn.linear_layer.dLdb, Y.sum(0))  # the criterion's gradient reached the linear layer
    with pytest.raises(ValueError):
        cnn.backward(Y[0])  # labels must be two-dimensional
    with pytest.raises(AttributeError):
        make_cnn().backward(Y)


def test_cnn_finite_differences(rng):
    np.random.seed(2)
    cnn = make_cnn(
        acts=[Tanh() for _ in range(3)],
        lin_init=lambda *s: rng.standard_normal(s),
        bias_init=lambda n: rng.standard_normal(n),
    )
    A, Y = rng.standard_normal((3, 2, 8)), np.eye(4)[[0, 2, 3]]

    def loss():
        cnn.forward(A)
        cnn.backward(Y)
        return cnn.loss

    loss()
    params = [cnn.linear_layer] + [c.lintrel_stride1 for c in cnn.convolutional_layers]
    grads = [(p.dLdW.copy(), p.W, p.dLdb.copy(), p.b) for p in params]
    assert_allclose(cnn.backward(Y), numgrad(loss, A), rtol=1e-6, atol=1e-8)
    for dW, W, db, b in grads:
        assert_allclose(dW, numgrad(loss, W), rtol=1e-6, atol=1e-8)
        assert_allclose(db, numgrad(loss, b), rtol=1e-6, atol=1e-8)


def test_cnn_zero_grads_step_train_eval(rng):
    cnn = make_cnn(lr=0.5, lin_init=lambda *s: rng.standard_normal(s))
    params = [cnn.linear_layer] + [c.lintrel_stride1 for c in cnn.convolutional_layers]
    cnn.zero_grads()  # before any backward
    assert not any(p.dLdW.any() or p.dLdb.any() for p in params)
    A, Y = rng.standard_normal((4, 2, 8)), np.eye(4)[[0, 1, 2, 3]]
    cnn.forward(A)
    cnn.backward(Y)
    before = [(p.W, p.b, p.dLdW.copy(), p.dLdb.copy()) for p in params]
    assert all(g.any() for *_, g in before)
    cnn.step()
    for p, (W, b, dW, db) in zip(params, before):
        assert p.W is not W and p.b is not b and (p.W == W - 0.5 * dW).all() and (p.b == b - 0.5 * db).all()
    grads = [(p.dLdW, p.dLdb) for p in params]
    cnn.zero_grads()
    assert all(p.dLdW is dW and p.dLdb is db and not dW.any() and not db.any() for p, (dW, db) in zip(params, grads))
    values = [(p.W, p.W.copy()) for p in params]
    cnn.step()
    assert all(p.W is not W and (p.W == V).all() for p, (W, V) in zip(params, values))
    Z, state = cnn.forward(A), dict(vars(cnn))
    for method, mode in (("eval", False), ("train", True), ("eval", False)):
        assert getattr(cnn, method)() is None and cnn.train_mode is mode
        assert {**vars(cnn), "train_mode": None} == {**state, "train_mode": None}  # nothing else changes
    assert_array_equal(cnn.forward(A), Z)


@pytest.mark.parametrize("n", [1, 2, 4])
def test_cnn_other_layer_counts(n, capsys, rng):
    cnn = make_cnn(12, channels=(3,) * n, kernels=(2,) * n, strides=(1,) * n)
    assert capsys.readouterr().out == "".join(f"{11 - j}\n" for j in range(n))
    assert len(cnn.convolutional_layers) == cnn.nlayers == n and cnn.linear_layer.W.shape == (4, 3 * (12 - n))
    A = rng.standard_normal((2, 2, 12))
    assert cnn.forward(A).shape == (2, 4) and len(cnn.saved_activations) == n
    assert cnn.backward(np.eye(4)[:2]).shape == A.shape
    W = cnn.convolutional_layers[-1].lintrel_stride1.W
    cnn.step()
    cnn.zero_grads()
    assert cnn.convolutional_layers[-1].lintrel_stride1.W is not W


@pytest.mark.parametrize("lengths", [(3, 2, 3, 3), (3, 3, 4, 3), (3, 3, 3, 2), (2, 3, 3, 3)])
def test_cnn_rejects_lists_of_different_lengths(lengths):
    c, k, s, a = lengths
    with pytest.raises(ValueError, match=r"num_channels.*activations.*{}, {}, {} and {}".format(*lengths)):
        make_cnn(20, channels=[3] * c, kernels=[2] * k, strides=[1] * s, acts=[ReLU() for _ in range(a)])


def test_cnn_learns_a_separable_problem(capsys):
    gen = np.random.default_rng(7)
    labels = np.arange(64) % 2
    A = gen.standard_normal((64, 2, 16))
    A[:, 0] += np.where(labels, 1.0, -1.0)[:, None]
    Y = np.eye(2)[labels]
    np.random.seed(0)
    cnn = make_cnn(
        16,
        channels=(4, 4, 4),
        kernels=(3, 3, 3),
        strides=(2, 1, 1),
        classes=2,
        lr=0.05,
        conv_init=lambda *s: np.random.normal(0, 0.3, s),
    )
    losses = []
    for _ in range(300):
        cnn.zero_grads()
        cnn.forward(A)
        cnn.backward(Y)
        cnn.step()
        losses.append(float(cnn.loss))
    assert losses[0] > 0.6 and losses[-1] < 0.1 * losses[0]
    assert ((cnn.forward(A).argmax(1) == labels).mean()) == 1.0


SCANNERS = [CNN_SimpleScanningMLP, CNN_DistributedScanningMLP]


def perceptron_weights(rng):
    return [rng.standard_normal(s) for s in ((192, 8), (8, 16), (16, 4))]


def conv_weight(w, in_channels, kernel):  # W[o, ch, k] = w[k * in_channels + ch, o]
    return w.reshape(kernel, in_channels, -1).transpose(2, 1, 0)


def scan(A, w1, w2, w3):
    """The perceptron applied to every window of 8 time steps, hop 4, flattened channel-major."""
    n = (A.shape[2] - 8) // 4 + 1
    out = [
        relu(relu(A[:, :, 4 * t : 4 * t + 8].transpose(0, 2, 1).reshape(len(A), 192) @ w1) @ w2) @ w3 for t in range(n)
    ]
    return np.stack(out, axis=2).reshape(len(A), -1)


@pytest.mark.parametrize("cls", SCANNERS)
def test_scanning_weight_mapping(cls, rng):
    ws = perceptron_weights(rng)
    net = cls()
    net.init_weights(ws + ["ignored"])
    if cls is CNN_SimpleScanningMLP:
        blocks = [(ws[0], 24, 8), (ws[1], 8, 1), (ws[2], 16, 1)]
    else:
        blocks = [(ws[0][:48, :2], 24, 2), (ws[1][:4, :8], 2, 2), (ws[2], 8, 2)]
        ws[0][48:], ws[0][:, 2:], ws[1][4:], ws[1][:, 8:] = 5.0, 6.0, 7.0, 8.0  # never read
        net.init_weights(ws)
    for conv, (w, cin, k) in zip((net.conv1, net.conv2, net.conv3), blocks):
        assert_array_equal(conv.lintrel_stride1.W, conv_weight(w, cin, k))
        assert not conv.lintrel_stride1.b.any()


@pytest.mark.parametrize("cls", SCANNERS)
@pytest.mark.parametrize("width, n", [(128, 31), (8, 1), (11, 1), (20, 4), (23, 4)])
def test_scanning_networks_compute_the_scanning_perceptron(cls, width, n, rng):
    w1, w2, w3 = perceptron_weights(rng)
    net = cls()
    net.init_weights([w1, w2, w3])
    A = rng.standard_normal((3, 24, width))
    Z = net.forward(A)
    assert Z.shape == (3, 4 * n)
    if cls is CNN_DistributedScanningMLP:  # the perceptron the shared blocks imply
        w1, w2 = np.kron(np.eye(4), w1[:48, :2]), np.kron(np.eye(2), w2[:4, :8])
    assert_allclose(Z, scan(A, w1, w2, w3), rtol=1e-10, atol=1e-10)
    assert net.backward(np.ones_like(Z)).shape == A.shape


def test_only_the_distributed_network_is_callable(rng):
    A = rng.standard_normal((2, 24, 16))
    net = CNN_DistributedScanningMLP()
    assert_array_equal(net(A), net.forward(A))
    assert not callable(CNN_SimpleScanningMLP())
    with pytest.raises(TypeError):
        CNN_SimpleScanningMLP()(A)


@pytest.mark.parametrize("cls", SCANNERS)
def test_scanning_input_gradient(cls, rng):
    net = cls()
    net.init_weights(perceptron_weights(rng))
    A = rng.standard_normal((2, 24, 16))
    G = rng.standard_normal(net.forward(A).shape)
    dA = net.backward(G)
    assert_allclose(dA, numgrad(lambda: np.vdot(net.forward(A), G), A), rtol=1e-5, atol=1e-6)
