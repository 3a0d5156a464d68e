import os
from collections.abc import Mapping
from typing import IO, Any, Union

import numpy

np = numpy
from numpy.typing import ArrayLike, NDArray

class StateFileError(ValueError): ...

def state_dict(model: object) -> dict[str, NDArray[Any]]: ...
def load_state_dict(
    model: object, state: Mapping[str, ArrayLike], strict: bool = True
) -> tuple[list[str], list[str]]:  # (missing, unexpected)
    ...
def save(model: object, path: Union[str, bytes, os.PathLike[str], os.PathLike[bytes]]) -> None: ...
def load(model: object, path: Union[str, bytes, os.PathLike[str], os.PathLike[bytes], IO[bytes]]) -> None: ...
