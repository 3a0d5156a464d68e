from typing import Any

import numpy

np = numpy
from numpy.typing import NDArray

def parameters(model: object) -> list[tuple[Any, str]]:
    """(owner, name) for every floating-point array owner.<name> with a gradient
    owner.dLd<name> of the same shape, found depth first through the model's
    attributes (objects with a __dict__, lists and tuples), each object once."""

class SGD:
    model: Any
    lr: float
    momentum: float
    weight_decay: float
    nesterov: bool
    state: dict[str, dict[str, NDArray[np.float64]]]  # by dotted path: "momentum_buffer"
    def __init__(
        self, model: object, lr: float, momentum: float = 0.0, weight_decay: float = 0.0, nesterov: bool = False
    ) -> None: ...
    def step(self) -> None: ...
    def zero_grad(self) -> None: ...

class Adam:
    model: Any
    lr: float
    betas: tuple[float, float]
    eps: float
    weight_decay: float
    state: dict[str, dict[str, Any]]  # by dotted path: "step", "exp_avg", "exp_avg_sq"
    def __init__(
        self,
        model: object,
        lr: float = 1e-3,
        betas: tuple[float, float] = (0.9, 0.999),
        eps: float = 1e-8,
        weight_decay: float = 0.0,
    ) -> None: ...
    def step(self) -> None: ...
    def zero_grad(self) -> None: ...

class AdamW:
    model: Any
    lr: float
    betas: tuple[float, float]
    eps: float
    weight_decay: float
    state: dict[str, dict[str, Any]]
    def __init__(
        self,
        model: object,
        lr: float = 1e-3,
        betas: tuple[float, float] = (0.9, 0.999),
        eps: float = 1e-8,
        weight_decay: float = 1e-2,
    ) -> None: ...
    def step(self) -> None: ...
    def zero_grad(self) -> None: ...
