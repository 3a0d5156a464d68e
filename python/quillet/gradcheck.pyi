from typing import Any

import numpy

np = numpy
from numpy.typing import NDArray

class GradcheckError(AssertionError):
    """A gradient disagrees with central finite differences (or, with
    strict=True, was never exercised); the message is a table of each
    gradient's worst element."""

class GradcheckWarning(UserWarning):
    """The check passed but proved nothing for some tensors: every checked
    element of their gradients was exactly 0 on both sides."""

def gradcheck(
    layer: Any,
    A: NDArray[np.floating[Any]],
    *,
    eps: float = 1e-6,
    atol: float = 1e-5,
    rtol: float = 1e-3,
    raise_exception: bool = True,
    max_elements: int | None = 100_000,
    seed: int | None = None,
    strict: bool = False,
) -> bool: ...
