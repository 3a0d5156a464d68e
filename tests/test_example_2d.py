"""The two-dimensional digits example: its flags are refused before any work,
and (with the example's extras installed) it trains, saves and reloads."""

import pathlib
import re
import runpy
import types

import pytest

EXAMPLE = pathlib.Path(__file__).resolve().parents[1] / "examples" / "train_digits_2d.py"


@pytest.fixture(scope="module")
def example():
    return types.SimpleNamespace(**runpy.run_path(str(EXAMPLE), run_name="train_digits_2d"))


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
    ],
    ids=lambda v: " ".join(v) if isinstance(v, list) else None,
)
def test_bad_flags_are_refused_before_any_work(example, workdir, capsys, argv, message):
    with pytest.raises(SystemExit) as stop:
        example.main(argv)
    assert stop.value.code == 2 and "error: argument " + message.format(tmp=workdir) in capsys.readouterr().err
    assert [p.name for p in workdir.iterdir()] == ["notes.txt"]


def test_checks_trains_saves_and_reloads(example, workdir, capsys):
    for name in ("sklearn", "matplotlib", "tqdm"):
        pytest.importorskip(name, reason='the example\'s dependencies: pip install ".[examples]"')
    example.main(["--epochs", "1", "--check", "--weights", "w/net.npz", "--plot", "w/curves.png"])
    out = capsys.readouterr().out
    assert "gradient check passed" in out
    assert re.search(r"^final test accuracy: \d+\.\d% \(450 held-out images", out, re.M)
    assert sorted(p.name for p in (workdir / "w").iterdir()) == ["curves.png", "net.npz"]
