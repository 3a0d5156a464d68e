"""The README's code, the user guide's and the layer tutorial's must run as
written, and the README's first command must keep its promises."""

import ast
import contextlib
import io
import math
import pathlib
import re
import tokenize

import pytest

from conftest import example_extras, load_example, refusal

ROOT = pathlib.Path(__file__).resolve().parents[1]
README = ROOT / "README.md"
USER_GUIDE = ROOT / "docs" / "user-guide.md"
LAYER_TUTORIAL = ROOT / "docs" / "tutorials" / "layer-gradient.md"

_NOTHING = object()


def _literal(comment):
    try:
        return ast.literal_eval(comment)
    except (ValueError, SyntaxError, TypeError, MemoryError, RecursionError):
        return _NOTHING


def run_python_blocks(path):
    """Run a Markdown file's Python blocks in one namespace, capturing what they print.

    A top-level statement whose last line ends in a comment that is a Python
    literal -- ``conv.A is A  # True``, ``Z = conv.forward(A)  # (16, 8, 50)``
    -- must give that value: an expression's value, or the assigned value,
    compared by shape when it has one.  Prose comments are left alone.
    Returns the namespace, the printed text and the number of values checked.
    """
    text = path.read_text()
    namespace, checked = {}, 0
    with contextlib.redirect_stdout(io.StringIO()) as out:
        for match in re.finditer(r"```python\n(.*?)```", text, re.S):
            block, first_line = match.group(1), text.count("\n", 0, match.start(1))
            comments = {
                tok.start[0]: tok.string[1:].strip()
                for tok in tokenize.generate_tokens(io.StringIO(block).readline)
                if tok.type == tokenize.COMMENT
            }
            for node in ast.parse(block).body:
                expected = _literal(comments.get(node.end_lineno, ""))
                where = f"{path.name} line {first_line + node.end_lineno}"
                ast.increment_lineno(node, first_line)
                value = _NOTHING
                if isinstance(node, ast.Expr):
                    value = eval(compile(ast.Expression(node.value), str(path), "eval"), namespace)
                else:
                    exec(compile(ast.Module([node], []), str(path), "exec"), namespace)
                    if isinstance(node, ast.Assign) and [type(t) for t in node.targets] == [ast.Name]:
                        value = namespace[node.targets[0].id]
                if expected is not _NOTHING and value is not _NOTHING:
                    assert getattr(value, "shape", value) == expected, where
                    checked += 1
    return namespace, out.getvalue(), checked


def shown_output(path):
    """What a Markdown file shows its Python blocks printing: its ```text blocks, in order."""
    return "".join(re.findall(r"```text\n(.*?)```", path.read_text(), re.S))


def _number(token):
    try:
        return float(token)
    except ValueError:
        return None


def assert_same_output(printed, shown):
    """Line by line and word by word the same, numbers within the digits shown;
    numbers below 1e-6 (rounding noise, as a gradient check's relative error
    where it agrees) need only both be that small."""
    assert len(printed.splitlines()) == len(shown.splitlines()), printed
    for got_line, want_line in zip(printed.splitlines(), shown.splitlines()):
        got, want = got_line.split(), want_line.split()
        assert len(got) == len(want), (got_line, want_line)
        for g, w in zip(got, want):
            x, y = _number(g), _number(w)
            if x is None or y is None:
                assert g == w, (got_line, want_line)
            elif abs(y) < 1e-6:
                assert abs(x) < 1e-6, (got_line, want_line)
            else:
                assert x == pytest.approx(y, rel=1e-4), (got_line, want_line)


def test_readme_tour_runs():
    namespace, printed, checked = run_python_blocks(README)
    assert checked >= 5
    assert printed.split() == ["124", "60", "30"]  # the CNN prints its layer widths
    assert namespace["Z"].shape == (16, 8, 50) and namespace["v"].shape == (4, 4096)
    # The training loop trains: it starts from a uniform softmax (the linear
    # layer starts at zero), never climbs, and ends far lower.
    losses = [float(x) for x in namespace["losses"]]
    assert len(losses) == 100 and all(math.isfinite(x) for x in losses)
    assert losses[0] == pytest.approx(math.log(10))
    assert all(later <= earlier for earlier, later in zip(losses, losses[1:]))
    assert losses[-1] < 0.5


def test_user_guide_code_runs_and_shows_true_values():
    namespace, printed, checked = run_python_blocks(USER_GUIDE)
    assert checked >= 10
    assert printed == "Lintrel.forward: W has shape (8, 3, 4), but the layer needs (8, 3, 5)\n"
    assert float(namespace["loss"]) < 0.15  # the small network's training loop trains


def test_layer_tutorial_runs_and_prints_what_it_shows():
    ns, printed, checked = run_python_blocks(LAYER_TUTORIAL)
    assert checked >= 9
    assert_same_output(printed, shown_output(LAYER_TUTORIAL))
    # The text reads the bugs off the failure table: the weight gradient is
    # the mean over 2 * 5 * 5 = 50 elements, the input's lacks the factor W of
    # the worst element's channel.
    rows = {line.split()[0]: line for line in printed.splitlines() if line.endswith(("FAIL", " ok"))}
    analytic, numeric = (float(v) for v in rows["W"].split()[-4:-2])
    assert numeric / analytic == pytest.approx(50, rel=1e-6)
    index = ast.literal_eval(re.search(r"\(.*?\)", rows["input"]).group())
    analytic, numeric = (float(v) for v in rows["input"].split()[-4:-2])
    assert numeric / analytic == pytest.approx(ns["scale"].W[index[1]], rel=1e-4)
    # Training: from ln 2 to nearly zero, nearly every held-out image right,
    # and the Python layer's own weights learnt.
    losses = ns["losses"]
    assert losses[0] == pytest.approx(math.log(2), abs=0.01) and losses[-1] < 0.005
    assert ns["accuracy"] >= 0.98
    learnt = ns["net"].layers[1]
    assert abs(learnt.W - 1).min() > 0.1 and abs(learnt.b).max() > 0.05


def test_readme_has_the_two_commands():
    commands = re.findall(r"```sh\n(.*?)\n```", README.read_text(), re.S)
    assert commands[:2] == [
        'pip install ".[examples]" && python examples/train_digits.py',
        'pip install ".[test]" && python -m pytest',
    ]


# The digits example.  Its flags are checked before anything is imported or
# loaded, so these run without the example's own dependencies.


@pytest.fixture(scope="module")
def example():
    return load_example("train_digits.py")


@pytest.fixture
def workdir(tmp_path, monkeypatch):
    (tmp_path / "notes.txt").write_text("a file, not a folder")
    (tmp_path / "figures.png").mkdir()
    monkeypatch.chdir(tmp_path)
    return tmp_path


@pytest.mark.parametrize(
    "argv, message",
    [
        (["--epochs", "0"], "--epochs: must be at least 1, got 0"),
        (["--epochs", "2.5"], "--epochs: expected a whole number"),
        (["--batch-size", "0"], "--batch-size: must be at least 1"),
        (["--batch-size", "-32"], "--batch-size: must be at least 1"),
        (["--lr", "0"], "--lr: must be a positive finite number"),
        (["--lr", "-0.1"], "--lr: must be a positive finite number"),
        (["--lr", "nan"], "--lr: must be a positive finite number"),
        (["--lr", "1e400"], "--lr: must be a positive finite number"),
        (["--lr", "fast"], "--lr: expected a number"),
        (["--seed", "-1"], "--seed: must be between 0 and 2**32 - 1"),
        (["--seed", str(2**32)], "--seed: must be between 0 and 2**32 - 1"),
        (["--plot", ""], "--plot: expected a file name"),
        (["--plot", "curves"], "--plot: 'curves' does not end in one of .png"),
        (["--plot", "curves.txt"], "--plot: 'curves.txt' does not end in one of .png"),
        (["--plot", "figures.png"], "--plot: 'figures.png' is a folder"),
        (["--plot", "notes.txt/curves.png"], "--plot: {tmp}/notes.txt is a file, not a folder"),
        (
            ["--plot", "notes.txt/deeper/curves.png"],
            "--plot: cannot create the folder {tmp}/notes.txt/deeper: {tmp}/notes.txt is a file",
        ),
    ],
    ids=lambda v: " ".join(v) if isinstance(v, list) else None,
)
def test_example_refuses_bad_flags_before_any_work(example, workdir, capsys, argv, message):
    assert "error: argument " + message.format(tmp=workdir) in refusal(example, argv, capsys)
    assert sorted(p.name for p in workdir.iterdir()) == ["figures.png", "notes.txt"]


def test_example_accepts_a_plot_in_folders_yet_to_be_made(example, workdir):
    args = example.parse_args(["--plot", "new/sub/curves.svg", "--epochs", "3"])
    assert (args.plot, args.epochs) == ("new/sub/curves.svg", 3)
    assert not (workdir / "new").exists()  # made when the plot is written, not when the flags are read


def test_example_runs_end_to_end(example, workdir, capsys):
    example_extras()
    example.main(["--epochs", "2", "--plot", "out/nested/curves.png"])
    out, err = capsys.readouterr()
    assert (workdir / "out" / "nested" / "curves.png").stat().st_size > 0
    epochs = re.findall(r"^epoch +(\d+): loss \S+  train accuracy \S+  test accuracy \S+$", out, re.M)
    assert epochs == ["1", "2"] and "final test accuracy" in out
    assert "2/2" in err.split("\r")[-1]  # one bar over the epochs, left at its end


def test_example_is_deterministic(example):
    example_extras()
    data = example.load(0)
    runs = [example.train(epochs=2, batch_size=32, lr=0.02, seed=seed, data=data)[1] for seed in (0, 0, 1)]
    assert runs[0] == runs[1] and runs[0]["loss"] != runs[2]["loss"]


def test_example_defaults_learn_smoothly_to_97_percent(example):
    example_extras()
    args = example.parse_args([])
    _, history = example.train(args.epochs, args.batch_size, args.lr, args.seed)
    test, loss = history["test"], history["loss"]
    assert test[-1] >= 0.97
    # No collapse on the way: after the first epochs the test accuracy never
    # falls more than three points below its best so far, nor the loss rises.
    best = [max(test[: i + 1]) for i in range(len(test))]
    assert all(b - t <= 0.03 for b, t in zip(best[2:], test[2:]))
    assert all(later <= earlier + 0.01 for earlier, later in zip(loss, loss[1:]))


def test_coming_from_pytorch_page_runs_and_shows_true_values():
    namespace, _, checked = run_python_blocks(ROOT / "docs" / "coming-from-pytorch.md")
    assert checked >= 2 and float(namespace["loss"]) < 1.0
