from typing import Any

import numpy

np = numpy  # bound by the module at import
from numpy.typing import ArrayLike, NDArray

class BatchNorm1d:
    num_features: int
    eps: float
    momentum: float
    W: NDArray[np.float64]
    b: NDArray[np.float64]
    dLdW: NDArray[np.float64]
    dLdb: NDArray[np.float64]
    running_mean: NDArray[np.float64]
    running_var: NDArray[np.float64]
    train_mode: bool
    A: NDArray[Any]
    mean: NDArray[np.float64]
    var: NDArray[np.float64]
    batch_statistics: bool
    def __init__(self, num_features: int, eps: float = 1e-05, momentum: float = 0.1) -> None: ...
    def forward(self, A: ArrayLike) -> NDArray[np.float64]: ...
    def __call__(self, A: ArrayLike) -> NDArray[np.float64]: ...
    def backward(self, dLdZ: ArrayLike) -> NDArray[np.float64]: ...
    def train(self) -> None: ...
    def eval(self) -> None: ...

class BatchNorm2d:
    num_features: int
    eps: float
    momentum: float
    W: NDArray[np.float64]
    b: NDArray[np.float64]
    dLdW: NDArray[np.float64]
    dLdb: NDArray[np.float64]
    running_mean: NDArray[np.float64]
    running_var: NDArray[np.float64]
    train_mode: bool
    A: NDArray[Any]
    mean: NDArray[np.float64]
    var: NDArray[np.float64]
    batch_statistics: bool
    def __init__(self, num_features: int, eps: float = 1e-05, momentum: float = 0.1) -> None: ...
    def forward(self, A: ArrayLike) -> NDArray[np.float64]: ...
    def __call__(self, A: ArrayLike) -> NDArray[np.float64]: ...
    def backward(self, dLdZ: ArrayLike) -> NDArray[np.float64]: ...
    def train(self) -> None: ...
    def eval(self) -> None: ...
