"""The README's code must run as written."""
import contextlib
import io
import pathlib
import re

README = pathlib.Path(__file__).resolve().parents[1] / "README.md"


def test_readme_tour_runs():
    blocks = re.findall(r"```python\n(.*?)```", README.read_text(), re.S)
    assert blocks
    namespace = {}
    with contextlib.redirect_stdout(io.StringIO()) as out:
        exec(compile("\n".join(blocks), str(README), "exec"), namespace)
    assert out.getvalue().split() == ["124", "60", "30"]  # the CNN prints its layer widths
    assert namespace["Z"].shape == (16, 8, 50) and namespace["v"].shape == (4, 4096)


def test_readme_has_the_two_commands():
    commands = re.findall(r"```sh\n(.*?)\n```", README.read_text(), re.S)
    assert commands[:2] == ['pip install ".[examples]" && python examples/train_digits.py',
                            'pip install ".[test]" && python -m pytest']
