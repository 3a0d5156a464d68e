"""The two-dimensional digits example: its flags are refused before any work,
and (with the example's extras installed) it trains, saves and reloads, with
batch normalisation and dropout too."""

import re
import subprocess
import sys

import numpy as np
import pytest

from conftest import EXAMPLES, example_extras, load_example, refusal


@pytest.fixture(scope="module")
def example():
    return load_example("train_digits_2d.py")


@pytest.fixture
def workdir(tmp_path, monkeypatch):
    (tmp_path / "notes.txt").write_text("a file, not a folder")
    monkeypatch.chdir(tmp_path)
    return tmp_path


@pytest.mark.parametrize(
    "argv, message",
    [
        (["--epochs", "0"], "--epochs: must be at least 1, got 0"),
        (["--lr", "nan"], "--lr: must be a positive finite number"),
        (["--weights", "net.pickle"], "--weights: 'net.pickle' does not end in one of .npz"),
        (["--weights", "notes.txt/net.npz"], "--weights: {tmp}/notes.txt is a file, not a folder"),
        (["--batchnorm", "--dropout", "1"], "--dropout: must be at least 0 and less than 1, got 1"),
        (["--dropout", "-0.1"], "--dropout: must be at least 0 and less than 1, got -0.1"),
        (["--dropout", "nan"], "--dropout: must be at least 0 and less than 1, got nan"),
        (["--dropout", "half"], "--dropout: expected a number, got 'half'"),
        (["--batchnorm", "yes"], "unrecognized arguments: yes"),
        (["--dtype", "float16"], "--dtype: invalid choice: 'float16' (choose from"),
    ],
    ids=lambda v: " ".join(v) if isinstance(v, list) else None,
)
def test_bad_flags_are_refused_before_any_work(example, workdir, capsys, argv, message):
    err = refusal(example, argv, capsys)
    assert ("error: " if message.startswith("unrecognized") else "error: argument ") + message.format(
        tmp=workdir
    ) in err
    assert [p.name for p in workdir.iterdir()] == ["notes.txt"]


@pytest.mark.parametrize("text, p", [("0", 0.0), ("0.999", 0.999)])
def test_dropout_accepts_zero_and_just_below_one(example, text, p):
    assert example.parse_args(["--dropout", text]).dropout == p


@pytest.mark.parametrize("script", ["train_digits.py", "train_digits_2d.py"])
def test_examples_run_from_any_folder(tmp_path, script):
    # Both find the helpers they share beside them, wherever they are run from.
    run = subprocess.run(
        [sys.executable, str(EXAMPLES / script), "--epochs", "0"], cwd=tmp_path, capture_output=True, text=True
    )
    assert run.returncode == 2 and "--epochs: must be at least 1, got 0" in run.stderr, run.stderr


def test_checks_trains_saves_and_reloads(example, workdir, capsys):
    example_extras()
    example.main(["--epochs", "1", "--check", "--weights", "w/net.npz", "--plot", "w/curves.png"])
    out = capsys.readouterr().out
    assert "gradient check passed" in out
    assert re.search(r"^final test accuracy: \d+\.\d% \(450 held-out images", out, re.M)
    assert sorted(p.name for p in (workdir / "w").iterdir()) == ["curves.png", "net.npz"]


def test_batchnorm_and_dropout_train_in_training_mode_and_measure_in_evaluation_mode(
    example, workdir, capsys, monkeypatch
):
    example_extras()
    # Every network the example builds ends in a layer that records, at each
    # forward, the modes of the network's layers and what it outputs.
    calls = []

    def build_and_spy(*args, **kwargs):
        net = build(*args, **kwargs)

        class Spy:
            def forward(self, A):
                modes = {layer.train_mode for layer in net.layers if hasattr(layer, "train_mode")}
                calls.append((net, len(A), modes, np.array(A)))
                return A

            def backward(self, dLdZ):
                return dLdZ

        net.layers.append(Spy())
        return net

    build = example.build_network
    monkeypatch.setattr(example, "build_network", build_and_spy)
    example.main(["--epochs", "2", "--batchnorm", "--dropout", "0.3", "--weights", "w/net.npz", "--plot", "w/c.png"])
    out = capsys.readouterr().out
    assert re.search(r"^final test accuracy: \d+\.\d% \(450 held-out images", out, re.M)

    trained = calls[0][0]
    assert [layer.p for layer in trained.layers if type(layer).__name__ == "Dropout"] == [0.3]
    # Training batches with every BatchNorm and Dropout in training mode...
    training = [size for net, size, modes, _ in calls if modes == {True}]
    assert all(net is trained for net, _, modes, _ in calls if modes == {True})
    assert sum(training) == 2 * 1347 and max(training) == 32
    # ...and each accuracy in evaluation mode: the training and test sets after
    # each epoch, then the test set through a fresh network loaded from the file.
    measuring = [(net, size) for net, size, modes, _ in calls if modes != {True}]
    assert [modes for _, _, modes, _ in calls if modes != {True}] == [{False}] * 5
    fresh = measuring[-1][0]
    assert fresh is not trained
    assert measuring == [(trained, 1347), (trained, 450)] * 2 + [(fresh, 450)]
    # The file keeps the running statistics: the loaded network gives exactly
    # the trained one's outputs.
    assert sum(name.endswith("running_mean") for name in np.load(workdir / "w" / "net.npz").files) == 2
    np.testing.assert_array_equal(calls[-1][3], calls[-2][3])


def test_training_is_deterministic_and_unchanged_by_the_check(example, capsys):
    example_extras()
    data = example.load(0)

    def run(seed, global_seed, check_first=False):
        np.random.seed(global_seed)  # dropout draws from numpy's global generator
        _, history = example.train(1, 32, 3e-3, seed, data, check_first=check_first, batchnorm=True, dropout=0.3)
        return history

    first = run(0, 1)
    assert np.random.random() == np.random.RandomState(1).random()  # the global generator is left as found
    assert run(0, 2, check_first=True) == first
    assert "gradient check passed" in capsys.readouterr().out
    assert run(1, 1)["loss"] != first["loss"]
