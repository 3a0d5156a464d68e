# The very objects of quillet.models.cnn.
import os as os

import numpy

np = numpy
from quillet.models.cnn import (
    CNN as CNN,
    GELU as GELU,
    CrossEntropyLoss as CrossEntropyLoss,
    Downsample1d as Downsample1d,
    Downsample2d as Downsample2d,
    Flatten as Flatten,
    Identity as Identity,
    LeakyReLU as LeakyReLU,
    Linear as Linear,
    Lintrel as Lintrel,
    Lintrel_stride1 as Lintrel_stride1,
    MSELoss as MSELoss,
    ReLU as ReLU,
    Sigmoid as Sigmoid,
    Softmax as Softmax,
    Tanh as Tanh,
    Upsample1d as Upsample1d,
    Upsample2d as Upsample2d,
)
