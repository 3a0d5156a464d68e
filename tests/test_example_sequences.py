"""The sequence example: a GRU over the digits' rows learns in a few epochs,
reproducibly, and its script writes the report and the plot."""

import pytest

from conftest import example_extras, load_example


@pytest.fixture(scope="module")
def example():
    example_extras()
    return load_example("train_sequences.py")


def test_a_few_epochs_learn_and_repeat_exactly(example):
    data = example.load(0)
    _, first = example.train(3, 32, 3e-3, 0, data=data)
    _, again = example.train(3, 32, 3e-3, 0, data=data)
    assert first == again  # every random choice follows the seed
    assert first["loss"][-1] < first["loss"][0] < 2.4 and first["test"][-1] > 0.8


def test_the_script_reports_and_plots(example, tmp_path, capsys):
    example.main(["--epochs", "1", "--plot", str(tmp_path / "sub" / "curves.png")])
    out = capsys.readouterr().out
    assert "final test accuracy:" in out and (tmp_path / "sub" / "curves.png").stat().st_size > 0
