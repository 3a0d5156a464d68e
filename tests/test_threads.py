"""Layers of different kinds running at once on several threads compute bit for
bit what they compute alone, and the heavy kernels let other Python threads run."""

import threading
import time

import numpy as np
import pytest

from quillet.nn.activation import Tanh
from quillet.nn.linear import Linear
from quillet.nn.Lintrel import Lintrel
from quillet.nn.Plantrel import Plantrel, Plantrel_stride1
from quillet.nn.pool import MaxPool2d, MeanPool2d_stride1
from quillet.nn.resampling import Upsample2d
from quillet.nn.Unfurlet import Unfurlet2d

# Shapes large enough for the multi-threaded kernels (blocked GEMM, im2col + BLAS, pooling and
# resampling over planes), with a small one among them.  Weights come from the initialiser w, not
# from numpy's global generator, which the threads share.
LAYERS = [
    ("conv2d 16->32", lambda w: Plantrel_stride1(16, 32, 3, w), (16, 16, 32, 32)),
    ("conv2d strided, padded", lambda w: Plantrel(16, 8, 3, 2, 1, w), (8, 16, 32, 32)),
    ("conv2d 240 channels", lambda w: Plantrel_stride1(240, 4, 3, w), (2, 240, 10, 10)),
    ("conv2d tiny", lambda w: Plantrel_stride1(2, 3, 2, w), (2, 2, 5, 5)),
    ("conv1d", lambda w: Lintrel(32, 32, 5, 2, 2, w), (16, 32, 512)),
    ("transposed conv2d", lambda w: Unfurlet2d(8, 8, 3, 2, w), (4, 8, 16, 16)),
    ("max pool", lambda w: MaxPool2d(3, 2), (16, 32, 32, 32)),
    ("mean pool", lambda w: MeanPool2d_stride1(3), (8, 16, 32, 32)),
    ("upsample", lambda w: Upsample2d(2), (16, 32, 32, 32)),
    ("tanh", lambda w: Tanh(), (64, 64, 256)),
    ("linear", lambda w: Linear(512, 256, w), (256, 512)),
]


def run(i):
    """Layer i built and run forward and backward from a fixed seed: its results, and a call that fails."""
    name, factory, shape = LAYERS[i]
    rng = np.random.default_rng(i)
    layer = factory(lambda *s: rng.standard_normal(s))
    A = rng.standard_normal(shape)
    Z = layer.forward(A)
    dA = layer.backward(rng.standard_normal(Z.shape))
    with pytest.raises(TypeError):  # error paths run concurrently too
        layer.forward(A.astype(complex))
    part = getattr(layer, "lintrel_stride1", getattr(layer, "plantrel_stride1", layer))
    return [Z, dA] + [np.array(getattr(part, g)) for g in ("dLdW", "dLdb") if hasattr(part, g)]


def test_threads_reproduce_single_threaded_results(capsys):
    alone = [run(i) for i in range(len(LAYERS))]
    threads, rounds, start, mismatches = 6, 2, threading.Barrier(6), []

    def worker(t):
        start.wait()
        for r in range(rounds):
            for i in np.roll(np.arange(len(LAYERS)), -t):  # every thread starts with another kind
                for k, (got, ref) in enumerate(zip(run(i), alone[i])):
                    if got.shape != ref.shape or got.tobytes() != ref.tobytes():
                        diff = np.abs(got - ref).max() if got.shape == ref.shape else "shape"
                        mismatches.append(f"{LAYERS[i][0]}, result {k}, thread {t}, round {r}: max |diff| {diff}")

    pool = [threading.Thread(target=worker, args=(t,)) for t in range(threads)]
    for th in pool:
        th.start()
    for th in pool:
        th.join()
    assert not mismatches, "\n".join(mismatches)


@pytest.mark.parametrize("method", ["forward", "backward"])
def test_convolution_releases_the_gil(method):
    """A pure-Python thread makes progress in the middle of a long convolution."""
    layer, A = Plantrel_stride1(16, 32, 3), np.random.default_rng(0).standard_normal((16, 16, 64, 64))
    G = np.ones(layer.forward(A).shape)
    call = (lambda: layer.forward(A)) if method == "forward" else (lambda: layer.backward(G))
    stamps, stop = [], threading.Event()

    def spin():
        n = 0
        while not stop.is_set():
            n += 1
            if n % 100 == 0:
                stamps.append(time.perf_counter())

    spinner = threading.Thread(target=spin)
    spinner.start()
    try:
        for _ in range(3):  # a loaded machine may starve the spinner once
            t0 = time.perf_counter()
            call()
            t1 = time.perf_counter()
            margin = (t1 - t0) / 4  # a thread holding the GIL lets nothing run here
            inside = [s for s in stamps if t0 + margin < s < t1 - margin]
            if inside:
                break
    finally:
        stop.set()
        spinner.join()
    assert inside, f"no Python bytecode ran during the middle half of a {1e3 * (t1 - t0):.0f} ms {method}"
