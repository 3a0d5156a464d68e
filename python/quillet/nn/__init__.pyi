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
from quillet.nn.batchnorm import (
    BatchNorm1d as BatchNorm1d,
    BatchNorm2d as BatchNorm2d,
)
from quillet.nn.dropout import Dropout as Dropout
from quillet.nn.linear import Linear as Linear
from quillet.nn.Lintrel import (
    Lintrel as Lintrel,
    Lintrel_stride1 as Lintrel_stride1,
)
from quillet.nn.loss import (
    CrossEntropyLoss as CrossEntropyLoss,
    MSELoss as MSELoss,
)
from quillet.nn.Plantrel import (
    Plantrel as Plantrel,
    Plantrel_stride1 as Plantrel_stride1,
)
from quillet.nn.pool import (
    MaxPool2d as MaxPool2d,
    MaxPool2d_stride1 as MaxPool2d_stride1,
    MeanPool2d as MeanPool2d,
    MeanPool2d_stride1 as MeanPool2d_stride1,
)
from quillet.nn.resampling import (
    Downsample1d as Downsample1d,
    Downsample2d as Downsample2d,
    Upsample1d as Upsample1d,
    Upsample2d as Upsample2d,
)
from quillet.nn.rnn import (
    GRU as GRU,
    LSTM as LSTM,
    RNN as RNN,
    Embedding as Embedding,
    GRUCell as GRUCell,
    LSTMCell as LSTMCell,
    RNNCell as RNNCell,
)
from quillet.nn.sequential import Sequential as Sequential
from quillet.nn.Unfurlet import (
    Unfurlet1d as Unfurlet1d,
    Unfurlet2d as Unfurlet2d,
)

__all__ = [
    "Upsample1d",
    "Downsample1d",
    "Upsample2d",
    "Downsample2d",
    "Lintrel_stride1",
    "Lintrel",
    "Plantrel_stride1",
    "Plantrel",
    "Unfurlet1d",
    "Unfurlet2d",
    "MaxPool2d_stride1",
    "MeanPool2d_stride1",
    "MaxPool2d",
    "MeanPool2d",
    "Flatten",
    "Linear",
    "ReLU",
    "Sigmoid",
    "Tanh",
    "LeakyReLU",
    "GELU",
    "Softmax",
    "Identity",
    "BatchNorm1d",
    "BatchNorm2d",
    "Dropout",
    "CrossEntropyLoss",
    "MSELoss",
    "Sequential",
    "RNN",
    "GRU",
    "LSTM",
    "RNNCell",
    "GRUCell",
    "LSTMCell",
    "Embedding",
]
