import numpy as np
import pytest

# Hostile variants of a float64 array holding the same values (as far as the
# dtype allows): other dtypes, strides, memory and byte orders, a Python list.
LAYOUTS = {
    "int64": lambda a: a.round().astype(np.int64),
    "int8": lambda a: a.round().clip(-9, 9).astype(np.int8),
    "float32": lambda a: a.astype(np.float32),
    "bool": lambda a: a > 0,
    "object": lambda a: a.astype(object),
    "strided": lambda a: np.repeat(a, 2, axis=-1)[..., ::2],
    "negative_stride": lambda a: np.ascontiguousarray(a[..., ::-1])[..., ::-1],
    "fortran": np.asfortranarray,
    "readonly": lambda a: np.lib.stride_tricks.as_strided(a.copy(), writeable=False),
    "big_endian": lambda a: a.astype(">f8"),
    "nonfinite": lambda a: np.where(a > 2, np.inf, np.where(a < -2, np.nan, a)),
    "list": lambda a: a.tolist(),
}


@pytest.fixture(params=sorted(LAYOUTS))
def layout(request):
    return LAYOUTS[request.param]


@pytest.fixture
def rng():
    return np.random.default_rng(1234)
