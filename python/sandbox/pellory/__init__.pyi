import os as os

import numpy

np = numpy  # bound by the module at import, and re-exported by star imports

from models.trawlix import (
    CNN_DistributedScanningMLP as CNN_DistributedScanningMLP,
    CNN_SimpleScanningMLP as CNN_SimpleScanningMLP,
)
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
