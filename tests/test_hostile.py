"""Hostile inputs for every public class of the layer, companion and model modules.

A call either returns what the same call returns for a C-contiguous float64
array of the same values (for a method whose result is a view of its argument:
what numpy's own slicing of the argument gives), or raises one of the ordinary
exceptions in OK.  It never crashes, hangs, returns garbage or writes into the
caller's arrays.  Every batch runs in a forked child, so a crash or a hang
fails only its own test and names the last call the child started."""
import contextlib
import fractions
import io
import os
import select
import signal
import time
import traceback

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st
from numpy.testing import assert_allclose, assert_array_equal

from conftest import ZOO, base, bwd, corr, corr_grads, fwd, make

OK = (TypeError, ValueError, IndexError, AttributeError, AssertionError, ZeroDivisionError, MemoryError, OverflowError)
CALLS, LOG = [0], [None]  # hostile calls made (children report theirs), the child's pipe to the parent


def note(desc):
    """Tells the parent which call starts next, so a crash or hang can name it."""
    if LOG[0]:
        LOG[0].write(f"CALL {desc}\n")


def isolated(batch, *args, timeout=15):
    """Runs batch(*args) in a forked child and fails the test if the child crashes, hangs or fails."""
    r, w = os.pipe()
    pid = os.fork()
    if pid == 0:  # the child reports through the pipe and never returns into pytest
        os.close(r)
        LOG[0], start, code = os.fdopen(w, "w", buffering=1), CALLS[0], 0
        try:
            batch(*args)
        except BaseException:
            LOG[0].write("FAIL " + traceback.format_exc())
            code = 1
        LOG[0].write(f"\nDONE {CALLS[0] - start}\n")
        LOG[0].flush()
        os._exit(code)
    os.close(w)
    out, deadline, hung = b"", time.monotonic() + timeout, False
    while True:
        if not select.select([r], [], [], max(0.0, deadline - time.monotonic()))[0]:
            os.kill(pid, signal.SIGKILL)
            hung = True
            break
        chunk = os.read(r, 1 << 16)
        if not chunk:
            break
        out += chunk
    os.close(r)
    status = os.waitpid(pid, 0)[1]
    lines = out.decode(errors="replace").splitlines()
    last = next((x[5:] for x in reversed(lines) if x.startswith("CALL ")), "(no call started)")
    assert not hung, f"hung for {timeout} s in {last}"
    assert not os.WIFSIGNALED(status), f"crashed by signal {os.WTERMSIG(status)} in {last}"
    CALLS[0] += sum(int(x[5:]) for x in lines if x.startswith("DONE "))
    assert status == 0, "\n".join(x for x in lines if not x.startswith(("CALL ", "DONE ")))


@pytest.fixture(scope="module", autouse=True)
def count_calls(request):
    yield
    reporter = request.config.pluginmanager.get_plugin("terminalreporter")
    if reporter:
        reporter.write_line(f"test_hostile: {CALLS[0]} hostile calls")


# ---------------------------------------------------------------- the oracle

def attempt(fn):
    """(True, result) or (False, the allowed exception); any other exception propagates."""
    CALLS[0] += 1
    try:
        return True, fn()
    except OK as e:
        return False, e


def grads(obj, seen=None):
    """Every dLdW and dLdb below obj (parts and lists of parts included), copied."""
    seen, out = seen if seen is not None else set(), {}
    if id(obj) in seen or not type(obj).__module__.startswith(("quillet", "models")):
        return out
    seen.add(id(obj))
    for k, v in vars(obj).items():
        for i, x in enumerate(v if isinstance(v, list) else [v]):
            if k in ("dLdW", "dLdb"):
                out[k] = np.array(x)
            out.update({f"{k}.{i}.{q}": g for q, g in grads(x, seen).items()})
    return out


def run(name, method, X, G, setup=lambda layer: None):
    """A fresh layer's forward(X), or its backward(G) after forward(X); with its parameter gradients."""
    layer = make(name)
    setup(layer)
    with contextlib.redirect_stdout(io.StringIO()):
        Z = fwd(layer, X, G) if name == "CrossEntropyLoss" and method == "backward" else fwd(layer, X)
        return (Z if method == "forward" else bwd(layer, G)), grads(layer)


def fingerprint(x):
    """The bytes (or, for objects, the identities) of the memory under x, its whole base included."""
    if not isinstance(x, np.ndarray):
        return repr(x)
    while isinstance(x.base, np.ndarray):
        x = x.base
    return x.dtype, x.shape, tuple(map(id, x.flat)) if x.dtype.hasobject else x.tobytes()


def real(H):
    """The values of H as a C-contiguous float64 array, or None where numpy finds no real numbers."""
    try:
        a = np.asarray(H)
        return np.array(a, dtype=np.float64) if a.dtype.kind in "biufO" else None
    except (TypeError, ValueError):
        return None


def differ(got, expected):
    """Why two results (arrays or dicts of arrays) differ, or None."""
    try:
        for g, e in ([(got[k], expected[k]) for k in expected] if isinstance(expected, dict) else [(got, expected)]):
            assert np.asarray(g).dtype == np.asarray(e).dtype, f"dtype {np.asarray(g).dtype}, not {np.asarray(e).dtype}"
            assert_array_equal(g, e)
    except (AssertionError, KeyError, TypeError) as e:
        return str(e)[:400]


VIEWS = {("Downsample1d", "forward"): lambda H, X: H[:, :, ::2],
         ("Downsample2d", "forward"): lambda H, X: H[:, :, ::2, ::2],
         ("Upsample2d", "backward"): lambda H, X: H[:, :, ::2, ::2],
         ("Flatten", "forward"): lambda H, X: H.reshape(len(H), int(np.prod(H.shape[1:]))),
         ("Flatten", "backward"): lambda H, X: H.reshape(X.shape)}


def check(name, method, H, setup=lambda layer: None, target=None):
    """One hostile call (H as the input or the gradient, or planted by setup): a failure text, or None."""
    X, G = base(name)
    fp = fingerprint(H)
    ok, got = attempt(lambda: run(name, method, H if method == "forward" else X, H if method == "backward" else G,
                                  lambda layer: setup(layer, H)))
    if fingerprint(H) != fp:
        return "wrote into the caller's array"
    if not ok:
        return None
    view = VIEWS.get((name, method)) if target is None else None
    if view:
        arg = np.asarray(H)
        if isinstance(H, np.ndarray) and name != "Flatten" and not np.shares_memory(got[0], H):
            return "returned a copy where the result is a view"
        return differ(np.asarray(got[0]), view(arg, X))
    r = real(H)
    if r is None:
        return f"returned a result for {np.asarray(H).dtype} values"
    expected = run(name, method, r if method == "forward" and target is None else X,
                   r if method == "backward" and target is None else G, lambda layer: setup(layer, r))
    return differ(got[0], expected[0]) or differ(got[1], expected[1])


# ---------------------------------------------------------------- dtypes, layouts, containers, shapes

def _memmap(a, tmp, mode):
    path = os.path.join(tmp, f"{id(a)}-{mode}.dat")
    np.memmap(path, a.dtype, "w+", shape=a.shape)[...] = a
    return np.memmap(path, a.dtype, mode, shape=a.shape)


def _tuples(x):
    return tuple(map(_tuples, x)) if isinstance(x, list) else x


def _unaligned(a):
    u = np.ndarray(a.shape, a.dtype, np.zeros(a.nbytes + 1, np.uint8), 1)
    u[...] = a
    return u


DTYPES = [bool, "i1", "i2", "i4", "i8", "u1", "u2", "u4", "u8", "f2", "f4", np.longdouble, "c8", "c16",
          np.clongdouble, ">f8", ">i2", ">c16", "U6", "S6", "M8[s]", "m8[s]", [("x", "f8"), ("y", "i4")]]
VARIANTS = {
    **{np.dtype(d).str if np.dtype(d).names is None else "struct":
       (lambda d: lambda a, tmp: a.astype("i8").astype(d) if np.dtype(d).kind in "uiMm" else a.astype(d))(d)
       for d in DTYPES},
    "object floats": lambda a, tmp: a.astype(object), "object ints": lambda a, tmp: a.astype("i8").astype(object),
    "object fractions": lambda a, tmp: np.vectorize(fractions.Fraction, otypes=[object])(a),
    "object strings": lambda a, tmp: a.astype(str).astype(object), "object None": lambda a, tmp: np.full(a.shape, None),
    "object complex": lambda a, tmp: (a + 1j).astype(object),
    "object object()": lambda a, tmp: np.frompyfunc(lambda _: object(), 1, 1)(a),
    "strided": lambda a, tmp: np.repeat(a, 2, axis=-1)[..., ::2], "negative strides": lambda a, tmp: a[::-1, ..., ::-1].copy()[::-1, ..., ::-1],
    "fortran": lambda a, tmp: np.asfortranarray(a), "channels last": lambda a, tmp: np.moveaxis(np.moveaxis(a, 1, -1).copy(), -1, 1),
    "read-only": lambda a, tmp: np.lib.stride_tricks.as_strided(a.copy(), writeable=False),
    "broadcast": lambda a, tmp: np.broadcast_to(a[:1], a.shape), "unaligned": lambda a, tmp: _unaligned(a),
    "memmap r": lambda a, tmp: _memmap(a, tmp, "r"), "memmap r+": lambda a, tmp: _memmap(a, tmp, "r+"),
    "memmap c": lambda a, tmp: _memmap(a, tmp, "c"), "masked": lambda a, tmp: np.ma.masked_less(a, 0),
    "nan and inf": lambda a, tmp: np.where(a > 2, np.inf, np.where(a < -2, np.nan, a)),
    "extremes": lambda a, tmp: a * np.array([1e300, -0.0, 5e-324])[np.arange(a.size) % 3].reshape(a.shape),
    "list": lambda a, tmp: a.tolist(), "tuples": lambda a, tmp: _tuples(a.tolist()), "list of arrays": lambda a, tmp: list(a),
    "0-d": lambda a, tmp: np.array(1.5), "1-d": lambda a, tmp: a.ravel(), "fewer axes": lambda a, tmp: a[0],
    "more axes": lambda a, tmp: a[..., None], "5-d": lambda a, tmp: a.reshape(a.shape[:1] + (1,) * (5 - a.ndim) + a.shape[1:]),
    "float": lambda a, tmp: 3.0, "None": lambda a, tmp: None, "str": lambda a, tmp: "abc", "dict": lambda a, tmp: {},
    "empty list": lambda a, tmp: [], "ragged list": lambda a, tmp: [[1.0], [1.0, 2.0]],
}


@pytest.mark.parametrize("name", ZOO)
def test_dtypes_layouts_and_shapes(name, tmp_path):
    def batch():
        failures = []
        for method in ("forward", "backward"):
            B = base(name)[method == "backward"]
            for label, variant in VARIANTS.items():
                note(f"{name}.{method} given {label}")
                failure = check(name, method, variant(B, str(tmp_path)))
                failures += [f"{name}.{method} given {label}: {failure}"] if failure else []
        assert not failures, "\n".join(failures)
    isolated(batch)
