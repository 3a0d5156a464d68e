"""quillet.distributed: the parts that need no second process here (shards,
arguments, the optimizer wrapper, the message without mpi4py), and the
collectives by running tests/_mpi_worker.py under mpiexec with 2 and 3
processes on this machine."""

import copy
import os
import pathlib
import pickle
import shutil
import signal
import subprocess
import sys

import numpy as np
import pytest

from conftest import EXAMPLES, example_extras

WORKER = pathlib.Path(__file__).with_name("_mpi_worker.py")


@pytest.fixture(scope="module")
def dist():
    pytest.importorskip("mpi4py.MPI", reason="quillet.distributed needs mpi4py (the mpi extra)")
    import quillet.distributed

    return quillet.distributed


class Comm:
    """Rank `rank` of `size`, for the functions that only ask a communicator where they are."""

    def __init__(self, rank, size):
        self.rank, self.size = rank, size

    def Get_rank(self):
        return self.rank

    def Get_size(self):
        return self.size


def test_import_without_mpi4py_names_the_extra():
    code = (
        "import sys; sys.modules['mpi4py'] = None\n"
        "hook = sys.excepthook\n"
        "import quillet.optim\n"
        "try:\n"
        "    import quillet.distributed\n"
        "except ImportError as e:\n"
        "    assert e.name == 'mpi4py' and sys.excepthook is hook, (e.name, sys.excepthook)\n"
        "    print(e)\n"
        "else:\n"
        "    raise SystemExit('imported')\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    assert "pip install 'quillet[mpi]'" in out.stdout


@pytest.mark.parametrize("n", [0, 1, 2, 7, 12, 100, 101])
@pytest.mark.parametrize("size", [1, 2, 3, 8])
@pytest.mark.parametrize("drop_last", [False, True])
def test_shards_partition_the_samples(dist, n, size, drop_last):
    shards = [dist.shard(n, seed=3, epoch=1, drop_last=drop_last, comm=Comm(r, size)) for r in range(size)]
    per = n // size if drop_last else -(-n // size)
    assert all(s.dtype == np.int64 and s.shape == (per,) for s in shards)
    every = np.concatenate(shards)
    counts = np.bincount(every, minlength=n) if n else np.zeros(0, int)
    assert every.size == 0 or (every.min() >= 0 and every.max() < n)
    if drop_last:  # disjoint; only the n % size left over sit out
        assert counts.max(initial=0) <= 1 and counts.sum() == size * per
    else:  # every sample, the padding wrapping around the permutation
        assert counts.min(initial=1) >= 1 and counts.sum() == size * per
        assert counts.max(initial=0) <= -(-size * per // max(n, 1))


def test_shards_follow_seed_and_epoch(dist):
    one = lambda **kw: dist.shard(1000, comm=Comm(1, 4), **kw)
    assert np.array_equal(one(seed=1, epoch=2), one(seed=1, epoch=2))
    assert not np.array_equal(one(seed=1, epoch=2), one(seed=1, epoch=3))
    assert not np.array_equal(one(seed=1, epoch=2), one(seed=2, epoch=2))


@pytest.mark.parametrize(
    "call, error, words",
    [
        (lambda d: d.shard(-1), ValueError, "n must be at least 0"),
        (lambda d: d.shard(2.5), TypeError, "n must be an integer"),
        (lambda d: d.shard(4, seed=-1), ValueError, "seed must be at least 0"),
        (lambda d: d.shard(4, comm=object()), TypeError, "comm must be an MPI communicator"),
        (lambda d: d.shard(4, comm=Comm(3, 3)), ValueError, "rank 3 of 3"),
        (lambda d: d.rank(comm="world"), TypeError, "comm must be an MPI communicator"),
        (lambda d: d.allreduce_gradients(3), TypeError, "model must be a layer"),
        (lambda d: d.allreduce_gradients([], bucket_bytes=4), ValueError, "bucket_bytes must be at least 8"),
        (lambda d: d.broadcast_parameters([], root=1), ValueError, "root must be a rank"),
        (lambda d: d.broadcast_parameters([], root="0"), TypeError, "integer"),
        (lambda d: d.DistributedOptimizer(object()), TypeError, "optimizer must be an optimizer"),
    ],
)
def test_bad_arguments_raise(dist, call, error, words):
    with pytest.raises(error, match=words):
        call(dist)


def test_overlapping_gradients_are_refused(dist):
    from quillet.nn.linear import Linear

    a, b = Linear(4, 2), Linear(3, 2)
    whole = np.zeros(14)
    a.dLdW, b.dLdW = whole[:8].reshape(2, 4), whole[4:10].reshape(2, 3)
    with pytest.raises(ValueError, match="share part of their memory"):
        dist.allreduce_gradients([a, b])


def test_optimizer_wrapper_passes_everything_through(dist):
    from quillet.nn.linear import Linear
    from quillet.optim import Adam

    plain, wrapped = (Linear(3, 2, lambda o, i: np.full((o, i), 0.5)) for _ in range(2))
    inner = Adam(wrapped, lr=0.1)
    opt = dist.DistributedOptimizer(inner)
    opt.lr = 0.01  # set on the wrapped optimizer
    assert inner.lr == 0.01 and opt.state is inner.state and opt.model is wrapped and opt.optimizer is inner
    reference = Adam(plain, lr=0.01)
    for o, net in ((reference, plain), (opt, wrapped)):
        o.zero_grad()
        net.forward(np.ones((2, 3)))
        net.backward(np.ones((2, 2)))
        o.step()  # one process: the average is the gradient itself
    assert np.array_equal(plain.W, wrapped.W) and "W" in repr(list(opt.state))
    assert repr(opt) == f"DistributedOptimizer({inner!r})"
    for clone in (copy.deepcopy(opt), pickle.loads(pickle.dumps(opt))):
        assert clone.lr == 0.01 and clone.optimizer is not inner
    with pytest.raises(AttributeError, match="has no attribute"):
        opt.no_such_thing


# ---------------------------------------------------------------- under mpiexec


def mpiexec():
    beside = pathlib.Path(sys.executable).with_name("mpiexec")
    return str(beside) if beside.exists() else shutil.which("mpiexec")


def launch(n, mode, timeout, script=WORKER, cwd=None):
    """Runs the worker (or `script` with the arguments `mode`) on n processes of
    this machine; (status, output).  A job that outlives `timeout` seconds is
    killed and fails the test."""
    if mpiexec() is None:
        pytest.skip("no mpiexec (pip install 'quillet[mpi]')")
    pytest.importorskip("mpi4py.MPI")
    # Nothing of this process's own MPI (a singleton) leaks into the job.
    env = {k: v for k, v in os.environ.items() if not k.startswith(("PMI_", "PMIX_", "HYDRA_", "MPIR_", "OMPI_"))}
    env.update(QUILLET_NUM_THREADS="1", OMP_NUM_THREADS="1", OPENBLAS_NUM_THREADS="1")
    command = [mpiexec(), "-n", str(n)]
    if "HYDRA" in subprocess.run([mpiexec(), "--version"], capture_output=True, text=True, env=env).stdout:
        command += ["-launcher", "fork"]  # MPICH: start the processes here, never through ssh
    job = subprocess.Popen(
        [*command, sys.executable, str(script), *([mode] if isinstance(mode, str) else mode)],
        stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT,
        text=True,
        env=env,
        cwd=cwd,
        start_new_session=True,
    )
    try:
        out, _ = job.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        os.killpg(job.pid, signal.SIGKILL)
        out, _ = job.communicate()
        pytest.fail(f"mpiexec -n {n} {mode} still running after {timeout} s:\n{out}")
    return job.returncode, out


@pytest.mark.parametrize("n", [2, 3])
def test_data_parallel_training_equals_one_process_on_the_whole_batch(n):
    status, out = launch(n, "checks", timeout=60)
    assert status == 0 and out.rstrip().endswith("ok"), out


def test_an_exception_on_one_rank_aborts_the_job():
    status, out = launch(3, "abort", timeout=30)
    assert status != 0, out
    assert "rank 1 fails on purpose" in out and "uncaught exception on rank 1 of 3" in out, out


def test_the_example_trains_on_two_processes(tmp_path):
    example_extras()
    example = EXAMPLES / "train_digits_distributed.py"
    status, out = launch(2, ["--epochs", "2", "--batchnorm"], timeout=120, script=example, cwd=tmp_path)
    assert status == 0, out
    assert out.startswith("2 processes:") and "(16 per process)" in out, out
    accuracy = float(out.split("final test accuracy: ")[1].split("%")[0])
    assert accuracy > 80 and (tmp_path / "out" / "digits_distributed.npz").exists(), out
