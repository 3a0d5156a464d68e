"""Train the two-dimensional digits CNN data-parallel over MPI: mpiexec -n 2 python examples/train_digits_distributed.py

The network, data split, flags and training schedule are those of
train_digits_2d.py (a Sequential of convolutions, pooling and a linear layer,
Adam with cosine decay on the softmax cross-entropy).  Each process (rank)
holds a whole copy of the network, starts from rank 0's weights
(quillet.distributed.broadcast_parameters), and in every epoch trains on its
own share of the training images (quillet.distributed.shard); before each step
the ranks average their gradients (quillet.distributed.DistributedOptimizer),
so every copy takes the same step as one process training on the whole batch
of --batch-size images would.

Rank 0 shows the progress bar and each epoch's loss (averaged over the ranks)
and accuracy, saves the weights, reloads them into a fresh network to measure
the final test accuracy, and writes the plot.  With --batchnorm, each rank's
running statistics come from its own shards; rank 0's are the ones evaluated
and saved.

Each rank uses its share of the machine's cores for the kernels
(QUILLET_NUM_THREADS, if set, decides instead).  Run with a single process
(python examples/train_digits_distributed.py) it trains like
train_digits_2d.py.
"""

import os
import sys
import time

import numpy as np

_HERE = os.path.dirname(os.path.abspath(__file__))
if _HERE not in sys.path:
    sys.path.insert(0, _HERE)
from _common import one_hot, plot, precision, record_epoch, require_extras  # noqa: E402
from train_digits_2d import accuracy, build_network, build_parser, describe, global_generator, load  # noqa: E402


def parse_args(argv=None):
    p = build_parser()
    p.description = __doc__.splitlines()[0]
    for action in p._actions:
        if action.dest == "batch_size":
            action.help = "images per gradient step, over all ranks together"
        if action.dest == "plot":
            action.default = os.path.join("out", "digits_distributed_training.png")
        if action.dest == "weights":
            action.default = os.path.join("out", "digits_distributed.npz")
    return p.parse_args(argv)


def share_cores(comm):
    """One kernel thread per core this rank's share of its host gives it."""
    from mpi4py import MPI

    import quillet

    if "QUILLET_NUM_THREADS" not in os.environ:
        on_this_host = comm.Split_type(MPI.COMM_TYPE_SHARED).Get_size()
        quillet.set_num_threads(max(1, quillet.get_num_threads() // on_this_host))


def train(args, data, comm, bar=None, report=None):
    """Train on every rank; return the network and (on rank 0) the history."""
    import quillet.distributed as dist
    from quillet.nn.loss import CrossEntropyLoss
    from quillet.optim import Adam

    rank, size = dist.rank(), dist.size()
    X_train, X_test, y_train, y_test = data
    Y_train = one_hot(y_train)
    net = build_network(np.random.default_rng(args.seed), args.batchnorm, args.dropout)
    dist.broadcast_parameters(net)  # the same start everywhere, whatever each rank drew
    optimizer, criterion = dist.DistributedOptimizer(Adam(net, lr=args.lr)), CrossEntropyLoss()
    per_rank = -(-args.batch_size // size)  # the global batch, split evenly

    history = {"loss": [], "train": [], "test": []}
    with global_generator(args.seed + 1000 * rank):  # each rank its own dropout masks
        for epoch in range(1, args.epochs + 1):
            optimizer.lr = args.lr * 0.5 * (1.0 + np.cos(np.pi * (epoch - 1) / args.epochs))
            mine = dist.shard(len(X_train), seed=args.seed, epoch=epoch)  # the same length on every rank
            total, batches = 0.0, 0
            net.train()
            for begin in range(0, len(mine), per_rank):
                batch = mine[begin : begin + per_rank]
                optimizer.zero_grad()
                loss = criterion(net(X_train[batch]), Y_train[batch])
                net.backward(criterion.backward())
                optimizer.step()  # gradients averaged over the ranks, then Adam
                total, batches = total + float(loss), batches + 1
            mean_loss = comm.allreduce(total / batches) / size
            if rank == 0:
                history["loss"].append(mean_loss)
                history["train"].append(accuracy(net, X_train, y_train))
                history["test"].append(accuracy(net, X_test, y_test))
                record_epoch(history, epoch, bar, report)
    return net, history


def main(argv=None):
    args = parse_args(argv)
    require_extras()
    try:
        import quillet.distributed as dist
    except ImportError as e:
        sys.exit(str(e))
    from mpi4py import MPI
    from tqdm import tqdm

    import quillet
    from quillet import state

    comm = MPI.COMM_WORLD
    rank, size = dist.rank(), dist.size()
    share_cores(comm)
    start = time.perf_counter()
    data = load(args.seed)
    if rank != 0:
        with quillet.default_dtype(args.dtype):
            train(args, data, comm)
        return

    layers = describe(args.batchnorm, args.dropout)
    print(
        f"{size} process{'es' if size > 1 else ''}: {len(data[0])} training and {len(data[1])} test images of "
        f"8x8 pixels, 10 classes; {args.epochs} epochs of batches of {args.batch_size} "
        f"({-(-args.batch_size // size)} per process), Adam with learning rate {args.lr:g} (cosine decay), "
        f"seed {args.seed}{precision(args.dtype)}; {layers}",
        flush=True,
    )
    with quillet.default_dtype(args.dtype):
        with tqdm(total=args.epochs, desc="training", unit="epoch") as bar:
            net, history = train(args, data, comm, bar=bar, report=tqdm.write)
        elapsed = time.perf_counter() - start

        os.makedirs(os.path.dirname(os.path.abspath(args.weights)), exist_ok=True)
        state.save(net, args.weights)
        fresh = build_network(np.random.default_rng(args.seed + 1), args.batchnorm, args.dropout)
        state.load(fresh, args.weights)
        final = accuracy(fresh, data[1], data[3])
    print(f"weights saved to {os.path.abspath(args.weights)}")
    print(
        f"final test accuracy: {final * 100:.1f}% ({len(data[1])} held-out images, chance is 10%; "
        f"of a fresh network loaded from the saved weights); loaded and trained in {elapsed:.1f} s"
    )
    plot(
        history,
        args.plot,
        f"quillet CNN on 8x8 digits, {size} MPI processes: final test accuracy {history['test'][-1] * 100:.1f}%\n"
        f"{args.epochs} epochs, batch {args.batch_size}, Adam lr {args.lr:g} with cosine decay, "
        f"seed {args.seed}{precision(args.dtype)}; "
        f"{layers}",
    )
    print(f"plot written to {os.path.abspath(args.plot)}")


if __name__ == "__main__":
    main()
