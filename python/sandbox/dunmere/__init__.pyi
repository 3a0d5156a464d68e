import numpy

np = numpy  # bound by the module at import, and re-exported by star imports
from numpy.typing import NDArray

from quillet.flatten import Flatten as Flatten
from quillet.nn.pool import (
    MaxPool2d as MaxPool2d,
    MaxPool2d_stride1 as MaxPool2d_stride1,
    MeanPool2d as MeanPool2d,
    MeanPool2d_stride1 as MeanPool2d_stride1,
)
from quillet.nn.resampling import (
    Downsample1d as Downsample1d,
    Downsample2d as Downsample2d,
    Upsample1d as Upsample1d,
    Upsample2d as Upsample2d,
)

kernel: int
width: int
in_c: int
batch: int
x: NDArray[np.float64]
pool_layer: MeanPool2d_stride1
forward_res: NDArray[np.float64]
backward_res: NDArray[np.float64]
