from typing import Any

import numpy

np = numpy  # bound by the module at import, and re-exported by star imports
from numpy.typing import ArrayLike, NDArray

from .resampling import (
    Downsample1d as Downsample1d,
    Downsample2d as Downsample2d,
    Upsample1d as Upsample1d,
    Upsample2d as Upsample2d,
)

class MaxPool2d_stride1:
    kernel: int
    A: NDArray[Any]
    def __init__(self, kernel: int) -> None: ...
    def forward(self, A: ArrayLike) -> NDArray[np.float64]: ...
    def backward(self, dLdZ: ArrayLike) -> NDArray[np.float64]: ...

class MeanPool2d_stride1:
    kernel: int
    A: NDArray[Any]
    def __init__(self, kernel: int) -> None: ...
    def forward(self, A: ArrayLike) -> NDArray[np.float64]: ...
    def backward(self, dLdZ: ArrayLike) -> NDArray[np.float64]: ...

class MaxPool2d:
    kernel: int
    stride: int
    maxpool2d_stride1: MaxPool2d_stride1
    downsample2d: Downsample2d
    A: NDArray[Any]
    max_indices: NDArray[np.bool_]
    def __init__(self, kernel: int, stride: int) -> None: ...
    def forward(self, A: ArrayLike) -> NDArray[np.float64]: ...
    def backward(self, dLdZ: ArrayLike) -> NDArray[np.float64]: ...

class MeanPool2d:
    kernel: int
    stride: int
    meanpool2d_stride1: MeanPool2d_stride1
    downsample2d: Downsample2d
    A: NDArray[Any]
    def __init__(self, kernel: int, stride: int) -> None: ...
    def forward(self, A: ArrayLike) -> NDArray[np.float64]: ...
    def backward(self, dLdZ: ArrayLike) -> NDArray[np.float64]: ...
