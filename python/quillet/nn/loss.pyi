import numpy

np = numpy  # bound by the module at import, and re-exported by star imports
from numpy.typing import ArrayLike, NDArray

class CrossEntropyLoss:
    A: NDArray[np.float64]
    Y: NDArray[np.float64]
    softmax: NDArray[np.float64]
    def forward(self, A: ArrayLike, Y: ArrayLike) -> NDArray[np.float64]: ...
    def __call__(self, A: ArrayLike, Y: ArrayLike) -> NDArray[np.float64]: ...
    def backward(self) -> NDArray[np.float64]: ...
