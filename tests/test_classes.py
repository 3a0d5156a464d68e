"""Every layer class behaves like a plain Python class.  New layers are appended
to CASES: (module, class, constructor arguments, input shape, forward doc lines,
backward doc lines)."""
import copy
import importlib
import importlib.machinery
import inspect
import pickle

import numpy as np
import pytest

R1 = (("A (np.array): (batch_size, in_channels, input_width)", "Z (np.array): (batch_size, in_channels, output_width)"),
      ("dLdZ (np.array): (batch_size, in_channels, output_width)",
       "dLdA (np.array): (batch_size, in_channels, input_width)"))
R2 = (("A (np.array): (batch_size, in_channels, input_height, input_width)",
       "Z (np.array): (batch_size, in_channels, output_height, output_width)"),
      ("dLdZ (np.array): (batch_size, in_channels, output_height, output_width)",
       "dLdA (np.array): (batch_size, in_channels, input_height, input_width)"))
FL = (("A (np.array): (batch_size, in_channels, in_width)", "Z (np.array): (batch_size, in_channels * in width)"),
      ("dLdZ (np.array): (batch size, in channels * in width)", "dLdA (np.array): (batch size, in channels, in width)"))
CASES = [
    ("quillet.nn.resampling", "Upsample1d", {"upsampling_factor": 2}, (2, 3, 5), *R1),
    ("quillet.nn.resampling", "Downsample1d", {"downsampling_factor": 3}, (2, 3, 5), *R1),
    ("quillet.nn.resampling", "Upsample2d", {"upsampling_factor": 2}, (2, 3, 4, 5), *R2),
    ("quillet.nn.resampling", "Downsample2d", {"downsampling_factor": 2}, (2, 3, 4, 5), *R2),
    ("quillet.flatten", "Flatten", {}, (2, 3, 5), *FL),
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
        for clone in (pickle.loads(pickle.dumps(layer, protocol)), copy.deepcopy(layer)):
            assert type(clone) is cls
            np.testing.assert_equal(state(clone), state(layer))
            assert not any(np.shares_memory(x, y) for x in arrays(state(clone)) for y in arrays(state(layer)))
            if G is not None:
                np.testing.assert_array_equal(clone.backward(G), layer.backward(G))


def test_docs_and_signatures(case):
    _, cls, _, layer, _, fdoc, bdoc = case
    for method, arg, (line_in, line_out) in (("forward", "A", fdoc), ("backward", "dLdZ", bdoc)):
        doc = f"Argument:\n    {line_in}\nReturn:\n    {line_out}"
        assert inspect.getdoc(getattr(cls, method)) == doc == inspect.getdoc(getattr(layer, method))
        assert str(inspect.signature(getattr(layer, method))) == f"({arg})"


def test_calling_conventions(case):
    _, cls, kwargs, layer, A, *_ = case
    Z = layer.forward(A)
    np.testing.assert_array_equal(layer.forward(A=A), Z)
    np.testing.assert_array_equal(cls.forward(layer, A), Z)
    G = np.ones_like(Z)
    np.testing.assert_array_equal(layer.backward(dLdZ=G), layer.backward(G))
    for method, arg, x in (("forward", "A", A), ("backward", "dLdZ", G)):
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

    np.testing.assert_array_equal(Doubled(**kwargs).forward(A), 2 * cls(**kwargs).forward(A))
    assert Doubled.__mro__[1:] == (cls, object)
