from collections.abc import Callable
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

class Lintrel_stride1:
    in_channels: int
    out_channels: int
    kernel_size: int
    W: NDArray[np.float64]
    b: NDArray[np.float64]
    dLdW: NDArray[np.float64]
    dLdb: NDArray[np.float64]
    A: NDArray[Any]
    def __init__(
        self,
        in_channels: int,
        out_channels: int,
        kernel_size: int,
        weight_init_fn: Callable[[int, int, int], NDArray[np.float64]] | None = None,
        bias_init_fn: Callable[[int], NDArray[np.float64]] | None = None,
    ) -> None: ...
    def forward(self, A: ArrayLike) -> NDArray[np.float64]: ...
    def __call__(self, A: ArrayLike) -> NDArray[np.float64]: ...
    def backward(self, dLdZ: ArrayLike) -> NDArray[np.float64]: ...

class Lintrel:
    stride: int
    pad: int
    lintrel_stride1: Lintrel_stride1
    downsample1d: Downsample1d
    def __init__(
        self,
        in_channels: int,
        out_channels: int,
        kernel_size: int,
        stride: int,
        padding: int = 0,
        weight_init_fn: Callable[[int, int, int], NDArray[np.float64]] | None = None,
        bias_init_fn: Callable[[int], NDArray[np.float64]] | None = None,
    ) -> None: ...
    def forward(self, A: ArrayLike) -> NDArray[np.float64]: ...
    def __call__(self, A: ArrayLike) -> NDArray[np.float64]: ...
    def backward(self, dLdZ: ArrayLike) -> NDArray[np.float64]: ...
