"""quillet.gradcheck: passes on every stock layer, catches a wrong backward,
and leaves the layer, its gradient arrays and numpy's generator as found."""

import re

import numpy as np
import pytest

from conftest import ZOO, make, owner
from quillet.gradcheck import GradcheckError, GradcheckWarning, gradcheck
from quillet.nn.activation import GELU, Identity, LeakyReLU, ReLU, Softmax
from quillet.nn.batchnorm import BatchNorm1d, BatchNorm2d
from quillet.nn.dropout import Dropout
from quillet.nn.linear import Linear
from quillet.nn.Lintrel import Lintrel
from quillet.nn.Plantrel import Plantrel
from quillet.nn.sequential import Sequential
from quillet.optim import parameters

# A check that proved nothing for some tensor warns: no legitimate check here may.
pytestmark = pytest.mark.filterwarnings("error::quillet.gradcheck.GradcheckWarning")

LAYERS = sorted(set(ZOO) - {"CrossEntropyLoss", "CNN"})  # those two take targets, not a gradient


@pytest.mark.parametrize("name", LAYERS)
def test_stock_layers_pass(name, capsys):
    layer = make(name)
    A = np.random.default_rng(0).standard_normal(ZOO[name].shape)  # no ties, no ReLU kinks
    assert gradcheck(layer, A) is True


@pytest.mark.parametrize("layer", [LeakyReLU(0.1), GELU(), Softmax(), Identity()], ids=repr)
def test_more_activations_pass(layer):
    assert gradcheck(layer, np.random.default_rng(0).standard_normal((3, 4, 2)))


@pytest.mark.parametrize("mode", ["train", "eval"])
@pytest.mark.parametrize(
    "make_layer, shape",
    [
        (lambda: BatchNorm1d(3), (5, 3)),
        (lambda: BatchNorm2d(2), (3, 2, 3, 4)),
        (lambda: Dropout(0.4), (4, 6)),
    ],
    ids=["BatchNorm1d", "BatchNorm2d", "Dropout"],
)
def test_layers_with_modes_pass_and_keep_one_forwards_state(make_layer, shape, mode):
    A = np.random.default_rng(6).standard_normal(shape)

    def prepared():
        np.random.seed(7)
        layer = make_layer()
        layer.forward(A + 1)  # running statistics away from their start
        getattr(layer, mode)()
        return layer

    layer = prepared()
    assert gradcheck(layer, A)
    after_check = np.random.rand()
    once = prepared()
    once.forward(A)
    assert np.random.rand() == after_check
    for name in ("running_mean", "running_var", "mask"):
        if hasattr(once, name):
            np.testing.assert_array_equal(getattr(layer, name), getattr(once, name))


class Scale:
    """y = A * W, with a backward that can be made wrong."""

    def __init__(self, n, wrong_w=1.0, wrong_a=1.0):
        self.W = np.linspace(0.5, 1.5, n)
        self.dLdW = np.zeros(n)
        self.wrong_w, self.wrong_a = wrong_w, wrong_a

    def forward(self, A):
        self.A = A
        return A * self.W

    def backward(self, dLdZ):
        self.dLdW = (dLdZ * self.A).sum(axis=0) * self.wrong_w
        return dLdZ * self.W * self.wrong_a


def test_python_layer_passes_and_a_wrong_backward_is_reported():
    A = np.random.default_rng(1).standard_normal((3, 4))
    assert gradcheck(Scale(4), A)
    with pytest.raises(GradcheckError) as e:
        gradcheck(Scale(4, wrong_w=1.01), A)
    assert isinstance(e.value, AssertionError)
    lines = str(e.value).splitlines()
    assert lines[0].startswith("1 of 2 gradients disagree")
    assert lines[1].split() == ["gradient", "worst", "at", "checked", "analytic", "numeric", "rel.", "error"]
    assert lines[2].split()[0] == "input" and lines[2].endswith("ok")
    row = lines[3].split()
    assert row[0] == "W" and row[-1] == "FAIL" and row[2] == "4/4"
    assert float(row[5]) == pytest.approx(0.01 / 1.01, rel=1e-3)  # the relative error
    assert gradcheck(Scale(4, wrong_a=-1.0), A, raise_exception=False) is False


def test_tolerances_decide():
    A = np.random.default_rng(1).standard_normal((3, 4))
    assert gradcheck(Scale(4, wrong_w=1.0001), A)  # within rtol=1e-3
    assert not gradcheck(Scale(4, wrong_w=1.0001), A, rtol=1e-5, atol=0, raise_exception=False)


def test_large_tensors_are_sampled():
    layer = Scale(50, wrong_w=2.0)
    with pytest.raises(GradcheckError) as e:
        gradcheck(layer, np.random.default_rng(2).standard_normal((40, 50)), max_elements=7)
    rows = {line.split()[0]: line for line in str(e.value).splitlines()[2:]}
    assert " 7/2000 " in rows["input"] and " 7/50 " in rows["W"]


@pytest.mark.parametrize(
    "make_layer, shape",
    [
        (lambda: Lintrel(2, 3, 3, 2, 1), (2, 2, 7)),  # replaces its gradients
        (lambda: Plantrel(2, 3, 3, 2, 1), (2, 2, 5, 6)),  # adds to them
        (lambda: Sequential(Plantrel(2, 2, 2, 1), make("ReLU")), (2, 2, 4, 4)),
    ],
)
def test_layer_is_left_as_found(make_layer, shape):
    np.random.seed(0)
    layer, A = make_layer(), np.random.default_rng(3).standard_normal(shape)
    params = [(o, n, getattr(o, n), getattr(o, n).copy()) for o, n in parameters(layer)]
    grads = []
    for o, n in parameters(layer):
        g = getattr(o, "dLd" + n)
        g[...] = 7.0
        grads.append((o, n, g))
    assert gradcheck(layer, A)
    for o, n, p, values in params:
        assert getattr(o, n) is p and np.array_equal(p, values)
    for o, n, g in grads:
        assert getattr(o, "dLd" + n) is g and (g == 7.0).all()
    np.random.seed(0)
    fresh = make_layer()
    Z = fresh.forward(A)
    np.testing.assert_array_equal(layer.forward(A), Z)  # and its forward state is a plain forward's:
    inner = lambda l: l.layers[0] if isinstance(l, Sequential) else l
    np.testing.assert_array_equal(owner(inner(layer)).A, owner(inner(fresh)).A)


def test_parameters_that_are_not_writeable_float64_are_restored():
    layer = Scale(3)
    frozen = np.lib.stride_tricks.as_strided(np.array([0.5, 1.0, 2.0], np.float32), writeable=False)
    layer.W = frozen
    assert gradcheck(layer, np.random.default_rng(4).standard_normal((2, 3)))
    assert layer.W is frozen


class MaskFromGlobalDraws:
    """Written in Python: draws its mask from numpy's global generator on every forward."""

    def __init__(self):
        self.W = np.ones(5)
        self.dLdW = np.zeros(5)

    def forward(self, A):
        self.mask = np.random.rand(*A.shape) > 0.5
        self.A = A
        return A * self.W * self.mask

    def backward(self, dLdZ):
        self.dLdW = (dLdZ * self.A * self.mask).sum(axis=0)
        return dLdZ * self.W * self.mask


def test_global_generator_draws_repeat_and_end_as_after_one_forward():
    A = np.random.default_rng(5).standard_normal((4, 5))
    np.random.seed(42)
    layer = MaskFromGlobalDraws()
    assert gradcheck(layer, A)
    after_check = np.random.rand()
    np.random.seed(42)
    once = MaskFromGlobalDraws()
    once.forward(A)
    assert np.random.rand() == after_check
    np.testing.assert_array_equal(layer.mask, once.mask)


class DrawsWhenMoved:
    """Draws a shift from numpy's generator only once W[0] has moved: the first
    forward leaves the generator alone, the perturbed ones need it rewound."""

    def __init__(self):
        self.W = np.array([1.0, 2.0])
        self.dLdW = np.zeros(2)

    def forward(self, A):
        self.A = A
        return A * self.W + (np.random.rand() if self.W[0] != 1.0 else 0.0)

    def backward(self, dLdZ):
        self.dLdW = (dLdZ * self.A).sum(axis=0)
        return dLdZ * self.W


def test_a_layer_drawing_only_at_perturbed_points_is_rewound():
    state = np.random.get_state()
    assert gradcheck(DrawsWhenMoved(), np.random.default_rng(5).standard_normal((3, 2)))
    assert np.array_equal(np.random.get_state()[1], state[1])  # one forward at A draws nothing


def test_an_error_in_the_layer_restores_everything():
    class Fragile(Scale):
        calls = 0

        def forward(self, A):
            Fragile.calls += 1
            if Fragile.calls == 4:
                raise RuntimeError("boom")
            return super().forward(A)

    layer = Fragile(3)
    W, g = layer.W, layer.dLdW
    W_values = W.copy()
    state = np.random.get_state()
    with pytest.raises(RuntimeError, match="boom"):
        gradcheck(layer, np.ones((2, 3)))
    assert layer.W is W and np.array_equal(W, W_values) and layer.dLdW is g
    assert np.array_equal(np.random.get_state()[1], state[1])


@pytest.mark.parametrize(
    "kwargs, error, word",
    [
        (dict(A=np.ones((2, 3), int)), TypeError, "floating"),
        (dict(A=[[1.0, 2.0, 3.0]]), TypeError, "floating"),
        (dict(eps=0.0), ValueError, "eps"),
        (dict(eps=float("inf")), ValueError, "eps"),
        (dict(atol=-1e-3), ValueError, "atol"),
        (dict(rtol="big"), TypeError, "rtol"),
        (dict(max_elements=0), ValueError, "max_elements"),
        (dict(max_elements=2.5), TypeError, "max_elements"),
        (dict(layer=np.zeros(3)), TypeError, "forward"),
    ],
)
def test_arguments_are_validated(kwargs, error, word):
    args = {"layer": Scale(3), "A": np.ones((2, 3)), **kwargs}
    with pytest.raises(error, match=word):
        gradcheck(args.pop("layer"), args.pop("A"), **args)


@pytest.mark.parametrize("wrong", [False, True])
def test_gradients_made_by_backward_are_checked_and_removed(wrong):
    class Late:  # dLdW exists only after a backward
        def __init__(self):
            self.W = np.array([1.5, -2.0])

        def forward(self, A):
            self.A = A
            return A * self.W

        def backward(self, dLdZ):
            self.dLdW = (dLdZ * self.A).sum(axis=0) * (2.0 if wrong else 1.0)
            return dLdZ * self.W

    layer = Late()
    assert gradcheck(layer, np.random.default_rng(1).standard_normal((3, 2)), raise_exception=False) is not wrong
    assert not hasattr(layer, "dLdW") and layer.W.tolist() == [1.5, -2.0]


class OneWrong(Scale):
    """Scale whose W gradient (or input gradient) is off at one element only."""

    def __init__(self, n, where, at):
        super().__init__(n)
        self.where, self.at = where, at

    def backward(self, dLdZ):
        dLdA = super().backward(dLdZ)
        wrong = self.dLdW if self.where == "W" else dLdA.reshape(-1)
        wrong[self.at] += 1.0
        return dLdA


@pytest.mark.parametrize("where, at", [("W", 0), ("W", 2049), ("input", 4095)])
def test_one_wrong_element_of_4096_is_caught_by_default(where, at):
    A = np.random.default_rng(8).standard_normal((1, 4096))
    with pytest.raises(GradcheckError) as e:
        gradcheck(OneWrong(4096, where, at), A)
    row = next(line for line in str(e.value).splitlines() if line.endswith("FAIL"))
    index = f"({at},)" if where == "W" else f"(0, {at})"
    assert row.split()[0] == where and f" {index}  4096/4096 " in row
    assert "sample" not in str(e.value)  # nothing was left out


class Touched(Scale):
    """Scale that records which elements of W the differences perturbed."""

    def __init__(self, n):
        super().__init__(n)
        self.base, self.touched = self.W.copy(), set()

    def forward(self, A):
        self.touched.update(np.flatnonzero(self.W != self.base).tolist())
        return super().forward(A)


def sampled(seed, max_elements=40):
    layer = Touched(1000)
    assert gradcheck(layer, np.ones((1, 1000)), max_elements=max_elements, seed=seed)
    return layer.touched


def test_samples_differ_between_calls_unless_seeded():
    first, second = sampled(None), sampled(None)
    assert len(first) == len(second) == 40 and first != second
    assert sampled(3) == sampled(3) != sampled(4)
    assert sampled(None, max_elements=1000) == set(range(1000))


def test_a_failure_in_a_sample_names_the_seed_that_repeats_it():
    A = np.random.default_rng(9).standard_normal((2, 500))
    with pytest.raises(GradcheckError) as e:
        gradcheck(Scale(500, wrong_w=2.0), A, max_elements=30)
    message = str(e.value)
    assert "input, W: a random sample" in message and "max_elements=None checks every element" in message
    seed = int(re.search(r"seed=(\d+) repeats it", message).group(1))
    with pytest.raises(GradcheckError) as again:
        gradcheck(Scale(500, wrong_w=2.0), A, max_elements=30, seed=seed)
    assert str(again.value) == message


class WrongSquare:
    """Z = A * A, with a backward off by half: invisible where A is zero."""

    def forward(self, A):
        self.A = A
        return A * A

    def backward(self, dLdZ):
        return 3 * self.A * dLdZ


def behind_zero_weights():
    return Sequential(Linear(4, 3), WrongSquare())  # Linear's default weights and bias are zeros


def test_a_wrong_backward_behind_zero_weights_warns_and_fails_when_strict():
    A = np.random.default_rng(10).standard_normal((2, 4))
    with pytest.warns(GradcheckWarning, match=r"nothing was exercised for input, layers\.0\.W, layers\.0\.b"):
        assert gradcheck(behind_zero_weights(), A)
    with pytest.raises(GradcheckError) as e:
        gradcheck(behind_zero_weights(), A, strict=True)
    lines = str(e.value).splitlines()
    assert lines[0].startswith("3 of 3 gradients were never exercised")
    assert [line.split()[-1] for line in lines[2:5]] == ["ZERO"] * 3
    assert gradcheck(behind_zero_weights(), A, strict=True, raise_exception=False) is False
    # Only what was never exercised is named: the second layer sees only zeros.
    net = Sequential(Linear(4, 3), Linear(3, 2, lambda o, i: np.linspace(-1, 1, o * i).reshape(o, i)))
    with pytest.warns(GradcheckWarning) as record:
        gradcheck(net, A)
    assert "nothing was exercised for input, layers.1.W: " in str(record[0].message)


@pytest.mark.parametrize(
    "layer, A",
    [
        (ReLU(), np.array([[-1.0, 0.5], [2.0, -3.0]])),  # dead on half its inputs
        (Scale(3), np.array([[0.0, 1.0, 2.0], [0.0, -1.0, 0.5]])),  # dLdW[0] is 0: its input column is
    ],
    ids=["ReLU", "Scale"],
)
def test_gradients_zero_in_a_few_elements_pass_without_a_warning(layer, A):
    assert gradcheck(layer, A, strict=True)  # and the module's filter turns any warning into an error


class Late(Scale):
    """Scale without dLdW until its first backward."""

    def __init__(self, n):
        super().__init__(n)
        del self.dLdW


def tied(kind, wrong):
    """Two layers sharing one W, the second's gradient wrong if asked."""
    if kind == "Linear":

        class Off(Linear):
            def backward(self, dLdZ):
                dLdA = super().backward(dLdZ)
                self.dLdW = self.dLdW * (1.01 if wrong else 1.0)
                return dLdA

        rng = np.random.default_rng(11)
        first, second = Linear(4, 4, lambda o, i: rng.standard_normal((o, i))), Off(4, 4)
    else:
        first, second = Scale(4), (Late(4) if kind == "late gradient" else Scale(4))
        second.wrong_w = 1.01 if wrong else 1.0
        if kind == "float32":
            first.W = np.linspace(0.5, 1.5, 4, dtype=np.float32)
    second.W = first.W
    return Sequential(first, second)


KINDS = ["Python", "Linear", "float32", "late gradient"]


@pytest.mark.parametrize("kind", KINDS)
def test_tied_weights_pass_when_right_and_fail_when_wrong(kind):
    A = np.random.default_rng(12).standard_normal((3, 4))
    assert gradcheck(tied(kind, wrong=False), A)
    with pytest.raises(GradcheckError) as e:
        gradcheck(tied(kind, wrong=True), A)
    lines = str(e.value).splitlines()
    rows = {line.split()[0]: line.split()[-1] for line in lines[2:-1]}  # one row for the tied W, under its first path
    assert rows == {
        "input": "ok",
        "layers.0.W": "FAIL",
        **({"layers.0.b": "ok", "layers.1.b": "ok"} if kind == "Linear" else {}),
    }
    assert lines[-1] == "layers.0.W is also held at layers.1.W: its gradient is the sum of theirs"


@pytest.mark.parametrize("outcome", ["pass", "fail", "raise"])
@pytest.mark.parametrize("kind", KINDS)
def test_tied_layers_are_left_as_found(kind, outcome):
    net = tied(kind, wrong=outcome == "fail")
    first, second = net.layers
    W, values = first.W, first.W.copy()
    grads = {}
    for layer, fill in ((first, 7.0), (second, 9.0)):
        if kind != "late gradient" or layer is first:
            layer.dLdW = np.full(W.shape, fill)
            grads[layer] = layer.dLdW
    if outcome == "raise":
        calls = []

        def fragile(A, forward=second.forward):
            calls.append(1)
            if len(calls) == 4:
                raise RuntimeError("boom")
            return forward(A)

        second.forward = fragile
    A = np.random.default_rng(13).standard_normal((3, 4))
    if outcome == "raise":
        with pytest.raises(RuntimeError, match="boom"):
            gradcheck(net, A)
    else:
        assert gradcheck(net, A, raise_exception=False) is (outcome == "pass")
    assert first.W is W and second.W is W and np.array_equal(W, values) and W.dtype == values.dtype
    for layer, g in grads.items():
        assert layer.dLdW is g and (g == (7.0 if layer is first else 9.0)).all()
    assert kind != "late gradient" or not hasattr(second, "dLdW")


@pytest.mark.parametrize(
    "kwargs, error, word",
    [
        (dict(seed=-1), ValueError, "seed"),
        (dict(seed=2**64), ValueError, "seed"),
        (dict(seed=1.5), TypeError, "seed"),
        (dict(seed=True), TypeError, "seed"),
        (dict(max_elements=-5), ValueError, "max_elements"),
    ],
)
def test_seed_and_max_elements_are_validated(kwargs, error, word):
    with pytest.raises(error, match=word):
        gradcheck(Scale(3), np.ones((2, 3)), **kwargs)
