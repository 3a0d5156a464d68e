import os as os
from collections.abc import Callable, Sequence
from typing import Any, Protocol

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

class _Activation(Protocol):
    def forward(self, x: NDArray[np.float64], /) -> NDArray[Any]: ...
    def backward(self, grad: NDArray[np.float64], /) -> NDArray[Any]: ...

class _Criterion(Protocol):
    def forward(self, A: NDArray[np.float64], Y: NDArray[Any], /) -> NDArray[Any]: ...
    def backward(self) -> NDArray[Any]: ...

class CNN:
    train_mode: bool
    nlayers: int
    activations: Sequence[_Activation]
    criterion: _Criterion
    lr: float
    convolutional_layers: list[Lintrel]
    flatten: Flatten
    output_size: int
    linear_layer: Linear
    saved_activations: list[NDArray[Any]]
    Z: NDArray[np.float64]
    loss: float
    def __init__(
        self,
        input_width: int,
        num_input_channels: int,
        num_channels: Sequence[int],
        kernel_sizes: Sequence[int],
        strides: Sequence[int],
        num_linear_neurons: int,
        activations: Sequence[_Activation],
        conv_weight_init_fn: Callable[[int, int, int], NDArray[np.float64]] | None,
        bias_init_fn: Callable[[int], NDArray[np.float64]] | None,
        linear_weight_init_fn: Callable[[int, int], NDArray[np.float64]] | None,
        criterion: _Criterion,
        lr: float,
    ) -> None: ...
    def forward(self, A: ArrayLike) -> NDArray[np.float64]: ...
    def __call__(self, A: ArrayLike) -> NDArray[np.float64]: ...
    def backward(self, labels: NDArray[Any]) -> NDArray[np.float64]: ...
    def zero_grads(self) -> None: ...
    def step(self) -> None: ...
    def train(self) -> None: ...
    def eval(self) -> None: ...
