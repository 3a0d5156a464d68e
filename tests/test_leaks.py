"""Leak checks: thousands of forward and backward calls on small inputs for every
class, with failing calls among them (leaks hide on error paths).  After a
warm-up, the reference counts of inputs, weights and results, the interpreter's
allocated blocks and the resident memory stay flat."""

import contextlib
import gc
import io
import os
import sys

import numpy as np
import pytest

from conftest import ZOO, base, bwd, fwd, make

try:
    import psutil
except ImportError:  # the RSS check needs the test extra
    psutil = None

FIGURES = {}  # per class: calls made, and the worst drifts seen


class _Figures:  # a plugin, so that the figures close pytest's summary
    def pytest_terminal_summary(self, terminalreporter):
        if FIGURES:
            worst = {k: max(f[k] for f in FIGURES.values()) for k in ("refs", "blocks", "rss_kib")}
            terminalreporter.write_line(
                f"test_leaks: {sum(f['calls'] for f in FIGURES.values())} calls over "
                f"{len(FIGURES)} classes; largest drift: {worst}"
            )


@pytest.fixture(scope="module", autouse=True)
def report(request):
    if not request.config.pluginmanager.has_plugin("leak-figures"):
        request.config.pluginmanager.register(_Figures(), "leak-figures")


def held(obj, x, seen=None):
    """How many references to x the layer obj keeps in its attributes, its parts' and their lists."""
    seen = seen if seen is not None else set()
    if id(obj) in seen or not type(obj).__module__.startswith(("quillet", "models")):
        return 0
    seen.add(id(obj))
    items = [y for v in vars(obj).values() for y in (v if isinstance(v, list) else [v])]
    return sum(y is x for y in items) + sum(held(y, x, seen) for y in items)


def exercise(layer, X, G, n):
    """n rounds of forward and backward, each followed by calls that raise; returns the calls made."""
    bad_inputs = [np.ones((2,) * 6), X.astype(complex), "x", None, np.full(X.shape, object())]
    fwd(layer, X, G)  # so that the attributes forward stores are there to be replaced
    attrs = [k for k, v in vars(layer).items() if isinstance(v, (int, np.ndarray, list)) and not isinstance(v, bool)]
    calls = 0
    for _ in range(n):
        Z = fwd(layer, X, G)  # the criterion takes G as its targets
        assert sys.getrefcount(Z) == 2 + held(layer, Z), "forward's result has a reference too many"
        dA = bwd(layer, G)
        assert sys.getrefcount(dA) == 2 + held(layer, dA), "backward's result has a reference too many"
        del Z, dA
        for bad in bad_inputs:
            for call in (lambda: fwd(layer, bad), lambda: bwd(layer, bad)):
                with contextlib.suppress(Exception):
                    call()
        for k in attrs:  # a garbage attribute, the calls that trip over it, the attribute restored
            keep = vars(layer)[k]
            setattr(layer, k, "x")
            for call in (lambda: fwd(layer, X), lambda: bwd(layer, G)):
                with contextlib.suppress(Exception):
                    call()
            setattr(layer, k, keep)
        calls += 2 + 2 * len(bad_inputs) + 2 * len(attrs)
    return calls


def tracked(layer, X, G):
    """The objects whose reference counts must not creep: inputs, the layer, its (and its parts') weights."""
    parts = [layer] + [v for v in vars(layer).values() if type(v).__module__.startswith("quillet")]
    return [X, G, layer] + [vars(p)[a] for p in parts for a in ("W", "b") if a in vars(p)]


@pytest.mark.parametrize("name", ZOO)
def test_references_and_blocks_stay_flat(name):
    layer, (X, G) = make(name), base(name)
    with contextlib.redirect_stdout(io.StringIO()) as out:
        exercise(layer, X, G, 50)  # warm-up: caches, interned strings, the thread pool
        gc.collect()
        out.seek(0), out.truncate()
        objs = tracked(layer, X, G)
        counts = lambda: [sys.getrefcount(objs[i]) for i in range(len(objs))]
        refs, n, growth = counts(), 400, []
        for _ in range(2):  # a leak grows in both windows; a cache the interpreter fills late, in one
            blocks = sys.getallocatedblocks()
            calls = exercise(layer, X, G, n)
            gc.collect()
            out.seek(0), out.truncate()
            growth.append(sys.getallocatedblocks() - blocks)
        drift = [now - before for now, before in zip(counts(), refs)]
        grown = min(growth)
    FIGURES[name] = {"calls": calls, "refs": max(map(abs, drift)), "blocks": grown, "rss_kib": 0}
    assert not any(drift), f"reference counts of the inputs, layer and weights moved by {drift}"
    assert grown < n // 4, f"{grown} interpreter blocks more after {n} rounds"


@pytest.mark.skipif(psutil is None, reason="needs psutil (the test extra)")
@pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""), reason="the sanitizer holds freed memory back")
@pytest.mark.parametrize("name", ZOO)
def test_resident_memory_stays_flat(name):
    """A batch 64 times larger, so that a lost temporary array per call would show in pages."""
    layer, (X, G) = make(name), base(name)
    X, G = (np.concatenate([a] * 64) if name != "CrossEntropyLoss" else np.tile(a, (64, 1)) for a in (X, G))
    proc = psutil.Process()
    with contextlib.redirect_stdout(io.StringIO()) as out:
        exercise(layer, X, G, 20)
        gc.collect()
        rss = proc.memory_info().rss
        n = 100
        figures = FIGURES.setdefault(name, {"calls": 0, "refs": 0, "blocks": 0, "rss_kib": 0})
        figures["calls"] += exercise(layer, X, G, n)
        out.seek(0), out.truncate()
        gc.collect()
        grown = proc.memory_info().rss - rss
    figures["rss_kib"] = grown // 1024
    budget = max(4 << 20, n * X.nbytes // 4)  # allocator slack, well below one lost input per round
    assert grown < budget, f"resident memory grew by {grown >> 10} KiB over {n} rounds of {X.nbytes >> 10} KiB inputs"
