"""What data parallelism costs on one machine: quillet.distributed against threads.

    python benchmarks/distributed.py [--steps 20] [--ranks 2]

For a small model (~1e4 parameters: a convolution and a linear layer) and a
large one (~1e7: two wide linear layers), one training step (forward, loss,
backward, gradient average, SGD with momentum) on the same total batch is
timed two ways, in the same run:

* 1 process with as many kernel threads as --ranks (QUILLET_NUM_THREADS);
* --ranks processes under mpiexec with 1 thread each, each on its share of
  the batch, the gradients averaged by quillet.distributed.allreduce_gradients.

It prints the median time per step, the allreduce's share of the distributed
step, and the fused allreduce's throughput (gradient bytes per second) against
a plain mpi4py Allreduce of one float64 array of the same total size, the
ceiling the fused call can reach.  Needs mpi4py and mpiexec (the mpi extra).
"""

import argparse
import json
import os
import pathlib
import shutil
import subprocess
import sys
import time

import numpy as np

MODELS = {
    # name: (input shape of the whole batch, builder)
    "small": ((256, 1, 16, 16), "conv"),
    "large": ((64, 2048), "wide"),
}


def build(kind, rng):
    from quillet.flatten import Flatten
    from quillet.nn.activation import ReLU
    from quillet.nn.linear import Linear
    from quillet.nn.Plantrel import Plantrel
    from quillet.nn.pool import MaxPool2d
    from quillet.nn.sequential import Sequential

    normal = lambda *shape: rng.normal(0, 0.05, shape)
    if kind == "conv":  # 16*9 + 16 + 1024*10 + 10 = 10410 parameters
        return Sequential(
            Plantrel(1, 16, 3, 1, 1, weight_init_fn=normal, bias_init_fn=np.zeros),
            ReLU(),
            MaxPool2d(2, 2),
            Flatten(),
            Linear(1024, 10, normal, np.zeros),
        )
    # 2048*4096 + 4096 + 4096*512 + 512 = 10.49e6 parameters
    return Sequential(Linear(2048, 4096, normal, np.zeros), ReLU(), Linear(4096, 512, normal, np.zeros))


def worker(steps):
    """Runs in every process; rank 0 prints one JSON line per model."""
    from mpi4py import MPI

    import quillet
    import quillet.distributed as dist
    from quillet.nn.loss import MSELoss
    from quillet.optim import SGD, parameters

    comm = MPI.COMM_WORLD
    rank, size = comm.Get_rank(), comm.Get_size()
    for name, (shape, kind) in MODELS.items():
        rng = np.random.default_rng(0)
        net = build(kind, rng)
        count = sum(getattr(o, n).size for o, n in parameters(net))
        X = rng.normal(size=shape)
        Y = rng.normal(size=(shape[0], 10 if kind == "conv" else 512))
        rows = dist.shard(shape[0], comm=comm)
        X, Y = X[rows], Y[rows]
        optimizer, criterion = SGD(net, lr=1e-3, momentum=0.9), MSELoss()
        step_times, reduce_times = [], []
        for i in range(steps + 3):  # 3 warm-up steps
            comm.Barrier()
            t0 = time.perf_counter()
            optimizer.zero_grad()
            criterion(net(X), Y)
            net.backward(criterion.backward())
            t1 = time.perf_counter()
            dist.allreduce_gradients(net, comm=comm)
            t2 = time.perf_counter()
            optimizer.step()
            t3 = time.perf_counter()
            if i >= 3:
                step_times.append(t3 - t0)
                reduce_times.append(t2 - t1)
        # The allreduce alone, fused, against one plain array of the same size.
        fused, plain = [], []
        flat = np.ones(count)
        for _ in range(max(steps, 10)):
            comm.Barrier()
            t0 = time.perf_counter()
            dist.allreduce_gradients(net, comm=comm)
            t1 = time.perf_counter()
            comm.Barrier()
            t2 = time.perf_counter()
            comm.Allreduce(MPI.IN_PLACE, flat)
            t3 = time.perf_counter()
            fused.append(t1 - t0)
            plain.append(t3 - t2)
        if rank == 0:
            row = {
                "model": name,
                "parameters": count,
                "ranks": size,
                "threads": quillet.get_num_threads(),
                "step": float(np.median(step_times)),
                "allreduce": float(np.median(reduce_times)),
                "fused": float(np.median(fused)),
                "plain": float(np.median(plain)),
            }
            print(json.dumps(row), flush=True)


def run(ranks, threads, steps):
    env = {k: v for k, v in os.environ.items() if not k.startswith(("PMI_", "PMIX_", "HYDRA_", "MPIR_"))}
    env.update(QUILLET_NUM_THREADS=str(threads), OMP_NUM_THREADS="1", OPENBLAS_NUM_THREADS="1")
    command = [sys.executable, __file__, "--worker", "--steps", str(steps)]
    if ranks > 1:
        beside = pathlib.Path(sys.executable).with_name("mpiexec")
        mpiexec = str(beside) if beside.exists() else shutil.which("mpiexec")
        if mpiexec is None:
            sys.exit("no mpiexec: pip install 'quillet[mpi]'")
        command = [mpiexec, "-n", str(ranks), *command]
    out = subprocess.run(command, env=env, capture_output=True, text=True, timeout=1800)
    if out.returncode != 0:
        sys.exit(f"{' '.join(command)} failed:\n{out.stdout}\n{out.stderr}")
    return {row["model"]: row for row in map(json.loads, out.stdout.split("\n")[:-1])}


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--steps", type=int, default=20, help="timed steps per model")
    p.add_argument("--ranks", type=int, default=2, help="processes (and the single process's threads)")
    p.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    args = p.parse_args()
    if args.worker:
        worker(args.steps)
        return
    threads = run(1, args.ranks, args.steps)
    ranks = run(args.ranks, 1, args.steps)
    n = args.ranks
    print(
        f"| model | 1 rank × {n} threads, ms/step | {n} ranks × 1 thread, ms/step | allreduce share "
        f"| fused allreduce GB/s | plain Allreduce GB/s | fused / plain |"
    )
    print("|---|---:|---:|---:|---:|---:|---:|")
    for name in MODELS:
        t, r = threads[name], ranks[name]
        gb = r["parameters"] * 8 / 1e9
        print(
            f"| {name} ({r['parameters']:,} parameters) | {t['step'] * 1e3:.2f} | {r['step'] * 1e3:.2f} "
            f"| {r['allreduce'] / r['step'] * 100:.0f}% | {gb / r['fused']:.2f} | {gb / r['plain']:.2f} "
            f"| {r['plain'] / r['fused']:.2f} |"
        )


if __name__ == "__main__":
    main()
