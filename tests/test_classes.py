"""Every layer class behaves like a plain Python class: the plain layers of
conftest.ZOO, with their constructor arguments by name and their forward and
backward doc lines (whose first word names the method's argument)."""

import copy
import importlib
import importlib.machinery
import inspect
import pickle

import numpy as np
import pytest

from conftest import PLAIN, ZOO


@pytest.fixture(params=PLAIN)
def case(request):
    layer = ZOO[request.param]
    module, kwargs, (fdoc, bdoc) = layer.module, layer.kwargs, layer.docs
    cls = getattr(importlib.import_module(module), request.param)
    np.random.seed(0)
    return module, cls, kwargs, cls(**kwargs), np.random.default_rng(0).standard_normal(layer.shape), fdoc, bdoc


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
