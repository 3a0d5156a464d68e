from typing import Any

import numpy

np = numpy  # bound by the module at import, and re-exported by star imports
from numpy.typing import ArrayLike, NDArray

class Flatten:
    original_shape: tuple[int, ...]
    def forward(self, A: ArrayLike) -> NDArray[Any]: ...
    def __call__(self, A: ArrayLike) -> NDArray[Any]: ...
    def backward(self, dLdZ: ArrayLike) -> NDArray[Any]: ...
