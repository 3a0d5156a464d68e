import numpy

np = numpy  # bound by the module at import, and re-exported by star imports
from numpy.typing import NDArray

from quillet.flatten import Flatten as Flatten
from quillet.nn.Lintrel import Lintrel as Lintrel, Lintrel_stride1 as Lintrel_stride1
from quillet.nn.Plantrel import Plantrel as Plantrel, Plantrel_stride1 as Plantrel_stride1
from quillet.nn.resampling import (
    Downsample1d as Downsample1d,
    Downsample2d as Downsample2d,
    Upsample1d as Upsample1d,
    Upsample2d as Upsample2d,
)
from quillet.nn.Unfurlet import Unfurlet1d as Unfurlet1d, Unfurlet2d as Unfurlet2d

in_c: int
out_c: int
batch: int
width: int
kernel: int
upsampling_factor: int
x: NDArray[np.float64]

def sandbox_weight_init_fn(out_channels: int, in_channels: int, kernel_size: int) -> NDArray[np.float64]: ...
def sandbox_bias_init_fn(out_channels: int) -> NDArray[np.float64]: ...

unfurlet_1d: Unfurlet1d
y: NDArray[np.float64]
delta: NDArray[np.float64]
conv_backward_res: NDArray[np.float64]
