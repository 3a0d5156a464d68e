import numpy

np = numpy  # bound by the module at import, and re-exported by star imports
from numpy.typing import NDArray

from quillet.flatten import Flatten as Flatten
from quillet.nn.resampling import (
    Downsample1d as Downsample1d,
    Downsample2d as Downsample2d,
    Upsample1d as Upsample1d,
    Upsample2d as Upsample2d,
)

in_c: int
out_c: int
batch: int
input_width: int
kernel: int
x: NDArray[np.float64]
upsampling_factor: int
upsample_1d: Upsample1d
forward_res: NDArray[np.float64]
backward_res: NDArray[np.float64]
