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


# Reference convolution: every window of the zero-padded input, contracted with
# the kernels by einsum.  Works for any number d of spatial axes (W.ndim - 2).
def _windows(A, k, s):
    d = A.ndim - 2
    if min(A.shape[2:]) < k:  # no window fits along some axis: an empty output
        return np.zeros(A.shape[:2] + tuple(max(n - k, -1) // s + 1 for n in A.shape[2:]) + (k,) * d)
    v = np.lib.stride_tricks.sliding_window_view(A, (k,) * d, axis=tuple(range(2, A.ndim)))
    return v[(slice(None),) * 2 + (slice(None, None, s),) * d]


def _sub(d):
    return "ij"[:d], "pq"[:d]


def corr(A, W, b, s=1, p=0):
    d = W.ndim - 2
    x, t = _sub(d)
    Ap = np.pad(np.asarray(A, dtype=float), [(0, 0)] * 2 + [(p, p)] * d)
    return np.einsum(f"nc{x}{t},oc{t}->no{x}", _windows(Ap, W.shape[-1], s), W, optimize=True) + np.reshape(
        b, (-1,) + (1,) * d)


def corr_grads(A, W, G, s=1, p=0):
    """(dLdA, dLdW, dLdb) of corr for the output gradient G.  dLdA is the full
    correlation of the zero-interleaved gradient with the flipped kernels."""
    d, k = W.ndim - 2, W.shape[-1]
    x, t = _sub(d)
    Ap = np.pad(np.asarray(A, dtype=float), [(0, 0)] * 2 + [(p, p)] * d)
    dW = np.einsum(f"no{x},nc{x}{t}->oc{t}", G, _windows(Ap, k, s), optimize=True)
    Gs = np.zeros(G.shape[:2] + tuple(n - k + 1 for n in Ap.shape[2:]))
    Gs[(slice(None),) * 2 + (slice(None, None, s),) * d] = G
    flipped = np.flip(W, axis=tuple(range(2, W.ndim))).swapaxes(0, 1)
    dAp = corr(np.pad(Gs, [(0, 0)] * 2 + [(k - 1, k - 1)] * d), flipped, np.zeros(W.shape[1]))
    return dAp[(Ellipsis,) + tuple(slice(p, n - p) for n in Ap.shape[2:])], dW, G.sum(axis=(0, *range(2, G.ndim)))


def numgrad(loss, x, eps=1e-6):
    """Central differences of the scalar loss() with respect to the array x, perturbed in place."""
    g = np.zeros(x.shape)
    for i in np.ndindex(x.shape):
        x0 = x[i]
        x[i] = x0 + eps
        up = loss()
        x[i] = x0 - eps
        g[i] = (up - loss()) / (2 * eps)
        x[i] = x0
    return g


def check_gradients(layer, part, A, rng):
    """On a fresh layer, backward(G) and the parameter gradients on `part` (where W
    and b live) match central differences of L = sum(forward(A) * G) in A, W and b."""
    G = rng.standard_normal(layer.forward(A).shape)
    got = np.array(layer.backward(G)), part.dLdW.copy(), part.dLdb.copy()
    loss = lambda: np.vdot(layer.forward(A), G)
    for g, x in zip(got, (A, part.W, part.b)):
        np.testing.assert_allclose(g, numgrad(loss, x), rtol=1e-6, atol=1e-7)
