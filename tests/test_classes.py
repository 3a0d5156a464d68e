"""Every layer class behaves like a plain Python class.  New layers are appended
to CASES: (module, class, constructor arguments, input shape, forward doc lines,
backward doc lines; their first word names the method's argument)."""

import copy
import importlib
import importlib.machinery
import inspect
import pickle

import numpy as np
import pytest

R1 = (
    ("A (np.array): (batch_size, in_channels, input_width)", "Z (np.array): (batch_size, in_channels, output_width)"),
    (
        "dLdZ (np.array): (batch_size, in_channels, output_width)",
        "dLdA (np.array): (batch_size, in_channels, input_width)",
    ),
)
R2 = (
    (
        "A (np.array): (batch_size, in_channels, input_height, input_width)",
        "Z (np.array): (batch_size, in_channels, output_height, output_width)",
    ),
    (
        "dLdZ (np.array): (batch_size, in_channels, output_height, output_width)",
        "dLdA (np.array): (batch_size, in_channels, input_height, input_width)",
    ),
)
FL = (
    ("A (np.array): (batch_size, in_channels, in_width)", "Z (np.array): (batch_size, in_channels * in width)"),
    ("dLdZ (np.array): (batch size, in channels * in width)", "dLdA (np.array): (batch size, in channels, in width)"),
)
LIN = (
    ("A (np.array): (batch_size, in_features)", "Z (np.array): (batch_size, out_features)"),
    ("dLdZ (np.array): (batch_size, out_features)", "dLdA (np.array): (batch_size, in_features)"),
)
ACT = (
    ("Z (np.array): (batch_size, ...)", "A (np.array): (batch_size, ...), the shape of Z"),
    ("dLdA (np.array): (batch_size, ...)", "dLdZ (np.array): (batch_size, ...), the shape of dLdA"),
)
PL = (
    (
        "A (np.array): (batch_size, in_channels, input_width, input_height)",
        "Z (np.array): (batch_size, out_channels, output_width, output_height)",
    ),
    (
        "dLdZ (np.array): (batch_size, out_channels, output_width, output_height)",
        "dLdA (np.array): (batch_size, in_channels, input_width, input_height)",
    ),
)
C1 = (
    ("A (np.array): (batch_size, in_channels, input_size)", "Z (np.array): (batch_size, out_channels, output_size)"),
    (
        "dLdZ (np.array): (batch_size, out_channels, output_size)",
        "dLdA (np.array): (batch_size, in_channels, input_size)",
    ),
)
C2 = (
    (
        "A (np.array): (batch_size, in_channels, input_height, input_width)",
        "Z (np.array): (batch_size, out_channels, output_height, output_width)",
    ),
    (
        "dLdZ (np.array): (batch_size, out_channels, output_height, output_width)",
        "dLdA (np.array): (batch_size, in_channels, input_height, input_width)",
    ),
)
CONV, INIT = {"in_channels": 3, "out_channels": 2, "kernel_size": 2}, {"weight_init_fn": None, "bias_init_fn": None}
CASES = [
    ("quillet.nn.resampling", "Upsample1d", {"upsampling_factor": 2}, (2, 3, 5), *R1),
    ("quillet.nn.resampling", "Downsample1d", {"downsampling_factor": 3}, (2, 3, 5), *R1),
    ("quillet.nn.resampling", "Upsample2d", {"upsampling_factor": 2}, (2, 3, 4, 5), *R2),
    ("quillet.nn.resampling", "Downsample2d", {"downsampling_factor": 2}, (2, 3, 4, 5), *R2),
    ("quillet.flatten", "Flatten", {}, (2, 3, 5), *FL),
    (
        "quillet.nn.linear",
        "Linear",
        {
            "in_features": 5,
            "out_features": 3,
            "weight_init_fn": lambda o, i: np.arange(o * i).reshape(o, i) / 7,
            "bias_init_fn": lambda o: np.linspace(-1, 1, o),
        },
        (4, 5),
        *LIN,
    ),
    *(("quillet.nn.activation", name, {}, (2, 3, 5), *ACT) for name in ("ReLU", "Sigmoid", "Tanh")),
    ("quillet.nn.pool", "MaxPool2d_stride1", {"kernel": 2}, (2, 3, 4, 5), *PL),
    ("quillet.nn.pool", "MeanPool2d_stride1", {"kernel": 3}, (2, 3, 4, 5), *PL),
    ("quillet.nn.pool", "MaxPool2d", {"kernel": 2, "stride": 2}, (2, 3, 5, 4), *PL),
    ("quillet.nn.pool", "MeanPool2d", {"kernel": 3, "stride": 2}, (2, 3, 7, 5), *PL),
    ("quillet.nn.Lintrel", "Lintrel_stride1", {**CONV, **INIT}, (2, 3, 5), *C1),
    ("quillet.nn.Lintrel", "Lintrel", {**CONV, "stride": 2, "padding": 1, **INIT}, (2, 3, 5), *C1),
    ("quillet.nn.Plantrel", "Plantrel_stride1", {**CONV, **INIT}, (2, 3, 4, 5), *C2),
    ("quillet.nn.Plantrel", "Plantrel", {**CONV, "stride": 2, "padding": 1, **INIT}, (2, 3, 4, 5), *C2),
    ("quillet.nn.Unfurlet", "Unfurlet1d", {**CONV, "upsampling_factor": 2, **INIT}, (2, 3, 5), *C1),
    ("quillet.nn.Unfurlet", "Unfurlet2d", {**CONV, "upsampling_factor": 2, **INIT}, (2, 3, 4, 5), *C2),
]


@pytest.fixture(params=CASES, ids=[c[1] for c in CASES])
def case(request):
    module, name, kwargs, shape, fdoc, bdoc = request.param
    cls = getattr(importlib.import_module(module), name)
    np.random.seed(0)
    return module, cls, kwargs, cls(**kwargs), np.random.default_rng(0).standard_normal(shape), fdoc, bdoc


def state(x):
    """A layer's state as nested plain containers, owned layers included."""
    if isinstance(x, dict):
        return {k: state(v) for k, v in x.items()}
    if isinstance(x, (list, tuple)):
        return [state(v) for v in x]
    return {"class": type(x), **state(vars(x))} if type(x).__module__.startswith(("quillet", "models")) else x


def arrays(s):
    items = s.values() if isinstance(s, dict) else s if isinstance(s, list) else ()
    return [s] if isinstance(s, np.ndarray) else [a for v in items for a in arrays(v)]


def test_class_is_plain(case):
    module, cls, kwargs, *_ = case
    assert cls.__bases__ == (object,) and type(cls) is type
    assert cls.__module__ == module and cls.__qualname__ == cls.__name__
    assert importlib.import_module(module).__file__.endswith(tuple(importlib.machinery.EXTENSION_SUFFIXES))
    assert sorted(n for n in vars(cls) if not n.startswith("__")) == ["backward", "forward"]
    assert ("__init__" in vars(cls)) == bool(kwargs)
    assert not any(isinstance(v, (property, classmethod, staticmethod)) for v in vars(cls).values())
    assert list(inspect.signature(cls).parameters) == list(kwargs)


def test_state_lives_in_instance_dict(case):
    _, cls, kwargs, layer, A, *_ = case
    np.random.seed(0)
    np.testing.assert_equal(state(cls(*kwargs.values())), state(layer))  # by position == by name
    layer.backward(np.ones_like(layer.forward(A)))
    assert not set(dir(layer)) - set(dir(cls)) - set(vars(layer))  # nothing kept outside __dict__
    layer.extra = 1
    assert vars(layer)["extra"] == 1 and layer.__dict__ is vars(layer)


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_pickle_and_deepcopy_round_trip(case, protocol):
    _, cls, _, layer, A, *_ = case
    for stage in ("fresh", "after forward"):
        G = None if stage == "fresh" else np.random.default_rng(1).standard_normal(layer.forward(A).shape)
        clones = (pickle.loads(pickle.dumps(layer, protocol)), copy.deepcopy(layer))
        for clone in clones:
            assert type(clone) is cls
            np.testing.assert_equal(state(clone), state(layer))
            assert not any(np.shares_memory(x, y) for x in arrays(state(clone)) for y in arrays(state(layer)))
        for clone in clones if G is not None else ():  # after the checks: backward may change gradients
            np.testing.assert_array_equal(clone.backward(G), layer.backward(G))


def test_docs_and_signatures(case):
    _, cls, _, layer, _, fdoc, bdoc = case
    for method, (line_in, line_out) in (("forward", fdoc), ("backward", bdoc)):
        arg = line_in.split()[0]
        doc = f"Argument:\n    {line_in}\nReturn:\n    {line_out}"
        assert inspect.getdoc(getattr(cls, method)) == doc == inspect.getdoc(getattr(layer, method))
        assert str(inspect.signature(getattr(layer, method))) == f"({arg})"


def test_calling_conventions(case):
    _, cls, kwargs, layer, A, fdoc, bdoc = case
    fwd, bwd = fdoc[0].split()[0], bdoc[0].split()[0]
    Z = layer.forward(A)
    np.testing.assert_array_equal(layer.forward(**{fwd: A}), Z)
    np.testing.assert_array_equal(cls.forward(layer, A), Z)
    G = np.ones_like(Z)
    np.testing.assert_array_equal(layer.backward(**{bwd: G}), layer.backward(G))
    for method, arg, x in (("forward", fwd, A), ("backward", bwd, G)):
        for args, kw in (((), {}), ((x, x), {}), ((), {"B": x}), ((x,), {arg: x}), ((x,), {"extra": 1})):
            with pytest.raises(TypeError):
                getattr(layer, method)(*args, **kw)
    for args, kw in (((*kwargs.values(), 1), {}), ((), {**kwargs, "bogus": 1})) + (((), {}),) * bool(kwargs):
        with pytest.raises(TypeError):
            cls(*args, **kw)


def test_subclassing(case):
    _, cls, kwargs, _, A, *_ = case

    class Doubled(cls):
        def forward(self, A):
            return 2 * super().forward(A)

    np.random.seed(0)  # the same default weights for both
    doubled = Doubled(**kwargs)
    np.random.seed(0)
    np.testing.assert_array_equal(doubled.forward(A), 2 * cls(**kwargs).forward(A))
    assert Doubled.__mro__[1:] == (cls, object)


def test_tracebacks_name_the_method_that_raised():
    from quillet.nn.resampling import Upsample1d

    with pytest.raises(ValueError) as e:
        Upsample1d(2).forward(np.ones((1, 2)))
    assert e.traceback[-1].name == "quillet.nn.resampling.Upsample1d.forward"
