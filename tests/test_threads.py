"""Layers of different kinds running at once on several threads compute bit for
bit what they compute alone, and the heavy kernels let other Python threads run."""

import threading
import time

import numpy as np
import pytest

from conftest import PLAIN, ZOO, owner, plain
from quillet.nn.Plantrel import Plantrel_stride1

# Every plain layer of ZOO, small and at the larger sizes ZOO gives for the multi-threaded
# kernels (blocked GEMM, im2col + BLAS, pooling and resampling over planes): (case name, layer
# name, constructor parameters changed, input shape).
LAYERS = [
    (f"{name} {shape}", name, changes, shape)
    for name in PLAIN
    for changes, shape in (({}, ZOO[name].shape), *ZOO[name].large)
]

ANY_DTYPE = {"Downsample1d", "Downsample2d", "Flatten"}  # they return views of their argument, complex or not


def run(i):
    """Layer i built and run forward and backward from a fixed seed: its results, and a call that fails.
    Weights come from the seeded initialiser, not from numpy's global generator, which the threads share."""
    _, name, changes, shape = LAYERS[i]
    rng = np.random.default_rng(i)
    w = lambda *s: rng.standard_normal(s)
    layer = plain(
        name, **changes, **({"weight_init_fn": w, "bias_init_fn": w} if "weight_init_fn" in ZOO[name].kwargs else {})
    )
    A = rng.standard_normal(shape)
    Z = layer.forward(A)
    dA = layer.backward(rng.standard_normal(Z.shape))
    if name not in ANY_DTYPE:  # error paths run concurrently too
        with pytest.raises(TypeError):
            layer.forward(A.astype(complex))
    part = owner(layer)
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
