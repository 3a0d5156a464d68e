from collections.abc import Callable
from typing import Any

import numpy

np = numpy  # bound by the module at import, and re-exported by star imports
from numpy.typing import ArrayLike, NDArray

class Linear:
    in_features: int
    out_features: int
    W: NDArray[np.float64]
    b: NDArray[np.float64]
    dLdW: NDArray[np.float64]
    dLdb: NDArray[np.float64]
    A: NDArray[Any]
    def __init__(
        self,
        in_features: int,
        out_features: int,
        weight_init_fn: Callable[[int, int], NDArray[np.float64]] | None = None,
        bias_init_fn: Callable[[int], NDArray[np.float64]] | None = None,
    ) -> None: ...
    def forward(self, A: ArrayLike) -> NDArray[np.float64]: ...
    def __call__(self, A: ArrayLike) -> NDArray[np.float64]: ...
    def backward(self, dLdZ: ArrayLike) -> NDArray[np.float64]: ...
