from typing import Any

import numpy
from numpy.typing import NDArray

def rank(comm: Any | None = None) -> int:
    """This process's rank in comm (mpi4py.MPI.COMM_WORLD by default), from 0."""

def size(comm: Any | None = None) -> int:
    """The number of processes in comm (COMM_WORLD by default)."""

def broadcast_parameters(
    model: object, root: int = 0, comm: Any | None = None, *, bucket_bytes: int = 16777216
) -> None:
    """Every parameter and buffer of root's model copied into every rank's model, in place."""

def allreduce_gradients(
    model: object, average: bool = True, comm: Any | None = None, *, bucket_bytes: int = 16777216
) -> None:
    """Every parameter gradient summed (or averaged) across the ranks, in place."""

def shard(
    n: int, *, seed: int = 0, epoch: int = 0, drop_last: bool = False, comm: Any | None = None
) -> NDArray[numpy.int64]:
    """The indices of an n-sample data set this rank trains on in this epoch."""

class DistributedOptimizer:
    optimizer: Any
    comm: Any | None
    def __init__(self, optimizer: Any, comm: Any | None = None) -> None: ...
    def step(self) -> None: ...
