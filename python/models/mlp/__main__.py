# `python -m models.mlp`: builds the example network, printing nothing.
from models.mlp import _main

_main()
