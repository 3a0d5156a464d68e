# The very objects of quillet.models.mlp.
import numpy

np = numpy
from quillet.models.mlp import (
    GELU as GELU,
    MLP as MLP,
    Identity as Identity,
    LeakyReLU as LeakyReLU,
    Linear as Linear,
    ReLU as ReLU,
    Sigmoid as Sigmoid,
    Softmax as Softmax,
    Tanh as Tanh,
    _main as _main,
)
