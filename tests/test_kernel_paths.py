"""Each convolution strategy (direct loops, blocked GEMM, im2col + BLAS, minimal
filtering for 3x3 filters at stride 1), forced in turn, against the einsum
reference of conftest, on shapes chosen to be awkward for it: prime and odd
batches, output rows that fill no tile of columns, tap and filter counts past
the sizes where the automatic choice switches to the BLAS, several batch
chunks per thread, a partial last chunk, strides, padding, one and two
dimensions, and the transposed layers, which run the same kernels inside.
Two threads are asked for explicitly, so the per-thread chunking of the
weight gradients runs whatever the machine."""

import contextlib
import io

import numpy as np
import pytest
from numpy.testing import assert_allclose

import quillet
from conftest import corr, corr_grads, owner
from quillet.nn.Lintrel import Lintrel
from quillet.nn.Plantrel import Plantrel
from quillet.nn.Unfurlet import Unfurlet1d, Unfurlet2d


def close(got, ref, rtol=1e-10):
    """got == ref to rtol, measured against the largest reference value (sums of
    thousands of products cancel down to values far below their terms)."""
    assert got.shape == ref.shape
    assert_allclose(got, ref, rtol=rtol, atol=rtol * np.abs(ref).max())


@pytest.fixture(params=["direct", "blocked", "blas", "winograd"])
def path(request, two_threads):
    quillet._force_conv_path(request.param)
    try:
        yield request.param
    finally:
        quillet._force_conv_path(None)


# name: (class, constructor arguments, input shape).  Blocked weight-gradient
# chunks hold at most 65536 doubles of column matrix ((c*k*k + 1) rows, one
# column per output position of a sample), BLAS chunks at most 2**20.
CASES = {
    # 7 samples of 22 positions at stride 2: 154 columns, no whole number of tiles at any level
    "1d strided padded": (Lintrel, (3, 5, 4, 2, 1), (7, 3, 45)),
    # 2051 column rows, 201 positions: 412251 doubles a sample, so 5 blocked chunks over 2 threads
    # (3 on the first) and BLAS chunks of 2, 2 and 1 samples
    "1d 2050 taps": (Lintrel, (410, 3, 5, 1, 0), (5, 410, 205)),
    # 17 x 19 outputs of 73 rows: 23579 doubles a sample, blocked chunks of 2, 2, 2, 2 and 1 samples
    "2d padded": (Plantrel, (8, 4, 3, 1, 1), (9, 8, 17, 19)),
    # 5 x 20 outputs at stride 2: rows long enough for whole tiles, strided
    "2d strided padded": (Plantrel, (5, 3, 3, 2, 1), (2, 5, 9, 40)),
    "2d 2070 taps": (Plantrel, (230, 2, 3, 2, 1), (3, 230, 5, 5)),
    # 2 filters: a short last panel at every level, so row tiles go in pairs along 70 positions
    "2d two filters": (Plantrel, (4, 2, 3, 1, 1), (3, 4, 9, 70)),
    "2d 520 filters": (Plantrel, (1, 520, 2, 1, 0), (2, 1, 4, 5)),
    # 3x3 at stride 1, 61 x 18 outputs.  Tiles of 4 x 4 outputs in double: 16 rows of 5, taken 6
    # rows at a time (6, 6, 4), the last tile of a row half outside, the last row of tiles one
    # output tall; dA, 63 x 20, likewise in bands of 6, 6 and 4, its last row of tiles 3 tall.
    # Tiles of 2 x 2 in float: 31 rows of 9, taken 14 rows at a time (14, 14, 3), the last row
    # of tiles half outside; dA 32 rows of 10 (12, 12, 8).
    "2d 3x3 in bands": (Plantrel, (3, 5, 3, 1, 1), (2, 3, 61, 18)),
    # 3x3 at stride 1, 13 x 12 outputs: rows too short for a vector of 4 x 4 tiles, so that
    # double takes 2 x 2 ones too
    "2d 3x3 narrow": (Plantrel, (3, 4, 3, 1, 1), (3, 3, 13, 12)),
    "transposed 1d": (Unfurlet1d, (4, 5, 3, 2), (3, 4, 9)),
    "transposed 2d": (Unfurlet2d, (6, 4, 3, 3), (3, 6, 7, 6)),
}


def upsampled(A, f):
    """A with f - 1 zeros between neighbours along every spatial axis."""
    U = np.zeros(A.shape[:2] + tuple((n - 1) * f + 1 for n in A.shape[2:]))
    U[(Ellipsis,) + (slice(None, None, f),) * (A.ndim - 2)] = A
    return U


@pytest.mark.parametrize("case", list(CASES))
def test_forward_and_gradients_match_the_reference(case, path, rng):
    cls, args, shape = CASES[case]
    layer = cls(*args)
    part = owner(layer)
    part.W = rng.standard_normal(part.W.shape)
    part.b = rng.standard_normal(part.b.shape)
    A = rng.standard_normal(shape)
    d = A.ndim - 2
    with contextlib.redirect_stdout(io.StringIO()):  # Unfurlet2d reports its factor
        Z = layer.forward(A)
    if cls in (Unfurlet1d, Unfurlet2d):
        f = args[3]
        X, s, p, keep = upsampled(A, f), 1, 0, (Ellipsis,) + (slice(None, None, f),) * d
    else:
        X, s, p, keep = A, args[3], args[4], Ellipsis
    close(Z, corr(X, part.W, part.b, s, p))
    G = rng.standard_normal(Z.shape)
    dA = layer.backward(G)
    dX, dW, db = corr_grads(X, part.W, G, s, p)
    close(dA, dX[keep])
    close(part.dLdW, dW)
    close(part.dLdb, db)


# Output rows of every width around the vector lengths (4, 8 and 16 doubles or
# floats): the blocked weight gradients of stride-1 rows take whole vectors
# along a row and one last vector that ends at the row's end, overlapping the
# one before it.  Filter and tap counts leave partial register blocks.
@pytest.mark.parametrize("dtype, rtol", [(np.float64, 1e-10), (np.float32, 2e-5)])
@pytest.mark.parametrize("wo", [3, 4, 5, 7, 8, 9, 15, 16, 17, 31, 33])
def test_stride1_weight_gradients_of_every_row_width(wo, dtype, rtol, rng, two_threads):
    quillet._force_conv_path("blocked")
    try:
        with quillet.default_dtype(dtype):
            for layer, shape in (
                (Lintrel(7, 5, 3, 1, 0), (5, 7, wo + 2)),
                (Plantrel(3, 7, 2, 1, 0), (3, 3, 4, wo + 1)),
            ):
                part = getattr(layer, "lintrel_stride1", None) or layer.plantrel_stride1
                A = rng.standard_normal(shape).astype(dtype)
                # The last position of every row is large: counting it twice would show.
                A[..., -1] = 1e3
                Z = layer.forward(A)
                G = rng.standard_normal(Z.shape).astype(dtype)
                layer.backward(G)
                dX, dW, db = corr_grads(A.astype(float), part.W.astype(float), G.astype(float))
                assert part.dLdW.dtype == dtype
                close(part.dLdW, dW, rtol)
                close(part.dLdb, db, rtol)
    finally:
        quillet._force_conv_path(None)


# Minimal filtering mixes neighbouring inputs before it multiplies: an infinity
# there would give NaNs where the sums of products give infinities.  Such
# inputs go another way, so that infinities and NaNs fall where the blocked
# sums put them, in the output and both gradients, in either precision.
@pytest.mark.parametrize("where", ["A", "W", "dZ"])
def test_infinities_land_where_the_sums_put_them(where, two_threads):
    def run(dtype):
        np.random.seed(0)
        with quillet.default_dtype(dtype):
            layer = Plantrel(16, 32, 3, 1, 1)
            A = np.random.default_rng(5).standard_normal((2, 16, 32, 32)).astype(dtype)
            if where == "A":
                A[0, 3, 10, 10], A[1, 2, 5, 7] = np.inf, np.nan
            if where == "W":
                layer.plantrel_stride1.W[3, 2, 1, 1] = -np.inf
            Z = layer.forward(A)
            G = np.random.default_rng(1).standard_normal(Z.shape).astype(dtype)
            if where == "dZ":
                G[0, 4, 9, 9] = np.inf
            return Z, layer.backward(G), layer.plantrel_stride1.dLdW

    quillet._force_conv_path("blocked")
    try:
        sums = run(np.float64)
    finally:
        quillet._force_conv_path(None)
    assert not all(np.isfinite(x).all() for x in sums)
    for want, got in zip(sums * 2, run(np.float64) + run(np.float32)):
        np.testing.assert_array_equal(np.isnan(got), np.isnan(want))
        np.testing.assert_array_equal(np.isposinf(got), np.isposinf(want))
        np.testing.assert_array_equal(np.isneginf(got), np.isneginf(want))


# Rows that fill whole tiles, read in place; and weights near the top of the
# range, whose products the transforms add up to 36 at a time and scale by up
# to 8, so that their sums overflow where the direct sums stay finite: such
# calls go the blocked way too.
@pytest.mark.parametrize(
    "dtype, scale",
    [(np.float64, 1.0), (np.float64, 3e305), (np.float64, 1e306), (np.float64, 3e306)]
    + [(np.float32, 1.0), (np.float32, 1e36)],
)
def test_minimal_filtering_matches_the_blocked_path_up_to_overflow(dtype, scale, two_threads):
    def run():
        np.random.seed(0)
        with quillet.default_dtype(dtype):
            layer = Plantrel(16, 32, 3, 1, 1)
            layer.plantrel_stride1.W = (layer.plantrel_stride1.W * scale).astype(dtype)
            A = np.random.default_rng(5).standard_normal((2, 16, 20, 24)).astype(dtype)
            Z = layer.forward(A)
            G = np.random.default_rng(1).standard_normal(Z.shape).astype(dtype)
            return Z, layer.backward(G)

    quillet._force_conv_path("blocked")
    try:
        sums = run()
    finally:
        quillet._force_conv_path(None)
    for want, got in zip(sums, run()):
        for same in (np.isnan, np.isposinf, np.isneginf):
            np.testing.assert_array_equal(same(got), same(want))
        finite = np.isfinite(want)
        assert finite.any()
        close(got[finite], want[finite], 1e-10 if dtype == np.float64 else 2e-5)
