"""The two-dimensional digits example refuses bad flags before doing any work."""
import os
import pathlib
import subprocess
import sys

import pytest

SCRIPT = pathlib.Path(__file__).resolve().parents[1] / "examples" / "train_digits_2d.py"


def run(*args, cwd):
    return subprocess.run([sys.executable, str(SCRIPT), *args], cwd=cwd, capture_output=True, text=True, timeout=120)


@pytest.mark.parametrize("flag", ["--epochs=0", "--lr=nan"])
def test_bad_flags_are_refused_up_front(flag, tmp_path):
    done = run(flag, cwd=tmp_path)
    assert done.returncode == 2 and flag.split("=")[0] in done.stderr and not os.listdir(tmp_path)
