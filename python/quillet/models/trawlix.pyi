import os as os
from collections.abc import Sequence

import numpy

np = numpy  # bound by the module at import, and re-exported by star imports
from numpy.typing import ArrayLike, NDArray

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

class CNN_SimpleScanningMLP:
    conv1: Lintrel
    conv2: Lintrel
    conv3: Lintrel
    layers: list[Lintrel | ReLU | Flatten]
    def __init__(self) -> None: ...
    def init_weights(self, weights: Sequence[NDArray[np.float64]]) -> None: ...
    def forward(self, A: ArrayLike) -> NDArray[np.float64]: ...
    def backward(self, dLdZ: ArrayLike) -> NDArray[np.float64]: ...

class CNN_DistributedScanningMLP:
    conv1: Lintrel
    conv2: Lintrel
    conv3: Lintrel
    layers: list[Lintrel | ReLU | Flatten]
    def __init__(self) -> None: ...
    def __call__(self, A: ArrayLike) -> NDArray[np.float64]: ...
    def init_weights(self, weights: Sequence[NDArray[np.float64]]) -> None: ...
    def forward(self, A: ArrayLike) -> NDArray[np.float64]: ...
    def backward(self, dLdZ: ArrayLike) -> NDArray[np.float64]: ...
