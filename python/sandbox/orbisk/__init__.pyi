import os as os

import numpy

np = numpy  # bound by the module at import, and re-exported by star imports
from numpy.typing import NDArray

from models.cnn import CNN as CNN
from quillet.flatten import Flatten as Flatten
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
from quillet.nn.Lintrel import Lintrel as Lintrel, Lintrel_stride1 as Lintrel_stride1
from quillet.nn.loss import CrossEntropyLoss as CrossEntropyLoss, MSELoss as MSELoss
from quillet.nn.resampling import (
    Downsample1d as Downsample1d,
    Downsample2d as Downsample2d,
    Upsample1d as Upsample1d,
    Upsample2d as Upsample2d,
)

def sandbox_cnn_weight_init(out_channels: int, in_channels: int, kernel_size: int) -> NDArray[np.float64]: ...
def sandbox_linear_weight_init(out_channels: int, in_channels: int) -> NDArray[np.float64]: ...
def sandbox_bias_init(out_channels: int) -> NDArray[np.float64]: ...

input_width: int
num_input_channels: int
num_channels: list[int]
kernel_sizes: list[int]
model: CNN
batch_size: int
x: NDArray[np.float64]
y: NDArray[np.float64]
delta: NDArray[np.float64]
dx: NDArray[np.float64]
