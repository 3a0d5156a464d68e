from typing import Any

import numpy

np = numpy  # bound by the module at import
from numpy.typing import ArrayLike, NDArray

_F = NDArray[np.float64]

# The sequence layers' parameters are named per layer and direction: W_ih_l0,
# b_hh_l1_reverse, dLdW_ih_l0, ...; the first layer's are declared here.
class RNN:
    input_size: int
    hidden_size: int
    num_layers: int
    nonlinearity: str
    bias: bool
    batch_first: bool
    bidirectional: bool
    W_ih_l0: _F
    W_hh_l0: _F
    b_ih_l0: _F
    b_hh_l0: _F
    dLdW_ih_l0: _F
    dLdW_hh_l0: _F
    dLdb_ih_l0: _F
    dLdb_hh_l0: _F
    dLdh0: _F
    cache: tuple[Any, ...]
    def __init__(
        self,
        input_size: int,
        hidden_size: int,
        num_layers: int = 1,
        nonlinearity: str = "tanh",
        bias: bool = True,
        batch_first: bool = False,
        bidirectional: bool = False,
    ) -> None: ...
    def forward(self, X: ArrayLike, h0: ArrayLike | None = None) -> tuple[_F, _F]: ...
    def __call__(self, X: ArrayLike, h0: ArrayLike | None = None) -> tuple[_F, _F]: ...
    def backward(self, dLdY: ArrayLike, dLdh_n: ArrayLike | None = None) -> _F: ...

class GRU:
    input_size: int
    hidden_size: int
    num_layers: int
    bias: bool
    batch_first: bool
    bidirectional: bool
    W_ih_l0: _F
    W_hh_l0: _F
    b_ih_l0: _F
    b_hh_l0: _F
    dLdW_ih_l0: _F
    dLdW_hh_l0: _F
    dLdb_ih_l0: _F
    dLdb_hh_l0: _F
    dLdh0: _F
    cache: tuple[Any, ...]
    def __init__(
        self,
        input_size: int,
        hidden_size: int,
        num_layers: int = 1,
        bias: bool = True,
        batch_first: bool = False,
        bidirectional: bool = False,
    ) -> None: ...
    def forward(self, X: ArrayLike, h0: ArrayLike | None = None) -> tuple[_F, _F]: ...
    def __call__(self, X: ArrayLike, h0: ArrayLike | None = None) -> tuple[_F, _F]: ...
    def backward(self, dLdY: ArrayLike, dLdh_n: ArrayLike | None = None) -> _F: ...

class LSTM:
    input_size: int
    hidden_size: int
    num_layers: int
    bias: bool
    batch_first: bool
    bidirectional: bool
    W_ih_l0: _F
    W_hh_l0: _F
    b_ih_l0: _F
    b_hh_l0: _F
    dLdW_ih_l0: _F
    dLdW_hh_l0: _F
    dLdb_ih_l0: _F
    dLdb_hh_l0: _F
    dLdh0: _F
    dLdc0: _F
    cache: tuple[Any, ...]
    def __init__(
        self,
        input_size: int,
        hidden_size: int,
        num_layers: int = 1,
        bias: bool = True,
        batch_first: bool = False,
        bidirectional: bool = False,
    ) -> None: ...
    def forward(self, X: ArrayLike, hx: tuple[ArrayLike, ArrayLike] | None = None) -> tuple[_F, tuple[_F, _F]]: ...
    def __call__(self, X: ArrayLike, hx: tuple[ArrayLike, ArrayLike] | None = None) -> tuple[_F, tuple[_F, _F]]: ...
    def backward(self, dLdY: ArrayLike, dLdh_n: ArrayLike | None = None, dLdc_n: ArrayLike | None = None) -> _F: ...

class RNNCell:
    input_size: int
    hidden_size: int
    bias: bool
    nonlinearity: str
    W_ih: _F
    W_hh: _F
    b_ih: _F
    b_hh: _F
    dLdW_ih: _F
    dLdW_hh: _F
    dLdb_ih: _F
    dLdb_hh: _F
    stack: list[tuple[Any, ...]]
    def __init__(self, input_size: int, hidden_size: int, bias: bool = True, nonlinearity: str = "tanh") -> None: ...
    def forward(self, x: ArrayLike, h: ArrayLike | None = None) -> _F: ...
    def __call__(self, x: ArrayLike, h: ArrayLike | None = None) -> _F: ...
    def backward(self, dLdh: ArrayLike) -> tuple[_F, _F]: ...

class GRUCell:
    input_size: int
    hidden_size: int
    bias: bool
    W_ih: _F
    W_hh: _F
    b_ih: _F
    b_hh: _F
    dLdW_ih: _F
    dLdW_hh: _F
    dLdb_ih: _F
    dLdb_hh: _F
    stack: list[tuple[Any, ...]]
    def __init__(self, input_size: int, hidden_size: int, bias: bool = True) -> None: ...
    def forward(self, x: ArrayLike, h: ArrayLike | None = None) -> _F: ...
    def __call__(self, x: ArrayLike, h: ArrayLike | None = None) -> _F: ...
    def backward(self, dLdh: ArrayLike) -> tuple[_F, _F]: ...

class LSTMCell:
    input_size: int
    hidden_size: int
    bias: bool
    W_ih: _F
    W_hh: _F
    b_ih: _F
    b_hh: _F
    dLdW_ih: _F
    dLdW_hh: _F
    dLdb_ih: _F
    dLdb_hh: _F
    stack: list[tuple[Any, ...]]
    def __init__(self, input_size: int, hidden_size: int, bias: bool = True) -> None: ...
    def forward(self, x: ArrayLike, hc: tuple[ArrayLike, ArrayLike] | None = None) -> tuple[_F, _F]: ...
    def __call__(self, x: ArrayLike, hc: tuple[ArrayLike, ArrayLike] | None = None) -> tuple[_F, _F]: ...
    def backward(self, dLdh: ArrayLike, dLdc: ArrayLike | None = None) -> tuple[_F, tuple[_F, _F]]: ...

class Embedding:
    num_embeddings: int
    embedding_dim: int
    padding_idx: int | None
    W: _F
    dLdW: _F
    indices: NDArray[np.int64]
    def __init__(self, num_embeddings: int, embedding_dim: int, padding_idx: int | None = None) -> None: ...
    def forward(self, indices: ArrayLike) -> _F: ...
    def __call__(self, indices: ArrayLike) -> _F: ...
    def backward(self, dLdZ: ArrayLike) -> None: ...
