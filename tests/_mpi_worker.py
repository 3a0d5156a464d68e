"""The multi-process half of test_distributed.py, run under mpiexec.

    mpiexec -n 3 python tests/_mpi_worker.py checks
    mpiexec -n 2 python tests/_mpi_worker.py abort

A failed check raises on its rank, which (quillet.distributed's excepthook)
aborts the whole job with a non-zero status; when every check passes, rank 0
prints "ok" last.
"""

import sys
import time

import numpy as np
from mpi4py import MPI

import quillet
import quillet.distributed as dist
from quillet import state
from quillet.flatten import Flatten
from quillet.nn.activation import ReLU
from quillet.nn.batchnorm import BatchNorm2d
from quillet.nn.linear import Linear
from quillet.nn.loss import CrossEntropyLoss, MSELoss
from quillet.nn.Plantrel import Plantrel
from quillet.nn.pool import MaxPool2d
from quillet.nn.sequential import Sequential
from quillet.optim import SGD, Adam

comm = MPI.COMM_WORLD
RANK, SIZE = comm.Get_rank(), comm.Get_size()
BATCH = 12  # divisible by 2 and 3: equal shards, so averaging is exact


def build(seed):
    """A small CNN with batch normalisation in evaluation mode (running
    statistics that are not the defaults), its weights drawn from `seed`."""
    rng = np.random.default_rng(seed)
    conv = Plantrel(
        2, 4, 3, 1, 1, weight_init_fn=lambda *s: rng.normal(0, 0.5, s), bias_init_fn=lambda n: rng.normal(0, 0.1, n)
    )
    bn = BatchNorm2d(4)
    bn.W, bn.b = rng.uniform(0.5, 1.5, 4), rng.normal(0, 0.1, 4)
    bn.running_mean, bn.running_var = rng.normal(0, 0.5, 4), rng.uniform(0.5, 2.0, 4)
    linear = Linear(36, 3, lambda o, i: rng.normal(0, 0.3, (o, i)), lambda o: rng.normal(0, 0.1, o))
    net = Sequential(conv, bn, ReLU(), MaxPool2d(2, 2), Flatten(), linear)
    net.eval()
    return net


def flat(net):
    return np.concatenate([np.ravel(a) for a in state.state_dict(net).values()])


def train(net, optimizer, criterion, X, Y, distributed):
    """20 steps, on this rank's shard of the batch when `distributed`."""
    if distributed:
        optimizer = dist.DistributedOptimizer(optimizer)
    for step in range(20):
        rows = dist.shard(len(X), seed=5, epoch=step) if distributed else np.arange(len(X))
        optimizer.zero_grad()
        criterion(net(X[rows]), Y[rows])
        net.backward(criterion.backward())
        optimizer.step()
    return flat(net)


def close(got, want, rtol=1e-12):
    err = np.max(np.abs(got - want))
    assert err <= rtol * np.max(np.abs(want)), f"rank {RANK}: max difference {err:.3g}"


def check_equivalence():
    data = np.random.default_rng(1)
    X = data.normal(size=(BATCH, 2, 6, 6))
    labels = np.eye(3)[data.integers(0, 3, BATCH)]
    for make, criterion in (
        (lambda net: SGD(net, lr=0.05, momentum=0.9), CrossEntropyLoss()),
        (lambda net: Adam(net, lr=0.01), MSELoss()),
    ):
        reference = build(100)
        want = train(reference, make(reference), criterion, X, labels, distributed=False)
        net = build(100 + RANK)  # every rank different, until the broadcast
        dist.broadcast_parameters(net)
        assert np.array_equal(flat(net), flat(build(100))), "broadcast_parameters left the models different"
        got = train(net, make(net), criterion, X, labels, distributed=True)
        close(got, want)
        for other in comm.allgather(got):
            close(other, got)


def check_tied_and_shared_gradients():
    """Tied weights with a gradient each are reduced each; one gradient array
    held twice is reduced once; float32 and read-only gradients become float64."""
    a, b, c, d = (Linear(3, 2) for _ in range(4))
    b.W = a.W  # tied, own gradients
    d.W, d.dLdW = c.W, c.dLdW  # tied, one gradient array
    one = float(RANK + 1)
    a.dLdW, b.dLdW = np.full((2, 3), one), np.full((2, 3), 10 * one)
    c.dLdW[...] = one
    a.dLdb = np.full(2, one, dtype=np.float32)
    b.dLdb = np.full(2, one)
    b.dLdb.flags.writeable = False
    model = [a, b, c, d]
    dist.allreduce_gradients(model, bucket_bytes=24)  # 3 doubles a bucket: arrays split across buckets
    mean = (SIZE + 1) / 2
    assert np.all(a.dLdW == mean) and np.all(b.dLdW == 10 * mean), (a.dLdW, b.dLdW)
    assert c.dLdW is d.dLdW and np.all(c.dLdW == mean), c.dLdW
    for g in (a.dLdb, b.dLdb):
        assert g.dtype == np.float64 and g.flags.writeable and np.all(g == mean), g
    dist.allreduce_gradients(model, average=False)
    assert np.all(c.dLdW == mean * SIZE), c.dLdW


def check_single_precision():
    """Under float32 a float32 model stays float32 through the broadcast and the
    reduced gradients, and trains as one process does, to float32 precision."""
    data = np.random.default_rng(2)
    X = data.normal(size=(BATCH, 2, 6, 6)).astype(np.float32)
    labels = data.integers(0, 3, BATCH)

    def make(seed):
        np.random.seed(seed)
        return Sequential(Plantrel(2, 4, 3, 1, 1), ReLU(), Flatten(), Linear(144, 3))

    with quillet.default_dtype(np.float32):
        reference = make(100)
        want = train(reference, SGD(reference, lr=0.05, momentum=0.9), CrossEntropyLoss(), X, labels, False)
        net = make(100 + RANK)
        dist.broadcast_parameters(net)
        assert np.array_equal(flat(net), flat(make(100))), "broadcast_parameters left the models different"
        got = train(net, SGD(net, lr=0.05, momentum=0.9), CrossEntropyLoss(), X, labels, True)
    conv = net[0].plantrel_stride1
    kept = [conv.W, conv.b, conv.dLdW, conv.dLdb, net[3].W, net[3].dLdW]
    assert all(a.dtype == np.float32 for a in kept), [a.dtype for a in kept]
    close(got, want, rtol=1e-5)


def check_mismatch_raises_everywhere():
    for call, words in (
        (lambda: dist.allreduce_gradients(Linear(3, 2 + (RANK == SIZE - 1))), f"on rank {SIZE - 1}"),
        (lambda: dist.broadcast_parameters(build(0), root=RANK), "the ranks disagree on root"),
    ):
        try:
            call()
        except ValueError as e:
            assert words in str(e), str(e)
        else:
            raise AssertionError("the ranks' difference went unnoticed")
    comm.Barrier()


def abort():
    comm.Barrier()
    if RANK == 1:
        raise RuntimeError("rank 1 fails on purpose")
    comm.Barrier()  # never completes: the job is aborted
    time.sleep(60)


if __name__ == "__main__":
    if sys.argv[1] == "abort":
        abort()
    else:
        check_equivalence()
        check_tied_and_shared_gradients()
        check_single_precision()
        check_mismatch_raises_everywhere()
        if RANK == 0:
            print("ok", flush=True)
