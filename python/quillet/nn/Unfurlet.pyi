from collections.abc import Callable

import numpy

np = numpy  # bound by the module at import, and re-exported by star imports
from numpy.typing import ArrayLike, NDArray

from .Lintrel import Lintrel as Lintrel, Lintrel_stride1 as Lintrel_stride1
from .Plantrel import Plantrel as Plantrel, Plantrel_stride1 as Plantrel_stride1
from .resampling import (
    Downsample1d as Downsample1d,
    Downsample2d as Downsample2d,
    Upsample1d as Upsample1d,
    Upsample2d as Upsample2d,
)

class Unfurlet1d:
    upsampling_factor: int
    upsample1d: Upsample1d
    lintrel_stride1: Lintrel_stride1
    def __init__(
        self,
        in_channels: int,
        out_channels: int,
        kernel_size: int,
        upsampling_factor: int,
        weight_init_fn: Callable[[int, int, int], NDArray[np.float64]] | None = None,
        bias_init_fn: Callable[[int], NDArray[np.float64]] | None = None,
    ) -> None: ...
    def forward(self, A: ArrayLike) -> NDArray[np.float64]: ...
    def __call__(self, A: ArrayLike) -> NDArray[np.float64]: ...
    def backward(self, dLdZ: ArrayLike) -> NDArray[np.float64]: ...

class Unfurlet2d:
    upsampling_factor: int
    plantrel_stride1: Plantrel_stride1
    upsample2d: Upsample2d
    def __init__(
        self,
        in_channels: int,
        out_channels: int,
        kernel_size: int,
        upsampling_factor: int,
        weight_init_fn: Callable[[int, int, int, int], NDArray[np.float64]] | None = None,
        bias_init_fn: Callable[[int], NDArray[np.float64]] | None = None,
    ) -> None: ...
    def forward(self, A: ArrayLike) -> NDArray[np.float64]: ...
    def __call__(self, A: ArrayLike) -> NDArray[np.float64]: ...
    def backward(self, dLdZ: ArrayLike) -> NDArray[np.float64]: ...
