from typing import Any

import numpy

np = numpy
from numpy.typing import NDArray

class GradcheckError(AssertionError):
    """A gradient disagrees with central finite differences; the message is a
    table of each gradient's worst element."""

def gradcheck(
    layer: Any,
    A: NDArray[np.floating[Any]],
    *,
    eps: float = 1e-6,
    atol: float = 1e-5,
    rtol: float = 1e-3,
    raise_exception: bool = True,
    max_elements: int | None = 128,
) -> bool: ...
