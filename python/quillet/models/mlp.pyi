from collections.abc import Sequence

import numpy

np = numpy  # bound by the module at import, and re-exported by star imports
from numpy.typing import ArrayLike, NDArray

from quillet.nn.activation import (
    GELU as GELU,
    Identity as Identity,
    LeakyReLU as LeakyReLU,
    ReLU as ReLU,
    Sigmoid as Sigmoid,
    Softmax as Softmax,
    Tanh as Tanh,
)
from quillet.nn.linear import Linear as Linear

class MLP:
    layers: list[Linear | ReLU]
    def __init__(self, layer_sizes: Sequence[int]) -> None: ...
    def init_weights(self, weights: Sequence[NDArray[np.float64]]) -> None: ...
    def forward(self, A: ArrayLike) -> NDArray[np.float64]: ...
    def __call__(self, A: ArrayLike) -> NDArray[np.float64]: ...
    def backward(self, dLdZ: ArrayLike) -> NDArray[np.float64]: ...

def _main() -> None: ...  # what `python -m models.mlp` runs
