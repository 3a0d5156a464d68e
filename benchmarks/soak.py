"""Soak run: a CNN trained for many steps on random data, with the resident memory
printed every few steps.  A leak shows as a column that keeps climbing after the
first report; a healthy run levels off within a few hundred steps.

    python benchmarks/soak.py                  # 20000 steps, a report every 1000
    python benchmarks/soak.py --steps 200000 --every 5000 --batch 64
"""

import argparse
import contextlib
import io
import os
import time

import numpy as np

from models.cnn import CNN
from quillet.nn.activation import ReLU, Tanh
from quillet.nn.loss import CrossEntropyLoss


def rss_mib():
    try:
        import psutil

        return psutil.Process().memory_info().rss / 2**20
    except ImportError:  # Linux without the test extra
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") / 2**20


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--steps", type=int, default=20000)
    parser.add_argument("--every", type=int, default=1000)
    parser.add_argument("--batch", type=int, default=16)
    parser.add_argument("--width", type=int, default=128)
    args = parser.parse_args()

    rng = np.random.default_rng(0)
    np.random.seed(0)
    with contextlib.redirect_stdout(io.StringIO()):  # the constructor prints its layer widths
        model = CNN(
            args.width,
            24,
            [56, 28, 14],
            [5, 6, 2],
            [1, 2, 2],
            10,
            [Tanh(), ReLU(), ReLU()],
            None,
            None,
            lambda o, i: rng.standard_normal((o, i)) * 0.01,
            CrossEntropyLoss(),
            1e-3,
        )
    X = rng.standard_normal((args.batch, 24, args.width))
    Y = np.eye(10)[rng.integers(0, 10, args.batch)]
    start, first = time.perf_counter(), None
    print(f"{'step':>8} {'loss':>10} {'RSS MiB':>9} {'since first':>12} {'steps/s':>8}")
    for step in range(1, args.steps + 1):
        model.zero_grads()
        model.forward(X)
        model.backward(Y)
        model.step()
        if step % args.every == 0 or step == 1:
            rss = rss_mib()
            first = rss if first is None else first
            rate = step / (time.perf_counter() - start)
            print(f"{step:8d} {float(model.loss):10.4g} {rss:9.1f} {rss - first:+12.1f} {rate:8.0f}", flush=True)


if __name__ == "__main__":
    main()
