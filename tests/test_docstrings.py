"""Every public class explains itself: a docstring whose first line says what
it computes and whose example runs, and a repr that reads like its
constructor call."""

import contextlib
import doctest
import importlib
import io

import numpy as np
import pytest

from conftest import ZOO, make

MODULES = sorted(
    {module for module, _, _ in ZOO.values()}
    | {"quillet.nn.batchnorm", "quillet.nn.dropout", "quillet.nn.rnn", "quillet.nn.sequential"}
)
CLASSES = [
    (m, name)
    for m in MODULES
    for name, obj in vars(importlib.import_module(m)).items()
    if isinstance(obj, type) and obj.__module__ == m
]
FIRST_LINES = {  # what the names alone do not say
    "Lintrel_stride1": "1-D convolution",
    "Lintrel": "1-D convolution",
    "Plantrel_stride1": "2-D convolution",
    "Plantrel": "2-D convolution",
    "Unfurlet1d": "1-D transposed convolution",
    "Unfurlet2d": "2-D transposed convolution",
}


@pytest.mark.parametrize("module, name", CLASSES, ids=[n for _, n in CLASSES])
def test_docstring_explains_and_its_example_runs(module, name):
    mod = importlib.import_module(module)
    cls = getattr(mod, name)
    doc = cls.__doc__
    assert doc and "Example:" in doc and not doc.startswith(name + "(")  # the signature is not shown twice
    assert doc.splitlines()[0].startswith(FIRST_LINES.get(name, ""))
    parser, runner = doctest.DocTestParser(), doctest.DocTestRunner(optionflags=doctest.NORMALIZE_WHITESPACE)
    test = parser.get_doctest(doc, {**vars(mod), "np": np}, f"{module}.{name}", None, 0)
    assert test.examples
    out = io.StringIO()
    runner.run(test, out=out.write)
    assert runner.failures == 0, out.getvalue()


@pytest.mark.parametrize("name", sorted(n for n in ZOO if "MLP" not in n and n != "CNN"))
def test_repr_reads_like_the_constructor_call(name):
    layer = make(name)
    namespace = dict(vars(importlib.import_module(ZOO[name][0])))
    text = repr(layer)
    assert text.startswith(f"{name}(") and "\n" not in text
    rebuilt = eval(text, namespace)  # the same hyper-parameters
    assert repr(rebuilt) == text


def test_models_show_their_layers_one_per_line():
    with contextlib.redirect_stdout(io.StringIO()):
        cnn = make("CNN")
    lines = repr(cnn).splitlines()
    assert lines[0] == "CNN(" and lines[-1] == ")"
    assert (
        lines[1]
        == "  (convolutional_layers.0): Lintrel(in_channels=3, out_channels=4, kernel_size=2, stride=1, padding=0)"
    )
    assert "  (linear_layer): Linear(in_features=4, out_features=3)" in lines
    mlp = make("MLP")
    assert repr(mlp).splitlines()[1:4] == [
        "  (layers.0): Linear(in_features=5, out_features=4)",
        "  (layers.1): ReLU()",
        "  (layers.2): Linear(in_features=4, out_features=3)",
    ]


def test_repr_never_fails():
    layer = make("Lintrel")
    del layer.lintrel_stride1.kernel_size
    layer.stride = object()
    text = repr(layer)
    assert "kernel_size=?" in text and "stride=<object object" in text
