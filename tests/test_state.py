"""quillet.state: weights by dotted path, the .npz round trip, and every
refusal leaving the model exactly as it was."""

import os
import pickle
import zipfile

import numpy as np
import pytest

from conftest import make
from quillet.optim import parameters
from quillet.state import load, load_state_dict, save, state_dict


def snapshot(model):
    return [(id(getattr(o, n)), getattr(o, n).copy()) for o, n in parameters(model)]


def same(a, b):
    return len(a) == len(b) and all(i == j and np.array_equal(x, y) for (i, x), (j, y) in zip(a, b))


@pytest.fixture
def cnn(capsys):
    return make("CNN")


class Norm:
    """A layer with running statistics (buffers) beside its parameters."""

    def __init__(self, n):
        self.W, self.dLdW = np.ones(n), np.zeros(n)
        self.running_mean = np.arange(n, dtype=float)
        self.running_count = np.zeros(n, int)  # not floating: not a buffer


def test_names_are_dotted_paths_and_values_are_copies(cnn):
    sd = state_dict(cnn)
    assert list(sd) == [f"convolutional_layers.{i}.lintrel_stride1.{n}" for i in range(3) for n in "Wb"] + [
        "linear_layer.W",
        "linear_layer.b",
    ]
    sd["linear_layer.W"][...] = 99
    assert not (cnn.linear_layer.W == 99).any()
    assert list(state_dict([Norm(2)])) == ["0.W", "0.running_mean"]


def test_round_trip_through_a_file_keeps_references(cnn, tmp_path, capsys):
    path = tmp_path / "cnn.npz"
    save(cnn, path)
    assert os.listdir(tmp_path) == ["cnn.npz"]
    other = make("CNN")
    for o, n in parameters(other):
        getattr(o, n)[...] = 0
    held = other.convolutional_layers[0].lintrel_stride1.W
    other.linear_layer.b = other.linear_layer.b.astype(np.float32)  # not float64: replaced
    load(other, str(path))
    assert other.convolutional_layers[0].lintrel_stride1.W is held
    assert other.linear_layer.b.dtype == np.float64
    for (k, a), (_, b) in zip(state_dict(cnn).items(), state_dict(other).items()):
        np.testing.assert_array_equal(a, b, err_msg=k)
    with np.load(path, allow_pickle=False) as z:
        assert sorted(z.files) == sorted(state_dict(cnn))


def test_buffers_round_trip(tmp_path):
    from quillet.nn.batchnorm import BatchNorm2d
    from quillet.nn.sequential import Sequential

    a, b = Norm(3), Norm(3)
    a.running_mean[:] = [4, 5, 6]
    save(a, tmp_path / "n.npz")
    load(b, tmp_path / "n.npz")
    np.testing.assert_array_equal(b.running_mean, [4, 5, 6])
    net, other = Sequential(BatchNorm2d(2)), Sequential(BatchNorm2d(2))
    net.forward(np.random.default_rng(5).standard_normal((3, 2, 4, 4)))
    assert list(state_dict(net)) == [f"layers.0.{n}" for n in ("W", "b", "running_mean", "running_var")]
    load_state_dict(other, state_dict(net))
    np.testing.assert_array_equal(other.layers[0].running_var, net.layers[0].running_var)


def state_with(cnn, **changes):
    sd = state_dict(cnn)
    for k, v in changes.items():
        k = k.replace("__", ".")
        if v is None:
            del sd[k]
        else:
            sd[k] = v
    return sd


@pytest.mark.parametrize(
    "change, error, words",
    [
        (dict(linear_layer__W=np.zeros((3, 3))), ValueError, ["linear_layer.W", "shape (3, 3)"]),
        (dict(linear_layer__b=None), ValueError, ["missing", "linear_layer.b"]),
        (dict(extra__W=np.zeros(2)), ValueError, ["unexpected", "extra.W"]),
        (dict(linear_layer__b=np.zeros(3, complex)), TypeError, ["linear_layer.b", "complex"]),
        (dict(linear_layer__b=np.array(["1", "2", "3"])), TypeError, ["linear_layer.b"]),
        (dict(linear_layer__b=np.array([1.0, None, 2.0], dtype=object)), TypeError, ["linear_layer.b", "object"]),
    ],
)
def test_refusals_leave_the_model_unchanged(cnn, change, error, words):
    sd = state_with(cnn, **change)
    for k in sd:  # the valid entries differ from the model, so a partial load would show
        if np.asarray(sd[k]).dtype == np.float64:
            sd[k] = sd[k] + 1
    before = snapshot(cnn)
    with pytest.raises(error) as e:
        load_state_dict(cnn, sd)
    assert all(w in str(e.value) for w in words)
    assert same(before, snapshot(cnn))


def test_non_strict_loads_what_matches(cnn):
    sd = state_with(cnn, linear_layer__b=None, extra=np.zeros(1))
    sd["linear_layer.W"] = sd["linear_layer.W"] + 1
    missing, unexpected = load_state_dict(cnn, sd, strict=False)
    assert (missing, unexpected) == (["linear_layer.b"], ["extra"])
    np.testing.assert_array_equal(cnn.linear_layer.W, sd["linear_layer.W"])


def test_files_that_could_run_code_are_refused(cnn, tmp_path):
    before = snapshot(cnn)
    pickled = tmp_path / "pickled.npz"
    pickled.write_bytes(pickle.dumps(state_dict(cnn)))
    objects = tmp_path / "objects.npz"
    np.savez(objects, **state_with(cnn, linear_layer__b=np.array([1.0, 2.0, 3.0], dtype=object)))
    single = tmp_path / "single.npy"
    np.save(single, np.zeros(3))
    for path, word in ((pickled, "not an .npz archive"), (objects, "linear_layer.b"), (single, "single array")):
        with pytest.raises(ValueError, match=word):
            load(cnn, path)
    assert same(before, snapshot(cnn))
    with pytest.raises(FileNotFoundError):
        load(cnn, tmp_path / "absent.npz")


@pytest.mark.parametrize("stage", ["write_array", "replace"])
def test_an_interrupted_save_keeps_the_good_file(cnn, tmp_path, monkeypatch, stage):
    path = tmp_path / "model.npz"
    save(cnn, path)
    good = path.read_bytes()
    cnn.linear_layer.W = cnn.linear_layer.W + 1

    def fail(*args, **kwargs):
        raise KeyboardInterrupt

    monkeypatch.setattr(*((np.lib.format, "write_array") if stage == "write_array" else (os, "replace")), fail)
    with pytest.raises(KeyboardInterrupt):
        save(cnn, path)
    monkeypatch.undo()
    assert path.read_bytes() == good and os.listdir(tmp_path) == ["model.npz"]
    assert zipfile.is_zipfile(path)


def test_bad_arguments(cnn, tmp_path):
    with pytest.raises(TypeError, match="mapping"):
        load_state_dict(cnn, [("linear_layer.W", 1)])
    with pytest.raises(TypeError, match="str"):
        load_state_dict(cnn, {1: np.zeros(1)})
    with pytest.raises(TypeError):
        save(cnn, 3.5)
    with pytest.raises(FileNotFoundError, match="no_such_folder"):
        save(cnn, tmp_path / "no_such_folder" / "m.npz")
