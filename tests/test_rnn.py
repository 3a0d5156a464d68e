"""quillet.nn.rnn: the sequence layers and cells agree with PyTorch's (float64)
in every output and gradient, and with a NumPy transcription of the gate
equations where PyTorch is missing; gradcheck passes for every class;
Embedding accumulates like np.add.at; bad input raises a clear exception."""

import copy
import pickle

import numpy as np
import pytest
from numpy.testing import assert_allclose, assert_array_equal

from quillet.gradcheck import gradcheck
from quillet.nn.rnn import GRU, LSTM, RNN, Embedding, GRUCell, LSTMCell, RNNCell
from quillet.optim import parameters

KINDS = {"rnn_tanh": (RNN, {}), "rnn_relu": (RNN, {"nonlinearity": "relu"}), "gru": (GRU, {}), "lstm": (LSTM, {})}
CELLS = {"rnn_tanh": (RNNCell, {}), "rnn_relu": (RNNCell, {"nonlinearity": "relu"}), "gru": (GRUCell, {})}
CELLS["lstm"] = (LSTMCell, {})
RTOL = 1e-12


def sig(x):
    return 1 / (1 + np.exp(-x))


def np_step(kind, x, h, c, W_ih, W_hh, b_ih, b_hh):
    """One step of the cell equations, written out (PyTorch's gate order)."""
    gx, gh = x @ W_ih.T + b_ih, h @ W_hh.T + b_hh
    if kind == "rnn_tanh":
        return np.tanh(gx + gh), None
    if kind == "rnn_relu":
        return np.maximum(gx + gh, 0), None
    if kind == "gru":
        (xr, xz, xn), (hr, hz, hn) = np.split(gx, 3, axis=1), np.split(gh, 3, axis=1)
        r, z = sig(xr + hr), sig(xz + hz)
        n = np.tanh(xn + r * hn)
        return (1 - z) * n + z * h, None
    i, f, g, o = np.split(gx + gh, 4, axis=1)
    c = sig(f) * c + sig(i) * np.tanh(g)
    return sig(o) * np.tanh(c), c


def np_sequence(layer, kind, X, h0, c0):
    """The layer's forward by np_step: (Y, h_n, c_n), time-major."""
    L, D = layer.num_layers, 2 if layer.bidirectional else 1
    hn, cn = np.zeros_like(h0), np.zeros_like(c0)
    for layer_index in range(L):
        outs = []
        for d in range(D):
            k, sfx = layer_index * D + d, f"_l{layer_index}" + ("_reverse" if d else "")
            p = [getattr(layer, f"{n}{sfx}", 0) for n in ("W_ih", "W_hh", "b_ih", "b_hh")]
            h, c, Y = h0[k], c0[k], [None] * len(X)
            for t in reversed(range(len(X))) if d else range(len(X)):
                h, c = np_step(kind, X[t], h, c, *p)
                Y[t] = h
            hn[k], outs = h, outs + [np.stack(Y)]
            if c is not None:
                cn[k] = c
        X = np.concatenate(outs, axis=2)
    return X, hn, cn


def make(kind, I, H, **kw):
    cls, extra = KINDS[kind]
    np.random.seed(0)
    return cls(I, H, **extra, **kw)


def run(layer, kind, X, h0, c0):
    if kind == "lstm":
        Y, (hn, cn) = layer.forward(X, (h0, c0))
        return Y, hn, cn
    Y, hn = layer.forward(X, h0)
    return Y, hn, None


# (seq_len, batch, input, hidden); "wide" has batch blocks and gate columns
# of the kernels both full and partial, "short tail" a last block of 2 rows
SHAPES = {
    "odd": (4, 3, 5, 7),
    "one_step": (1, 2, 3, 4),
    "long": (500, 2, 2, 3),
    "wide": (3, 37, 9, 40),
    "short_tail": (2, 26, 9, 40),
}


def stacks(layouts):
    """(seq_len, batch, input, hidden, layers, bidirectional) for every shape and
    stack, the long sequence with one layer only (to keep it cheap)."""
    return [
        pytest.param(*shape, layers, bidirectional, id=f"{name}-{layers}{'-bi' if bidirectional else ''}")
        for name, shape in SHAPES.items()
        for layers, bidirectional in layouts
        if shape[0] < 500 or layers == 1
    ]


@pytest.mark.parametrize("T, B, I, H, layers, bidirectional", stacks([(1, False), (2, True), (3, False), (1, True)]))
@pytest.mark.parametrize("kind", sorted(KINDS))
def test_forward_matches_the_equations(kind, layers, bidirectional, T, B, I, H):
    layer, rng = make(kind, I, H, num_layers=layers, bidirectional=bidirectional), np.random.default_rng(1)
    X, h0, c0 = rng.standard_normal((T, B, I)), *rng.standard_normal((2, layers * (1 + bidirectional), B, H))
    Y, hn, cn = run(layer, kind, X, h0, c0)
    rY, rh, rc = np_sequence(layer, kind, X, h0, c0)
    assert_allclose(Y, rY, rtol=RTOL, atol=1e-13)
    assert_allclose(hn, rh, rtol=RTOL, atol=1e-13)
    if kind == "lstm":
        assert_allclose(cn, rc, rtol=RTOL, atol=1e-13)


def torch_twin(layer, kind, torch):
    cls = {"rnn": torch.nn.RNN, "gru": torch.nn.GRU, "lstm": torch.nn.LSTM}[kind.split("_")[0]]
    kw = {"nonlinearity": kind[4:]} if kind.startswith("rnn") else {}
    twin = cls(
        layer.input_size,
        layer.hidden_size,
        num_layers=layer.num_layers,
        bias=layer.bias,
        batch_first=layer.batch_first,
        bidirectional=layer.bidirectional,
        dtype=torch.float64,
        **kw,
    )
    for name, p in twin.named_parameters():  # the weights copy across by name
        p.data = torch.tensor(getattr(layer, name.replace("weight_", "W_").replace("bias_", "b_")))
    return twin


@pytest.mark.parametrize("T, B, I, H, layers, bidirectional", stacks([(1, False), (2, True), (3, True)]))
@pytest.mark.parametrize("batch_first", [False, True], ids=["time_major", "batch_first"])
@pytest.mark.parametrize("kind", sorted(KINDS))
def test_sequence_layers_match_pytorch(kind, batch_first, layers, bidirectional, T, B, I, H):
    torch = pytest.importorskip("torch")
    layer = make(kind, I, H, num_layers=layers, bidirectional=bidirectional, batch_first=batch_first)
    twin, rng, LD = torch_twin(layer, kind, torch), np.random.default_rng(2), layers * (1 + bidirectional)
    X, (h0, c0) = rng.standard_normal((B, T, I) if batch_first else (T, B, I)), rng.standard_normal((2, LD, B, H))
    Y, hn, cn = run(layer, kind, X, h0, c0)
    gY, gh, gc = rng.standard_normal(Y.shape), *rng.standard_normal((2, LD, B, H))
    Xt, h0t, c0t = (torch.tensor(a, requires_grad=True) for a in (X, h0, c0))
    Yt, state = twin(Xt, (h0t, c0t) if kind == "lstm" else h0t)
    hnt, cnt = state if kind == "lstm" else (state, None)
    loss = (Yt * torch.tensor(gY)).sum() + (hnt * torch.tensor(gh)).sum()
    (loss + ((cnt * torch.tensor(gc)).sum() if kind == "lstm" else 0)).backward()
    dX = layer.backward(gY, gh, gc) if kind == "lstm" else layer.backward(gY, gh)
    pairs = [(Y, Yt), (hn, hnt), (dX, Xt.grad), (layer.dLdh0, h0t.grad)]
    pairs += [(cn, cnt), (layer.dLdc0, c0t.grad)] if kind == "lstm" else []
    for name, p in twin.named_parameters():
        pairs.append((getattr(layer, "dLd" + name.replace("weight_", "W_").replace("bias_", "b_")), p.grad))
    for mine, theirs in pairs:
        assert_allclose(mine, theirs.detach().numpy(), rtol=RTOL, atol=1e-12)


@pytest.mark.parametrize("bias", [True, False])
@pytest.mark.parametrize("kind", sorted(CELLS))
def test_cells_in_a_loop_match_pytorch(kind, bias):
    torch = pytest.importorskip("torch")
    cls, kw = CELLS[kind]
    np.random.seed(0)
    cell = cls(5, 3, bias=bias, **kw)
    tcls = {"rnn": torch.nn.RNNCell, "gru": torch.nn.GRUCell, "lstm": torch.nn.LSTMCell}[kind.split("_")[0]]
    twin = tcls(5, 3, bias=bias, dtype=torch.float64, **({"nonlinearity": kind[4:]} if kind.startswith("rnn") else {}))
    for name, p in twin.named_parameters():
        p.data = torch.tensor(getattr(cell, name.replace("weight_", "W_").replace("bias_", "b_")))
    rng = np.random.default_rng(3)
    xs, gs = rng.standard_normal((6, 4, 5)), rng.standard_normal((6, 4, 3))
    xts = [torch.tensor(x, requires_grad=True) for x in xs]
    state, tstate, loss = None, None, 0
    for x, xt, g in zip(xs, xts, gs):
        state, tstate = cell.forward(x, state), twin(xt, tstate)
        loss = loss + ((tstate[0] if kind == "lstm" else tstate) * torch.tensor(g)).sum()
        assert_allclose(state[0] if kind == "lstm" else state, (tstate[0] if kind == "lstm" else tstate).detach())
    loss.backward()
    dh, dc = np.zeros((4, 3)), np.zeros((4, 3))
    for _x, xt, g in reversed(list(zip(xs, xts, gs))):  # pops the steps in reverse
        if kind == "lstm":
            dx, (dh, dc) = cell.backward(g + dh, dc)
        else:
            dx, dh = cell.backward(g + dh)
        assert_allclose(dx, xt.grad.numpy(), rtol=RTOL, atol=1e-12)
    assert cell.stack == []
    for name, p in twin.named_parameters():
        mine = getattr(cell, "dLd" + name.replace("weight_", "W_").replace("bias_", "b_"))
        assert_allclose(mine, p.grad.numpy(), rtol=RTOL, atol=1e-12)


class SequenceOnly:
    """gradcheck's face for a sequence layer: forward(X) -> Y, backward(dLdY) -> dLdX,
    from fixed non-zero initial states (so their path is checked too)."""

    def __init__(self, layer, state):
        self.layer, self.state = layer, state

    def forward(self, A):
        return self.layer.forward(A, self.state)[0]

    def backward(self, dLdZ):
        return self.layer.backward(dLdZ)


class StepOnly:
    def __init__(self, cell, state):
        self.cell, self.state = cell, state

    def forward(self, A):
        out = self.cell.forward(A, self.state)
        return out[1] if isinstance(out, tuple) else out  # the LSTM's c depends on every gate

    def backward(self, dLdZ):
        if isinstance(self.state, tuple):
            return self.cell.backward(np.zeros_like(dLdZ), dLdZ)[0]
        return self.cell.backward(dLdZ)[0]


@pytest.mark.parametrize("kind", sorted(KINDS))
def test_gradcheck_passes_for_every_class(kind):
    rng = np.random.default_rng(4)
    layer = make(kind, 3, 2, num_layers=2, bidirectional=True, batch_first=True)
    h = rng.standard_normal((4, 2, 2))
    assert gradcheck(SequenceOnly(layer, (h, h) if kind == "lstm" else h), rng.standard_normal((2, 3, 3)))
    cls, kw = CELLS[kind]
    h = rng.standard_normal((2, 4))
    cell = cls(3, 4, **kw)
    assert gradcheck(StepOnly(cell, (h, h + 1) if kind == "lstm" else h), rng.standard_normal((2, 3)))


def test_parameters_are_named_and_initialised_in_pytorch_order():
    np.random.seed(5)
    lstm = LSTM(3, 4, num_layers=2, bidirectional=True)
    names = [n for _, n in parameters(lstm)]
    expected = [f"{w}_l{k}{s}" for k in (0, 1) for s in ("", "_reverse") for w in ("W_ih", "W_hh", "b_ih", "b_hh")]
    assert names == expected  # the optimizers see these and nothing the passes keep
    np.random.seed(5)
    for n in expected:
        assert_array_equal(getattr(lstm, n), np.random.uniform(-0.5, 0.5, getattr(lstm, n).shape))
    lstm.forward(np.ones((2, 1, 3)))
    lstm.backward(np.ones((2, 1, 8)))
    assert [n for _, n in parameters(lstm)] == expected
    assert not hasattr(GRU(2, 3, bias=False), "b_ih_l0")


def test_carrying_the_state_truncates_backpropagation():
    torch = pytest.importorskip("torch")
    gru, X = make("gru", 2, 3), np.random.default_rng(6).standard_normal((8, 2, 2))
    twin, h, th = torch_twin(gru, "gru", torch), None, None
    for chunk in np.split(X, 2):
        Y, h = gru.forward(chunk, h)
        xt = torch.tensor(chunk, requires_grad=True)
        Yt, th = twin(xt, None if th is None else th.detach())
        Yt.sum().backward()
        assert_allclose(gru.backward(np.ones(Y.shape)), xt.grad.numpy(), rtol=RTOL)
    assert_allclose(gru.dLdW_hh_l0, twin.weight_hh_l0.grad.numpy(), rtol=RTOL)


def test_unbatched_sequences_and_steps_match_a_batch_of_one():
    lstm, cell, X = make("lstm", 3, 4), GRUCell(3, 4), np.random.default_rng(7).standard_normal((5, 3))
    Y, (h, c) = lstm.forward(X)
    assert Y.shape == (5, 4) and h.shape == c.shape == (1, 4)
    dX = lstm.backward(np.ones(Y.shape))
    Y1, _ = lstm.forward(X[:, None])
    assert_allclose(Y, Y1[:, 0]) and assert_allclose(dX, lstm.backward(np.ones(Y1.shape))[:, 0])
    assert cell.forward(X[0]).shape == (4,) and cell.backward(np.ones(4))[0].shape == (3,)


@pytest.mark.parametrize("threads", [1, 2])
def test_batches_split_over_threads_give_the_same_numbers(threads):
    import quillet

    before = quillet.get_num_threads()
    layer, X = make("lstm", 9, 40), np.random.default_rng(8).standard_normal((6, 37, 9))
    quillet.set_num_threads(threads)
    try:
        Y, _ = layer.forward(X)
        dX = layer.backward(np.cos(Y))
    finally:
        quillet.set_num_threads(before)
    rY, _, _ = np_sequence(layer, "lstm", X, np.zeros((1, 37, 40)), np.zeros((1, 37, 40)))
    assert_allclose(Y, rY, rtol=RTOL, atol=1e-13)
    assert gradcheck(SequenceOnly(layer, None), X[:2, :3], max_elements=16) if threads == 2 else dX.shape == X.shape


@pytest.mark.parametrize("dtype", [np.float64, np.float32])
@pytest.mark.parametrize("kind", sorted(KINDS))
def test_input_projections_within_the_steps_or_at_once_agree_bit_for_bit(kind, dtype):
    # One thread makes each step's input projection beside the state's;
    # more threads than panels of batch rows make them all first.  Same sums.
    import quillet

    before = quillet.get_num_threads()
    X = np.random.default_rng(9).standard_normal((5, 16, 32)).astype(dtype)
    runs = []
    for threads in (1, 40):
        quillet.set_num_threads(threads)
        try:
            with quillet.default_dtype(dtype):
                layer = make(kind, 32, 64, bidirectional=True)
                Y, _ = layer.forward(X)
                runs.append((Y, layer.backward(np.cos(Y)), layer.dLdW_ih_l0_reverse))
        finally:
            quillet.set_num_threads(before)
    for a, b in zip(*runs):
        assert a.dtype == dtype and np.array_equal(a, b)


def test_a_cell_mid_loop_copies_and_pickles_with_its_stack():
    cell, x = LSTMCell(2, 3), np.ones((1, 2))
    cell.forward(x, cell.forward(x))
    for twin in (copy.deepcopy(cell), pickle.loads(pickle.dumps(cell))):
        assert len(twin.stack) == 2
        assert_array_equal(twin.backward(np.ones((1, 3)))[0], copy.deepcopy(cell).backward(np.ones((1, 3)))[0])


def test_embedding_adds_like_np_add_at_and_skips_the_padding_row():
    np.random.seed(9)
    emb, idx = Embedding(7, 3, padding_idx=-1), np.array([[0, 6, 2], [2, 2, 5]], dtype=np.int32)
    assert emb.padding_idx == 6 and not emb.W[6].any()
    Z = emb.forward(idx)
    assert_array_equal(Z, emb.W[idx])
    G = np.random.default_rng(9).standard_normal(Z.shape)
    emb.backward(G)
    emb.backward(G)  # adds
    expected = np.zeros((7, 3))
    np.add.at(expected, idx, 2 * G)
    expected[6] = 0
    assert_allclose(emb.dLdW, expected)
    assert emb.forward(np.zeros((0, 4), dtype=int)).shape == (0, 4, 3)


def raises(exc, match, fn, *args):
    with pytest.raises(exc, match=match):
        fn(*args)


@pytest.mark.parametrize("kind", sorted(KINDS))
def test_hostile_input_raises_clearly(kind):
    layer = make(kind, 3, 4, num_layers=2)
    raises(AttributeError, "backward was called before forward", layer.backward, np.ones((2, 1, 4)))
    raises(ValueError, r"\.forward: X must have 3 axes", layer.forward, np.ones((2, 1, 1, 3)))
    raises(ValueError, "X has 2 features, but the layer has input_size=3", layer.forward, np.ones((2, 1, 2)))
    raises(ValueError, "X has no time steps", layer.forward, np.ones((0, 1, 3)))
    raises(TypeError, "X", layer.forward, np.ones((2, 1, 3), dtype=complex))
    state = np.ones((1, 1, 4))  # one layer's worth, not two
    raises(ValueError, r"h0 must have shape \(2, 1, 4\)", layer.forward, np.ones((2, 1, 3)), (state, state))
    Y = layer.forward(np.ones((2, 1, 3))[:, :, ::-1])[0]  # a non-contiguous input is fine
    raises(ValueError, r"dLdY has shape \(2, 4\), but the last output Y had shape \(2, 1, 4\)", layer.backward, Y[:, 0])
    layer.hidden_size = 5
    raises(ValueError, "state kept by forward no longer fits the layer", layer.backward, Y)
    raises(ValueError, "nonlinearity must be 'tanh' or 'relu'", RNN, 2, 3, 1, "sigmoid")
    raises(ValueError, "hidden_size must be at least 1", KINDS[kind][0], 2, 0)


def test_hostile_cell_and_embedding_input_raises_clearly():
    cell = GRUCell(3, 4)
    raises(IndexError, "no step left to backpropagate", cell.backward, np.ones((2, 4)))
    cell.forward(np.ones((2, 3)))
    raises(ValueError, r"dLdh must have shape \(2, 4\)", cell.backward, np.ones((3, 4)))
    raises(ValueError, r"h must have shape \(2, 4\)", cell.forward, np.ones((2, 3)), np.ones((1, 4)))
    cell.backward(np.ones((2, 4)))
    raises(IndexError, "no step left", cell.backward, np.ones((2, 4)))  # one pop too many
    raises(TypeError, r"hc must be a tuple \(h, c\)", LSTMCell(3, 4).forward, np.ones((2, 3)), np.ones((2, 4)))
    emb = Embedding(5, 2)
    raises(IndexError, "index 5 is out of range for 5 embeddings", emb.forward, np.array([1, 5]))
    raises(IndexError, "index -1 is out of range", emb.forward, np.array([-1]))
    raises(TypeError, "indices must be an array of integers", emb.forward, np.array([1.0]))
    raises(AttributeError, "before forward", emb.backward, np.ones((1, 2)))
    emb.forward(np.array([1, 2]))
    raises(
        ValueError, r"dLdZ has shape \(2, 3\), but the last output had shape \(2, 2\)", emb.backward, np.ones((2, 3))
    )
