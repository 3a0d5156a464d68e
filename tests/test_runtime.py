"""The run-time controls: the kernel thread count (set_num_threads, get_num_threads,
QUILLET_NUM_THREADS), the instruction-set level (QUILLET_ISA, _isa) and
show_config; and every level this CPU runs computing what this process computes."""

import inspect
import math
import os
import re
import subprocess
import sys
import textwrap
import time

import numpy as np
import psutil
import pytest
from numpy.testing import assert_allclose, assert_array_equal

import quillet
from quillet.nn.Plantrel import Plantrel
from quillet.nn.pool import MaxPool2d


@pytest.fixture
def restore_threads():
    before = quillet.get_num_threads()
    try:
        yield
    finally:
        quillet.set_num_threads(before)


def python(code, **env):
    """Starts `code` in a fresh interpreter with this environment but for the variables
    given (None: unset); the suite itself may run with QUILLET_ISA or QUILLET_NUM_THREADS set."""
    environ = {k: v for k, v in os.environ.items() if k not in env}
    environ.update({k: v for k, v in env.items() if v is not None})
    return subprocess.Popen(
        [sys.executable, "-c", code], env=environ, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True
    )


def finish(process, timeout=300):
    out, err = process.communicate(timeout=timeout)
    return process.returncode, out, err


def returns(code, hang):
    """Runs `code` in a fresh interpreter: it must succeed within two minutes, or
    the test fails with `hang`."""
    run = python(code)
    try:
        returncode, _, err = finish(run, timeout=120)
    except subprocess.TimeoutExpired:
        run.kill()
        run.communicate()
        pytest.fail(hang)
    assert returncode == 0, err


def available_cpus():
    """The CPUs of the affinity mask, fewer if the CPU quota of the process's cgroup
    (or of the root cgroup, inside a container) allows fewer."""
    cpus, v2, v1 = len(os.sched_getaffinity(0)), "/", "/"
    with open("/proc/self/cgroup") as f:
        for line in f:
            _, controllers, path = line.rstrip("\n").split(":", 2)
            v2 = path if not controllers else v2
            v1 = path if "cpu" in controllers.split(",") else v1
    files = [(f"/sys/fs/cgroup{d}/cpu.max", None) for d in (v2.rstrip("/"), "")]
    files += [
        (f"/sys/fs/cgroup/{g}{d}/cpu.cfs_quota_us", f"/sys/fs/cgroup/{g}{d}/cpu.cfs_period_us")
        for g, d in (("cpu", v1.rstrip("/")), ("cpu", ""), ("cpu,cpuacct", v1.rstrip("/")))
    ]
    for quota_file, period_file in files:
        try:
            with open(quota_file) as f:
                quota, *period = f.read().split()
            if period_file:
                with open(period_file) as f:
                    period = f.read().split()
        except OSError:
            continue
        quota = -1.0 if quota == "max" else float(quota)
        return min(cpus, math.ceil(quota / float(period[0]))) if quota > 0 else cpus
    return cpus


# ---------------------------------------------------------------- threads


def test_set_and_get_num_threads(restore_threads):
    for n in (1, 3, 2):
        quillet.set_num_threads(n)
        assert quillet.get_num_threads() == n
    for bad, error in (
        (0, ValueError),
        (-1, ValueError),
        (4097, ValueError),
        (2**64, ValueError),
        (2.0, TypeError),
        ("2", TypeError),
        (None, TypeError),
        (True, TypeError),
    ):
        with pytest.raises(error, match="set_num_threads"):
            quillet.set_num_threads(bad)
        assert quillet.get_num_threads() == 2  # left as it was


def test_the_count_is_the_number_of_threads_a_kernel_runs_on(restore_threads):
    """n threads: the caller and n - 1 workers; lowering the count stops the extra workers."""
    process, layer, A = psutil.Process(), MaxPool2d(3, 2), np.ones((4, 8, 64, 64))

    def threads():
        return {t.id for t in process.threads()}

    quillet.set_num_threads(1)
    before = threads()
    quillet.set_num_threads(3)
    layer.forward(A)
    workers = threads() - before
    assert len(workers) == 2
    quillet.set_num_threads(1)
    deadline = time.monotonic() + 10  # a stopped worker may take a moment to exit
    while workers & threads() and time.monotonic() < deadline:
        time.sleep(0.01)
    assert not workers & threads()
    layer.forward(A)
    assert not threads() - before


def test_one_and_two_threads_agree(restore_threads, rng):
    """Pooling and the forward convolution split whole planes and tiles between the
    threads: the same bits.  The blocked backward sums per-thread partial weight
    gradients (and cuts tiles at each thread's first sample): the same to rounding."""
    A, P, G = rng.standard_normal((9, 8, 17, 19)), rng.integers(-3, 4, (5, 7, 97, 90)).astype(float), None
    results = []
    quillet._force_conv_path("blocked")
    try:
        for n in (1, 2):
            quillet.set_num_threads(n)
            conv, pool = Plantrel(8, 4, 3, 1, 1, lambda *s: np.ones(s) / 9, lambda o: np.arange(o) / o), MaxPool2d(2, 3)
            Z, Y = conv.forward(A), pool.forward(P)
            G = np.sin(Z) if G is None else G
            results.append(
                (
                    Z,
                    Y,
                    pool.max_indices,
                    pool.backward(np.cos(Y)),
                    conv.backward(G),
                    conv.plantrel_stride1.dLdW,
                    conv.plantrel_stride1.dLdb,
                )
            )
    finally:
        quillet._force_conv_path(None)
    for one, two in zip(results[0][:4], results[1][:4]):
        assert_array_equal(one, two)
    for one, two in zip(results[0][4:], results[1][4:]):
        assert_allclose(one, two, rtol=1e-12, atol=1e-12 * np.abs(one).max())


# Run in a child: the address-space limit leaves room for no worker stack, then for a few;
# each run must give the one-thread results, later runs must use the threads again, and
# neither a kernel nor set_num_threads may wait for a worker that was never started.
REFUSED_THREADS = r"""
import os, re, resource, contextlib, io
import numpy as np, psutil, quillet
from quillet.nn.Plantrel import Plantrel

def run():
    w = lambda *s: np.cos(np.arange(np.prod(s))).reshape(s)
    layer = Plantrel(8, 16, 3, 1, 1, w)
    Z = layer.forward(np.sin(np.arange(8 * 8 * 32 * 32.0)).reshape(8, 8, 32, 32))
    return [Z, layer.backward(np.cos(Z)), layer.plantrel_stride1.dLdW]

def same(got, ref):
    for g, r in zip(got, ref):
        np.testing.assert_allclose(g, r, rtol=1e-12, atol=1e-12 * np.abs(r).max())

def config():
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        quillet.show_config()
    return out.getvalue()

process = psutil.Process()
quillet.set_num_threads(1)
ref, alone = run(), process.num_threads()
quillet.set_num_threads(8)
soft, hard = resource.getrlimit(resource.RLIMIT_AS)
limited = []
for margin in (2, 4, 12, 20):  # MiB: a worker's stack takes 8
    resource.setrlimit(resource.RLIMIT_AS, (process.memory_info().vms + margin * 2**20, hard))
    try:
        got = run()
    except MemoryError:  # an array did not fit: not what is tested here
        continue
    finally:
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
    same(got, ref)
    limited.append(process.num_threads() - alone)
    text = config()
    if limited[-1] < 7:
        assert re.search(r"worker threads: %d running; another could not be started \(" % limited[-1], text), text
assert limited and min(limited) < 7, limited
same(run(), ref)
assert process.num_threads() - alone == 7 and "worker threads:" not in config()
pid = os.fork()  # a child starts its own workers (NumPy's BLAS may stop its threads here)
if pid == 0:
    try:
        same(run(), ref)
        os._exit(0)
    except BaseException:
        os._exit(1)
assert os.waitpid(pid, 0)[1] == 0
quillet.set_num_threads(2)
same(run(), ref)
print(limited)
"""


@pytest.mark.skipif(
    "asan" in os.environ.get("LD_PRELOAD", ""), reason="the sanitizer reserves more address space than the limit leaves"
)
def test_a_worker_thread_the_system_refuses(restore_threads):
    returns(REFUSED_THREADS, "a kernel or set_num_threads waited for a worker that was never started")


POOL_STRESS = r"""
import threading, time
import numpy as np, quillet
from quillet.nn.pool import MaxPool2d

A = np.random.default_rng(0).standard_normal((4, 8, 64, 64))
ref = MaxPool2d(3, 2).forward(A).copy()
wrong = []

def loops(pause):
    layer = MaxPool2d(3, 2)
    for i in range(150):
        if not np.array_equal(layer.forward(A), ref):
            wrong.append(i)
        if pause and i % 10 == 0:
            time.sleep(0.001)  # long enough for the workers to fall asleep

threads = [threading.Thread(target=loops, args=(p,)) for p in (False, True, False)]
for t in threads:
    t.start()
counts = iter([1, 3, 2, 4, 1, 2] * 100)
while any(t.is_alive() for t in threads):
    quillet.set_num_threads(next(counts))
    time.sleep(0.002)
loops(True)
assert not wrong, wrong
"""


def test_the_pool_under_concurrent_loops_and_changing_counts():
    """Loops back to back, loops after the workers fell asleep, loops from several
    Python threads while the count changes: the same results, and no wait that
    never ends (a lost wake-up shows as a timeout)."""
    returns(POOL_STRESS, "a loop or set_num_threads never returned")


def test_quillet_num_threads_is_read_at_import():
    cases = [("1", "1\n"), ("3", "3\n"), ("0", None), ("two", None)]
    runs = [python("import quillet; print(quillet.get_num_threads())", QUILLET_NUM_THREADS=v) for v, _ in cases]
    for (value, expected), run in zip(cases, runs):
        code, out, err = finish(run)
        if expected:
            assert (code, out) == (0, expected), err
        else:  # refused at import, naming the variable and the value
            assert code != 0
            assert f"ValueError: QUILLET_NUM_THREADS must be a whole number from 1 to 4096, got '{value}'" in err, err


def test_default_thread_count_and_level():
    """Unset or empty: one thread per available CPU (the affinity mask counts) and the best level."""
    probe = "import quillet; print(quillet.get_num_threads(), quillet._isa()['in_use'])"
    cpu = min(os.sched_getaffinity(0))
    runs = [
        python(probe, QUILLET_NUM_THREADS=None, QUILLET_ISA=None),
        python(probe, QUILLET_NUM_THREADS="", QUILLET_ISA=""),
        subprocess.Popen(
            [sys.executable, "-c", probe],
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            text=True,
            env={k: v for k, v in os.environ.items() if k not in ("QUILLET_NUM_THREADS", "QUILLET_ISA")},
            preexec_fn=lambda: os.sched_setaffinity(0, {cpu}),
        ),
    ]
    best = quillet._isa()["supported"][-1]
    expected = [f"{available_cpus()} {best}\n"] * 2 + [f"1 {best}\n"]
    got = [finish(p) for p in runs]
    assert [out for _, out, _ in got] == expected, [err for _, _, err in got]


# ---------------------------------------------------------------- instruction sets and the report


def test_isa_levels():
    isa = quillet._isa()
    assert isa["compiled"][0] in ("baseline", "native") and isa["supported"][0] == isa["compiled"][0]
    assert set(isa["supported"]) <= set(isa["compiled"]) and isa["in_use"] in isa["supported"]
    # The suite runs once per level with QUILLET_ISA set: that level is the one in use.
    assert isa["in_use"] == (os.environ.get("QUILLET_ISA") or isa["supported"][-1])


def test_quillet_isa_rejects_what_it_cannot_run():
    isa = quillet._isa()
    cases = [
        (
            "sse9",
            f"ImportError: QUILLET_ISA=sse9: this build of quillet has no such level "
            f"(it has {', '.join(isa['compiled'])})",
        )
    ]
    cases += [
        (level, f"ImportError: QUILLET_ISA={level}: this CPU does not support {level}")
        for level in isa["compiled"]
        if level not in isa["supported"]
    ]
    runs = [python("import quillet", QUILLET_ISA=level) for level, _ in cases]
    for (_, message), run in zip(cases, runs):
        code, _, err = finish(run)
        assert code != 0 and message in err, err


def test_show_config(restore_threads, capsys):
    quillet.set_num_threads(3)
    assert quillet.show_config() is None
    text = capsys.readouterr().out
    assert text.startswith(f"quillet {quillet.__version__}\n")
    assert f"in use {quillet._isa()['in_use']};" in text
    assert re.search(rf"threads: +3 \(default {available_cpus()}:", text), text


def outputs():
    """Seeded results of every kind of kernel: strided 1-D and 2-D convolutions on the blocked
    path, a transposed one, pooling, the activations and the cross-entropy.  Runs in this
    process and, from its source, in processes at other levels."""
    import contextlib
    import io

    import numpy as np

    import quillet
    from quillet.nn.activation import ReLU, Sigmoid, Tanh
    from quillet.nn.Lintrel import Lintrel
    from quillet.nn.loss import CrossEntropyLoss
    from quillet.nn.Plantrel import Plantrel
    from quillet.nn.pool import MaxPool2d, MeanPool2d_stride1
    from quillet.nn.Unfurlet import Unfurlet2d

    rng, out = np.random.default_rng(7), {}

    def run(name, layer, shape, part=None, integers=False):
        if part is not None:
            part.W, part.b = rng.standard_normal(part.W.shape), rng.standard_normal(part.b.shape)
        A = rng.integers(-3, 4, shape).astype(float) if integers else rng.standard_normal(shape) * 3
        with contextlib.redirect_stdout(io.StringIO()):
            out[name] = layer.forward(A)
        out[name + " backward"] = layer.backward(rng.standard_normal(out[name].shape))
        if part is not None:
            out[name + " dLdW"], out[name + " dLdb"] = part.dLdW, part.dLdb

    quillet._force_conv_path("blocked")
    try:
        conv1d, conv2d, transposed = Lintrel(5, 6, 4, 3, 2), Plantrel(4, 5, 3, 2, 1), Unfurlet2d(3, 4, 3, 2)
        run("conv1d", conv1d, (3, 5, 61), conv1d.lintrel_stride1)
        run("conv2d", conv2d, (3, 4, 19, 23), conv2d.plantrel_stride1)
        run("transposed", transposed, (2, 3, 9, 8), transposed.plantrel_stride1)
    finally:
        quillet._force_conv_path(None)
    run("max pool", MaxPool2d(3, 2), (3, 5, 31, 29), integers=True)
    run("mean pool", MeanPool2d_stride1(2), (3, 5, 31, 29))
    for cls in (ReLU, Sigmoid, Tanh):
        run(cls.__name__, cls(), (7, 301))
    loss, Y = CrossEntropyLoss(), np.eye(9)[rng.integers(0, 9, 40)]
    out["cross-entropy"] = loss.forward(rng.standard_normal((40, 9)) * 5, Y)
    out["cross-entropy backward"] = loss.backward()
    return {k: np.array(v) for k, v in out.items()}


def test_every_level_computes_what_this_one_computes(restore_threads, tmp_path):
    """To rounding only: each level contracts multiply-adds into FMAs differently."""
    levels = quillet._isa()["supported"]
    source = textwrap.dedent(inspect.getsource(outputs))
    runs = [
        python(
            f"{source}\nimport numpy, quillet\nnumpy.savez({str(tmp_path / level)!r}, **outputs(), "
            f"level=quillet._isa()['in_use'])",
            QUILLET_ISA=level,
            QUILLET_NUM_THREADS="2",
        )
        for level in levels
    ]
    quillet.set_num_threads(2)  # the same partial sums as the children
    here = outputs()
    for level, run in zip(levels, runs):
        code, _, err = finish(run)
        assert code == 0, err
        with np.load(tmp_path / f"{level}.npz") as there:
            assert there["level"] == level and set(there.files) == set(here) | {"level"}
            for name, value in here.items():
                assert_allclose(
                    there[name], value, rtol=1e-12, atol=1e-12 * np.abs(value).max(), err_msg=f"{name} at {level}"
                )
