"""Hostile inputs for every public class of the layer, companion and model modules.

A call returns what the same call returns for a C-contiguous float64 array of
the same values (where the result is a view of the argument: what numpy's own
slicing gives), or raises one of the ordinary exceptions in OK.  It never
crashes, hangs, makes up numbers or writes into the caller's arrays.  Each
batch runs in a forked child, so a crash or a hang fails its own test only and
names the last call the child started."""

import contextlib
import faulthandler
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

# LookupError: IndexError, and the KeyError of a dict put where a list of layers belongs.
OK = (TypeError, ValueError, LookupError, AttributeError, AssertionError, ZeroDivisionError, MemoryError, OverflowError)
SLOW = 4 if "asan" in os.environ.get("LD_PRELOAD", "") else 1  # the sanitizer build is slower
CALLS, LOG = [0], [None]  # hostile calls made (children report theirs), the child's pipe to the parent


def note(desc):
    if LOG[0]:  # tells the parent which call starts next
        LOG[0].write(f"CALL {desc}\n")


def isolated(batch, *args, timeout=10):
    """Runs batch(*args) in a forked child; fails if the child crashes, hangs or fails."""
    r, w = os.pipe()
    pid = os.fork()
    if pid == 0:  # the child reports through the pipe and never returns into pytest
        os.close(r)
        faulthandler.disable()  # the parent names the call that crashed
        LOG[0], start, code = os.fdopen(w, "w", buffering=1), CALLS[0], 0
        try:
            batch(*args)
        except BaseException:
            LOG[0].write("FAIL " + traceback.format_exc())
            code = 1
        LOG[0].write(f"\nDONE {CALLS[0] - start}\n")
        os._exit(code)
    os.close(w)
    out, deadline, hung = b"", time.monotonic() + timeout * SLOW, False
    while not hung:
        hung = not select.select([r], [], [], max(0.0, deadline - time.monotonic()))[0]
        chunk = b"" if hung else os.read(r, 1 << 16)
        if not chunk:
            break
        out += chunk
    if hung:
        os.kill(pid, signal.SIGKILL)
    os.close(r)
    status, lines = os.waitpid(pid, 0)[1], out.decode(errors="replace").splitlines()
    last = next((x[5:] for x in reversed(lines) if x.startswith("CALL ")), "(no call started)")
    assert not hung, f"hung for {timeout * SLOW} s in {last}"
    assert not os.WIFSIGNALED(status), f"crashed by signal {os.WTERMSIG(status)} in {last}"
    CALLS[0] += sum(int(x[5:]) for x in lines if x.startswith("DONE "))
    assert status == 0, "\n".join(x for x in lines if not x.startswith(("CALL ", "DONE ")))


class _Count:  # a plugin, so that the count closes pytest's summary
    def pytest_terminal_summary(self, terminalreporter):
        terminalreporter.write_line(f"test_hostile: {CALLS[0]} hostile calls")


@pytest.fixture(scope="module", autouse=True)
def count_calls(request):
    if not request.config.pluginmanager.has_plugin("hostile-count"):
        request.config.pluginmanager.register(_Count(), "hostile-count")


# ---------------------------------------------------------------- the oracle


def attempt(fn):
    """(True, result) or (False, the allowed exception); any other exception propagates."""
    CALLS[0] += 1
    try:
        return True, fn()
    except OK as e:
        return False, e


def grads(obj, seen=None):
    """Copies of every dLdW and dLdb below obj, through parts and lists of parts."""
    seen, out = seen if seen is not None else set(), {}
    if id(obj) in seen or not type(obj).__module__.startswith(("quillet", "models")):
        return out
    seen.add(id(obj))
    for k, v in vars(obj).items():
        for i, x in enumerate(v if isinstance(v, list) else [v]):
            inner = {f"{k}.{i}.{q}": g for q, g in grads(x, seen).items()}
            out.update({k: np.array(x)} if k in ("dLdW", "dLdb") else inner)
    return out


def run(layer, method, X, G):
    """forward(X), or backward(G) after forward(X); the criterion takes G as its targets."""
    with contextlib.redirect_stdout(io.StringIO()), np.errstate(all="ignore"):
        Z = fwd(layer, X, G) if type(layer).__name__ == "CrossEntropyLoss" and method == "backward" else fwd(layer, X)
        return Z if method == "forward" else bwd(layer, G)


def outcome(name, method, X, G, setup=None, value=None):
    """A fresh layer (value planted by setup) run once: (True, (result, gradients)) or (False, exception)."""
    layer = make(name)
    if setup:
        setup(layer, value)
    ok, got = attempt(lambda: run(layer, method, X, G))
    return ok, ((got, grads(layer)) if ok else got)


def fingerprint(x):
    """The bytes (for objects, the identities) of all the memory under x."""
    while isinstance(x, np.ndarray) and isinstance(x.base, np.ndarray):
        x = x.base
    if not isinstance(x, np.ndarray):
        return repr(x)
    return x.dtype, x.shape, tuple(map(id, x.flat)) if x.dtype.hasobject else x.tobytes()


def real(H):
    """H's values as a C-contiguous float64 array, or None where they are not all real numbers (numpy
    would read None as NaN; strings count when numpy parses them as numbers, as its casts do)."""
    try:
        a = np.asarray(H)
        if a.dtype.kind not in "biufOSU" or a.dtype.hasobject and any(x is None for x in a.flat):
            return None
        return np.array(a, dtype=np.float64)
    except (TypeError, ValueError):
        return None


def differ(got, expected):
    """Why two results (arrays, or dicts of them) differ, or None.  Floating-point values may differ by
    rounding (a fused path and its parts sum in different orders), nothing else."""
    try:
        for g, e in [(got[k], expected[k]) for k in expected] if isinstance(expected, dict) else [(got, expected)]:
            g, e = np.asarray(g), np.asarray(e)
            # A gradient kept in the dtype of a float16/float32 input or weight (like np.zeros_like of it)
            # holds the float64 copy's values to that dtype's precision.
            assert g.dtype == e.dtype or g.dtype.kind == e.dtype.kind == "f", f"dtype {g.dtype}, not {e.dtype}"
            tol = max(1e-12, 50 * float(np.finfo(g.dtype).eps)) if g.dtype.kind == "f" else 0
            (
                assert_allclose(g, e, rtol=tol, atol=tol * max(1.0, float(np.max(np.abs(e), initial=0))))
                if e.dtype.kind == "f"
                else assert_array_equal(g, e)
            )
    except (AssertionError, KeyError, TypeError) as e:
        return str(e)[:300]


VIEWS = {
    ("Downsample1d", "forward"): lambda H, X: H[:, :, ::2],
    ("Downsample2d", "forward"): lambda H, X: H[:, :, ::2, ::2],
    ("Upsample2d", "backward"): lambda H, X: H[:, :, ::2, ::2],
    ("Flatten", "forward"): lambda H, X: H.reshape(len(H), int(np.prod(H.shape[1:]))),
    ("Flatten", "backward"): lambda H, X: H.reshape(X.shape),
}


def check(name, method, H, setup=None):
    """One hostile call, H as the input or the gradient (or planted by setup): a failure text, or None."""
    X, G = base(name)
    fp, fw, bw = fingerprint(H), method == "forward" and not setup, method == "backward" and not setup
    ok, got = outcome(name, method, H if fw else X, H if bw else G, setup, H)
    if fingerprint(H) != fp:
        return "wrote into the caller's array"
    if not ok:
        return None
    if not np.size(H) and (got[0].size if fw else bw and np.any(got[0])):  # nothing in, nothing out
        return f"returned {got[0].shape} values for an empty array"
    view = VIEWS.get((name, method)) if not setup else None
    if view:
        if isinstance(H, np.ndarray) and name != "Flatten" and got[0].size and not np.shares_memory(got[0], H):
            return "returned a copy where the result is a view"
        return differ(np.asarray(got[0]), view(np.asarray(H), X))
    r = real(H)
    if r is None:
        return f"returned a result for values that are not all real numbers ({np.asarray(H).dtype})"
    ok, expected = outcome(name, method, r if fw else X, r if bw else G, setup, r)
    return differ(got[0], expected[0]) or differ(got[1], expected[1]) if ok else "raised only for float64 values"


# ---------------------------------------------------------------- dtypes, layouts, containers, shapes

TMP = [None]  # a directory for the memory-mapped variants


def _memmap(a, mode):
    path = os.path.join(TMP[0], f"{id(a)}-{mode}.dat")
    np.memmap(path, a.dtype, "w+", shape=a.shape)[...] = a
    return np.memmap(path, a.dtype, mode, shape=a.shape)


def _unaligned(a):
    u = np.ndarray(a.shape, a.dtype, np.zeros(a.nbytes + 1, np.uint8), 1)
    u[...] = a
    return u


_tuples = lambda x: tuple(map(_tuples, x)) if isinstance(x, list) else x
_rev = lambda a: a[(slice(None, None, -1),) * a.ndim]
_cast = lambda d: lambda a: a.astype("i8").astype(d) if np.dtype(d).kind in "uiMm" else a.astype(d)
DTYPES = [
    bool,
    "i1",
    "i2",
    "i4",
    "i8",
    "u1",
    "u2",
    "u4",
    "u8",
    "f2",
    "f4",
    np.longdouble,
    "c8",
    "c16",
    np.clongdouble,
    ">f8",
    ">i2",
    ">c16",
    "U6",
    "S6",
    "M8[s]",
    "m8[s]",
    [("x", "f8"), ("y", "i4")],
]
VARIANTS = {
    **{np.dtype(d).str if np.dtype(d).names is None else "structured": _cast(d) for d in DTYPES},
    "object floats": lambda a: a.astype(object),
    "object ints": lambda a: a.astype("i8").astype(object),
    "object Fractions": lambda a: np.vectorize(fractions.Fraction, otypes=[object])(a),
    "object strings": lambda a: a.astype(str).astype(object),
    "object complex": lambda a: (a + 1j).astype(object),
    "object object()": lambda a: np.frompyfunc(lambda _: object(), 1, 1)(a),
    "strided": lambda a: np.repeat(a, 2, axis=-1)[..., ::2],
    "negative strides": lambda a: _rev(_rev(a).copy()),
    "fortran": np.asfortranarray,
    "axes permuted": lambda a: np.moveaxis(np.moveaxis(a, 0, -1).copy(), -1, 0),
    "read-only": lambda a: np.lib.stride_tricks.as_strided(a.copy(), writeable=False),
    "broadcast": lambda a: np.broadcast_to(a[:1], a.shape),
    "unaligned": _unaligned,
    **{f"memmap {mode}": (lambda mode: lambda a: _memmap(a, mode))(mode) for mode in ("r", "r+", "c")},
    "masked": lambda a: np.ma.masked_less(a, 0),
    "nan and inf": lambda a: np.where(a > 2, np.inf, np.where(a < -2, np.nan, a)),
    "extremes": lambda a: a * np.array([1e300, -0.0, 5e-324])[np.arange(a.size) % 3].reshape(a.shape),
    "list": lambda a: a.tolist(),
    "tuples": lambda a: _tuples(a.tolist()),
    "list of arrays": list,
    "0-d": lambda a: np.array(1.5),
    "1-d": np.ravel,
    "fewer axes": lambda a: a[0],
    "more axes": lambda a: a[..., None],
    "5-d": lambda a: a.reshape(a.shape[:1] + (1,) * (5 - a.ndim) + a.shape[1:]),
    "float": lambda a: 3.0,
    "str": lambda a: "abc",
    "dict": lambda a: {},
    "empty list": lambda a: [],
    "ragged list": lambda a: [[1.0], [1.0, 2.0]],
    "empty batch": lambda a: a[:0],
    "empty second axis": lambda a: a[:, :0],
    "empty last axis": lambda a: a[..., :0],
    # nothing to visit, but nominal extents that a loop over them would take hours to walk
    "empty, 2**40 samples": lambda a: np.empty((2**40,) + a.shape[1:-1] + (0,)),
    "empty, 2**40 wide": lambda a: np.empty((0,) + a.shape[1:-1] + (2**40,)),
}


def variants(a):
    """(label, hostile variant of the array a) for every variant that a's number of axes allows."""
    for label, variant in VARIANTS.items():
        try:
            yield label, variant(a)
        except (IndexError, ValueError, MemoryError):  # e.g. no second axis to empty; old NumPy refuses
            pass  # huge empty shapes


def checks(name, trials):
    """check() for every (label, method, value, setup) that trials() yields, in a child; all failures told."""

    def batch():
        failures = []
        for label, method, H, setup in trials():
            note(f"{name}.{method}, {label}")
            failure = check(name, method, H, setup)
            failures += [f"{name}.{method}, {label}: {failure}"] if failure else []
        assert not failures, "\n".join(failures)

    isolated(batch)


METHODS = ("forward", "backward")
WEIGHTED = ["Lintrel_stride1", "Lintrel", "Plantrel_stride1", "Plantrel", "Unfurlet1d", "Unfurlet2d", "Linear"]
_owner = lambda layer: layer if "W" in vars(layer) else next(v for k, v in vars(layer).items() if "_stride1" in k)
_plant = lambda attr: lambda layer, v: setattr(_owner(layer), attr, v)  # the part holding W and b gets v


@pytest.mark.parametrize("name", ZOO)
def test_dtypes_layouts_and_shapes(name, tmp_path):
    TMP[0] = str(tmp_path)
    checks(
        name,
        lambda: ((f"given {label}", m, H, None) for m in METHODS for label, H in variants(base(name)[m == "backward"])),
    )


@pytest.mark.parametrize("name", WEIGHTED)
def test_weights_of_any_dtype_and_layout(name, tmp_path):
    """W and b as a caller may assign them: the float64 copy's results, the caller's array untouched."""
    TMP[0] = str(tmp_path)
    checks(
        name,
        lambda: (
            (f"{attr} = {label}", m, H, _plant(attr))
            for attr in "Wb"
            for m in METHODS
            for label, H in variants(getattr(_owner(make(name)), attr))
        ),
    )


@pytest.mark.parametrize("name", ZOO)
def test_none_is_not_a_number(name):
    """None as the argument, in an object array, or as a bias, is refused, not read as NaN."""
    checks(
        name,
        lambda: (
            [
                (f"given {label}", m, H, None)
                for m in METHODS
                for label, H in (("None", None), ("an array of None", np.full(base(name)[m == "backward"].shape, None)))
            ]
            + [("b = None", m, None, _plant("b")) for m in METHODS if name in WEIGHTED]
        ),
    )


# ---------------------------------------------------------------- attributes replaced by the caller

DELETE, UNSET = object(), object()
GARBAGE = [
    ("'x'", "x"),
    ("None", None),
    ("object()", object()),
    ("{'k': 1}", {"k": 1}),
    ("1j", 1j),
    ("[1, 'a']", [1, "a"]),
    ("deleted", DELETE),
]
ARRAY_GARBAGE = [
    ("an extra axis", lambda v: np.zeros(v.shape + (7,))),
    ("complex", lambda v: v + 1j),
    ("text", lambda v: np.full(v.shape, "x")),
]
# An integer attribute given another value, and the value whose results it may reproduce instead of raising:
# an equal integer, a size beyond every extent (2**62 acts as 2**6), a negative padding (as 0); 0 only has
# to be survived (a kernel of 0 has results of its own, which test_pool checks).
NUMERIC = [
    (0, 0),
    (-1, 0),
    (-3, 0),
    (2.5, None),
    ("2", None),
    (True, 1),
    (np.int64(2), 2),
    (np.uint8(3), 3),
    (2**62, 2**6),
    (2**63, 2**6),
    (2**70, 2**6),
    (-(2**70), -(2**6)),
]
STEPS = ("forward", "backward after the change", "forward", "backward")


def walk(obj, prefix="", seen=None):
    """(dotted path, value) of every instance attribute below obj, through parts and lists of parts."""
    seen = seen if seen is not None else set()
    seen.add(id(obj))
    for k, v in vars(obj).items():
        yield prefix + k, v
        for i, x in enumerate(v) if isinstance(v, list) else [(None, v)]:
            if type(x).__module__.startswith(("quillet", "models")) and id(x) not in seen:
                yield from walk(x, f"{prefix}{k}." + ("" if i is None else f"{i}."), seen)


def steps(name, path=None, value=UNSET):
    """forward, the attribute replaced, backward (of the stored state), forward, backward: the results,
    up to the allowed exception that stops them."""
    layer, (X, G), out = make(name), base(name), []
    ops = [lambda: fwd(layer, X), lambda: bwd(layer, G), lambda: fwd(layer, X), lambda: bwd(layer, G)]
    with contextlib.redirect_stdout(io.StringIO()):
        for i, op in enumerate(ops):
            if i == 1 and value is not UNSET:
                *head, last = path.split(".")
                obj = layer
                for p in head:
                    obj = obj[int(p)] if p.isdigit() else getattr(obj, p)
                delattr(obj, last) if value is DELETE else setattr(obj, last, value)
            ok, got = attempt(op) if value is not UNSET and i else (True, op())
            out.append(got if ok else type(got))
            if not ok:
                break
    return out


def disagreement(got, expected, scale=1.0):
    """Where got departs from expected before an allowed exception stops it, or None."""
    show = lambda x: x.__name__ if isinstance(x, type) else f"{np.shape(x)} array, sum {np.sum(x):.6g}"
    for i, (g, e) in enumerate(zip(got, expected)):
        if isinstance(g, type):
            return None
        # The first forward ran before the change: the scale is not in it.
        if isinstance(e, type) or differ(np.asarray(g) * (scale if i else 1.0), np.asarray(e)):
            return f"{STEPS[i]} gave {show(g)} where an equivalent value gives {show(e)}"


@pytest.mark.parametrize("name", ZOO)
def test_attributes_replaced(name):
    """Any attribute, of a part too, replaced by garbage or deleted, or an integer one given an odd value:
    the layer raises or acts as with an equivalent value; it does not crash, hang or make up numbers."""

    def batch():
        failures, expected, layer = [], steps(name), make(name)
        with contextlib.redirect_stdout(io.StringIO()):
            fwd(layer, base(name)[0])  # so that what forward stores is replaced too
        for path, v in walk(layer):
            trials = [(label, value, None) for label, value in GARBAGE]
            trials += [(label, f(v), None) for label, f in ARRAY_GARBAGE if isinstance(v, np.ndarray)]
            trials += [(repr(value), value, sub) for value, sub in NUMERIC if type(v) is int]
            for label, value, sub in trials:
                note(f"{name}.{path} = {label}")
                got = steps(name, path, value)
                why = disagreement(got, expected)
                if why and sub is not None:  # a mean over a window of side K divides by K**2
                    scale = (float(value) / sub) ** 2 if sub and "MeanPool" in name and path.endswith("kernel") else 1.0
                    why = disagreement(got, steps(name, path, sub), scale)
                failures += [f"{name}.{path} = {label}: {why}"] if why else []
        assert not failures, "\n".join(failures)

    isolated(batch)


def test_wrong_calls_raise_type_error():
    """Argument counts, unknown keywords, foreign instances, uncallable models: TypeError, as in Python."""

    def batch():
        X, (loss, mlp, cnn, simple, dist, lin, relu) = (
            np.ones((4, 3)),
            map(
                make,
                (
                    "CrossEntropyLoss",
                    "MLP",
                    "CNN",
                    "CNN_SimpleScanningMLP",
                    "CNN_DistributedScanningMLP",
                    "Linear",
                    "ReLU",
                ),
            ),
        )
        calls = [
            (loss.forward, (X,), {}),
            (loss.forward, (X, X, X), {}),
            (loss.forward, (X,), {"Z": X}),
            (loss.forward, (), {"A": X}),
            (loss.backward, (X,), {}),
            (loss, (X,), {}),
            (type(loss), (1,), {}),
            (type(mlp), (), {}),
            (type(mlp), ([3], 1), {}),
            (type(mlp), (), {"sizes": [3]}),
            (mlp.init_weights, (), {}),
            (mlp.forward, (), {}),
            (mlp.backward, (X, X), {}),
            (mlp.forward, (), {"Z": X}),
            (type(cnn), (1,) * 11, {}),
            (type(cnn), (1,) * 13, {}),
            (type(cnn), (1,) * 12, {"lr": 1}),
            (cnn.zero_grads, (1,), {}),
            (cnn.step, (), {"lr": 1}),
            (cnn.train, (True,), {}),
            (cnn.eval, (1,), {}),
            (cnn.forward, (), {}),
            (cnn.backward, (), {}),
            (cnn.backward, (X,), {"labels": X}),
            (type(simple), (1,), {}),
            (simple.init_weights, (), {}),
            (simple.forward, (X, X), {}),
            (simple, (X,), {}),
            (dist, (), {}),
            (dist, (X, X), {}),
            (dist.backward, (), {"dLdA": X}),
            (lin, (X, X), {}),
            (relu, (), {}),
            (relu, (), {"Z": X, "A": X}),
            (type(make("Upsample1d")).forward, (make("Downsample1d"), X), {}),
            (type(lin).forward, (object(), X), {}),
            (type(lin).__call__, (relu, X), {}),
            (type(relu).backward, (None, X), {}),
        ]
        for fn, args, kwargs in calls:
            note(f"{getattr(fn, '__qualname__', fn)}(*{len(args)} arguments, **{sorted(kwargs)})")
            ok, got = attempt(lambda: fn(*args, **kwargs))
            assert not ok and type(got) is TypeError, f"{fn}(*{args}, **{kwargs}) gave {got!r}"
        for name in ZOO:  # an instance whose __init__ never ran: raises, or is a stateless class
            note(f"{name}.__new__(...).forward, .backward")
            cls, (A, G) = type(make(name)), base(name)
            for method in ("forward", "backward"):
                ok, got = attempt(lambda: run(cls.__new__(cls), method, A, G))
                assert not ok or not differ(got, run(make(name), method, A, G)), f"{name}.{method}: {got}"

    isolated(batch)


# ---------------------------------------------------------------- pooling and convolution over wild shapes

POOLS = {"MaxPool2d_stride1": np.max, "MeanPool2d_stride1": np.mean, "MaxPool2d": np.max, "MeanPool2d": np.mean}
HUGE = st.sampled_from([2**31, 3 * 2**60, 2**62])
SETTINGS = settings(
    max_examples=150, deadline=None, database=None, derandomize=True, suppress_health_check=list(HealthCheck)
)


def pool_forward(A, k, s, f):
    Z = np.zeros(A.shape[:2] + tuple((n - k) // s + 1 for n in A.shape[2:]))
    for i, j in np.ndindex(Z.shape[2:]):
        Z[:, :, i, j] = f(A[:, :, i * s : i * s + k, j * s : j * s + k], axis=(2, 3))
    return Z


def pool_backward(A, G, k, s, f):
    """The backward of a gradient G of any extent by numpy slicing: windows cut short by the border count
    as they are, windows past it add nothing, and an empty one has no maximum (ValueError)."""
    dA = np.zeros(A.shape)
    for n, c, i, j in np.ndindex(G.shape):
        w = A[n, c, i * s : i * s + k, j * s : j * s + k]
        dA[n, c, i * s : i * s + k, j * s : j * s + k] += G[n, c, i, j] * ((w == w.max()) if f is np.max else 1 / k**2)
    return dA


@pytest.mark.parametrize("name", ["MaxPool2d", "MeanPool2d"])
@pytest.mark.parametrize("stride", [2**62, 3 * 2**60])
def test_gradient_past_the_windows_of_a_huge_stride(name, stride):
    def batch():  # window offsets i * stride past the int64 range
        A, layer = np.arange(20.0).reshape(1, 1, 4, 5), make(name)
        layer.kernel, layer.stride = 2, stride
        layer.forward(A)
        note(f"{name}(2, {stride}) forward on (1, 1, 4, 5), backward of a (1, 1, 4, 4) gradient")
        ok, got = attempt(lambda: layer.backward(np.ones((1, 1, 4, 4))))
        expected = pool_backward(A, np.ones((1, 1, 1, 1)), 2, stride, POOLS[name])  # only window (0, 0) exists
        assert (not ok and name == "MaxPool2d") or (ok and not differ(got, expected)), got

    isolated(batch)


@SETTINGS
@given(
    name=st.sampled_from(sorted(POOLS)),
    nc=st.tuples(st.integers(1, 2), st.integers(1, 2)),
    hw=st.tuples(st.integers(0, 6), st.integers(0, 6)),
    k=st.integers(1, 4),
    s=st.integers(1, 3) | HUGE,
    grow=st.tuples(st.integers(-1, 3), st.integers(-1, 3)),
    kb=st.none() | st.none() | HUGE,
    seed=st.integers(0, 99),
)
def pooling_property(name, nc, hw, k, s, grow, kb, seed):
    """Any window, stride and gradient extent, and a kernel changed before backward: numpy's answer or a raise."""
    import quillet.nn.pool as pool

    s, rng = 1 if name.endswith("stride1") else s, np.random.default_rng(seed)
    layer, A = getattr(pool, name)(*((k,) if name.endswith("stride1") else (k, s))), rng.integers(-2, 3, nc + hw) * 1.0
    out = [(n - k) // s + 1 for n in hw]
    note(f"{name}(k={k}, s={s}) on {A.shape}, gradient grown by {grow}, kernel {kb} for backward")
    ok, Z = attempt(lambda: layer.forward(A))
    assert ok == (min(out) >= 0), f"forward gave {Z!r}"
    if not ok:
        return
    assert_allclose(Z, pool_forward(A, k, s, POOLS[name]), rtol=1e-14)
    G, layer.kernel = rng.integers(-3, 4, nc + tuple(max(n + g, 0) for n, g in zip(out, grow))) * 1.0, kb or k
    try:
        ref = pool_backward(A, G, kb or k, s, POOLS[name])
    except ValueError:
        ref = None
    ok, dA = attempt(lambda: layer.backward(G))
    assert not ok or ref is not None, "backward returned where an empty window has no maximum"
    if ok:
        assert_allclose(dA, ref, rtol=1e-12, atol=1e-12 * np.abs(G).sum() / (kb or k) ** 2)


@SETTINGS
@given(
    name=st.sampled_from(["Lintrel", "Plantrel"]),
    n=st.integers(0, 2),
    c=st.integers(1, 3),
    o=st.integers(1, 3),
    hw=st.tuples(st.integers(0, 7), st.integers(0, 7)),
    k=st.integers(1, 4),
    s=st.integers(1, 3) | HUGE,
    p=st.integers(0, 2),
    seed=st.integers(0, 99),
)
def convolution_property(name, n, c, o, hw, k, s, p, seed):
    """Empty batches, widths, huge strides and paddings: the correlation and its gradients, or a raise."""
    import importlib

    d, rng = 1 + (name == "Plantrel"), np.random.default_rng(seed)
    layer = getattr(importlib.import_module(f"quillet.nn.{name}"), name)(c, o, k, s, p)
    part, A = getattr(layer, name.lower() + "_stride1"), rng.standard_normal((n, c) + hw[:d])
    part.b = rng.standard_normal(o)
    note(f"{name}({c}, {o}, k={k}, s={s}, p={p}) on {A.shape}")
    ok, Z = attempt(lambda: layer.forward(A))
    assert ok == (min(hw[:d]) + 2 * p + 1 >= k), f"forward gave {Z!r}"
    if ok:
        assert_allclose(Z, corr(A, part.W, part.b, s, p), rtol=1e-10, atol=1e-10)
        G = rng.standard_normal(Z.shape)
        ok, dA = attempt(lambda: layer.backward(G))
        assert ok, f"backward raised {dA!r}"
        for got, ref in zip((dA, part.dLdW, part.dLdb), corr_grads(A, part.W, G, s, p)):
            assert_allclose(got, ref, rtol=1e-10, atol=1e-10)


@pytest.mark.parametrize("prop", [pooling_property, convolution_property], ids=["pooling", "convolution"])
def test_properties(prop):
    isolated(prop, timeout=20)
