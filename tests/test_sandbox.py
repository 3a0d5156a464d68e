"""Demonstration modules: each import runs a seeded script once, in a fresh interpreter here,
and what it printed and left behind is compared with an independent numpy replay."""

import importlib
import io
import json
import pickle
import subprocess
import sys

import numpy as np
import pytest
from numpy.lib.stride_tricks import sliding_window_view as windows
from numpy.testing import assert_allclose, assert_array_equal

SEP = "\x00--second import--\x00"
CHILD = r"""
import importlib, json, pickle, sys
import numpy
name, out, exprs, sources = sys.argv[1], sys.argv[2], json.loads(sys.argv[3]), json.loads(sys.argv[4])
m = importlib.import_module(name)
sys.stdout.flush(); sys.stdout.write(SEP); sys.stdout.flush()
exec("import " + name)
ns = {k: v for k, v in vars(m).items() if not k.startswith("_")}
rep = {"again": importlib.import_module(name) is m and sys.modules[name] is m, "np_is_numpy": ns.get("np") is numpy,
       "names": sorted(ns), "values": {k: v for k, v in ns.items() if isinstance(v, (int, list, numpy.ndarray))},
       "not_shared": {s: sorted(k for k, v in vars(importlib.import_module(s)).items()
                                if not k.startswith("_") and ns.get(k, m) is not v) for s in sources},
       "exprs": {k: eval(e, vars(m)) for k, e in exprs.items()}}
sys.stdout.flush()
with open(out, "wb") as f:
    pickle.dump(rep, f)
""".replace("SEP", repr(SEP))

MODULES = {  # star-imported modules, int globals, other script globals, expressions evaluated in the namespace
    "tressel": (
        ["quillet.flatten", "quillet.nn.Lintrel"],
        dict(in_c=2, out_c=2, kernel=2, width=4, batch=1),
        "x sandbox_weight_init_fn layer y delta dx",
        dict(layer="type(layer).__name__, layer.W, layer.b, layer.A is x", dLdW="layer.dLdW", dLdb="layer.dLdb"),
    ),
    "wyncott": (
        ["quillet.flatten", "quillet.nn.Unfurlet"],
        dict(in_c=2, out_c=2, batch=1, width=4, kernel=2, upsampling_factor=2),
        "x sandbox_weight_init_fn sandbox_bias_init_fn unfurlet_1d y delta conv_backward_res",
        dict(
            layer="type(unfurlet_1d).__name__, unfurlet_1d.lintrel_stride1.W, unfurlet_1d.lintrel_stride1.b",
            dLdW="unfurlet_1d.lintrel_stride1.dLdW",
            dLdb="unfurlet_1d.lintrel_stride1.dLdb",
        ),
    ),
    "dunmere": (
        ["quillet.flatten", "quillet.nn.pool"],
        dict(kernel=2, width=4, in_c=2, batch=1),
        "x pool_layer forward_res backward_res",
        dict(layer="type(pool_layer).__name__, pool_layer.kernel, pool_layer.A is x"),
    ),
    "halvard": (
        ["quillet.flatten", "quillet.nn.resampling"],
        dict(in_c=2, out_c=2, batch=1, input_width=4, kernel=2, upsampling_factor=2),
        "x upsample_1d forward_res backward_res",
        dict(
            layer="type(upsample_1d).__name__, upsample_1d.upsampling_factor, upsample_1d.A is x",
            shared="[np.shares_memory(a, b) for a, b in [(forward_res, x), (backward_res, forward_res),"
            " (backward_res, x)]]",
        ),
    ),
    "orbisk": (
        ["models.cnn", "quillet.nn.activation", "quillet.nn.loss"],
        dict(input_width=8, num_input_channels=2, batch_size=1),
        "num_channels kernel_sizes model x y delta dx sandbox_cnn_weight_init sandbox_linear_weight_init "
        "sandbox_bias_init",
        dict(
            model="type(model).__name__, [type(a).__name__ for a in model.activations],"
            " type(model.criterion).__name__, model.lr, model.linear_layer.W, model.linear_layer.b,"
            " [c.lintrel_stride1.W for c in model.convolutional_layers], float(model.loss)",
            dLdW="model.convolutional_layers[0].lintrel_stride1.dLdW",
        ),
    ),
    "pellory": (["models.trawlix"], {}, "", {}),
}
INITS = [
    ("tressel", "sandbox_weight_init_fn", (2, 3, 4), 0.5),
    ("wyncott", "sandbox_weight_init_fn", (2, 3, 4), 1),
    ("wyncott", "sandbox_bias_init_fn", (5,), 0),
    ("orbisk", "sandbox_cnn_weight_init", (2, 3, 4), 1),
    ("orbisk", "sandbox_linear_weight_init", (3, 5), 1),
    ("orbisk", "sandbox_bias_init", (5,), 0),
]
for _mod, _fn, _args, _ in INITS:
    _call = f"{_fn}{_args}".replace(",)", ")")
    MODULES[_mod][3][_fn] = f"callable({_fn}), {_fn}.__name__, {_call}, {_call} is {_call}"
_runs = {}


@pytest.fixture
def run(tmp_path):
    def go(name):
        if name not in _runs:
            sources, exprs, out = MODULES[name][0], MODULES[name][3], tmp_path / (name + ".pkl")
            proc = subprocess.run(
                [sys.executable, "-c", CHILD, "sandbox." + name, str(out), json.dumps(exprs), json.dumps(sources)],
                capture_output=True,
                text=True,
                timeout=60,
            )
            assert proc.returncode == 0, proc.stderr
            first, _, second = proc.stdout.partition(SEP)
            _runs[name] = first, second, pickle.loads(out.read_bytes())
        return _runs[name]

    return go


def draws(seed, *shapes):  # the scripts' draws from the legacy global generator, leaving its state as it was
    saved = np.random.get_state()
    try:
        np.random.seed(seed)
        return [np.random.randn(*s) for s in shapes]
    finally:
        np.random.set_state(saved)


def conv1d(A, W, b):
    return np.einsum("nmik,omk->noi", windows(A, W.shape[2], axis=2), W) + b[None, :, None]


def conv1d_backward(A, W, dZ):
    K, out = W.shape[2], dZ.shape[2]
    dA = np.zeros((dZ.shape[0], W.shape[1], out + K - 1))
    for k in range(K):
        dA[:, :, k : k + out] += np.einsum("noi,om->nmi", dZ, W[:, :, k])
    return dA, np.einsum("noi,nmik->omk", dZ, windows(A, K, axis=2)[:, :, :out]), dZ.sum(axis=(0, 2))


def upsample(x):
    up = np.zeros(x.shape[:2] + (2 * x.shape[2] - 1,))
    up[:, :, ::2] = x
    return up


def replay(name):
    if name == "tressel":
        x, delta = draws(11485, (1, 2, 4), (1, 2, 3))
        W = np.full((2, 2, 2), 0.5)
        dx, dW, db = conv1d_backward(x, W, delta)
        return dict(x=x, y=conv1d(x, W, np.ones(2)), delta=delta, dx=dx, dLdW=dW, dLdb=db)
    if name == "wyncott":
        (x,) = draws(11785, (1, 2, 4))
        up, W = upsample(x), np.ones((2, 2, 2))
        dup, dW, db = conv1d_backward(up, W, np.ones((1, 2, 6)))
        return dict(
            x=x,
            y=conv1d(up, W, np.zeros(2)),
            delta=np.ones((1, 2, 6)),
            conv_backward_res=dup[:, :, ::2],
            dLdW=dW,
            dLdb=db,
        )
    if name == "dunmere":
        (x,) = draws(11685, (1, 2, 4, 4))
        fwd, bwd = windows(x, (2, 2), axis=(2, 3)).mean(axis=(-2, -1)), np.zeros_like(x)
        for i, j in np.ndindex(3, 3):
            bwd[:, :, i : i + 2, j : j + 2] += fwd[:, :, i, j][:, :, None, None] / 4
        return dict(x=x, forward_res=fwd, backward_res=bwd)
    if name == "halvard":
        (x,) = draws(11485, (1, 2, 4))
        return dict(x=x, forward_res=upsample(x), backward_res=x)
    (x,) = draws(11785, (1, 2, 8))  # orbisk
    a, saved = x, []
    for _ in range(3):
        W = np.ones((4, a.shape[1], 2))
        saved.append((a, W, conv1d(a, W, np.zeros(4))))
        a = np.maximum(saved[-1][2], 0)
    y = a.reshape(1, 20) @ np.ones((20, 4))
    p = np.exp(y - y.max()) / np.exp(y - y.max()).sum()  # softmax cross-entropy against the all-ones labels
    g = ((p - 1) @ np.ones((4, 20))).reshape(1, 4, 5)
    for a, W, z in reversed(saved):
        g, dW, _ = conv1d_backward(a, W, g * (z > 0))
    return dict(x=x, y=y, delta=np.ones((1, 4)), dx=g, dLdW=dW)


def expected_stdout(name):
    labels = dict(
        tressel=[("input", "x"), ("output", "y"), ("delta", "delta"), ("dx", "dx")],
        dunmere=[("input", "x"), ("Forward", "forward_res"), ("Backward", "backward_res")],
        halvard=[("input", "x")],
    )
    if name not in labels:
        return "7\n6\n5\n" if name == "orbisk" else ""
    r, buf = replay(name), io.StringIO()
    for label, key in labels[name]:
        big = label[0].isupper()
        print(f"{label} {'Shape' if big else 'shape'}: ", r[key].shape, file=buf)
        print(f"{label} Result: " if big else f"{label}: ", r[key], file=buf)
    return buf.getvalue()


@pytest.mark.parametrize("name", sorted(MODULES))
def test_output_exact_and_only_on_first_import(name, run):
    first, second, rep = run(name)
    assert first == expected_stdout(name)
    assert second == "" and rep["again"]


def test_expected_output_layout():
    tressel, dunmere = expected_stdout("tressel").splitlines(), expected_stdout("dunmere").splitlines()
    assert len(tressel) == 12 and len(expected_stdout("halvard").splitlines()) == 3
    assert tressel[0] == "input shape:  (1, 2, 4)" and tressel[9] == "dx shape:  (1, 2, 4)"
    assert dunmere[0] == "input shape:  (1, 2, 4, 4)" and "Backward Shape:  (1, 2, 4, 4)" in dunmere


@pytest.mark.parametrize("name", sorted(MODULES))
def test_namespace(name, run):
    rep, (sources, ints, names, _) = run(name)[2], MODULES[name]
    assert rep["np_is_numpy"]
    assert rep["not_shared"] == {s: [] for s in sources}  # every public name of each star import, the same object
    brought = set().union(*({k for k in vars(importlib.import_module(s)) if not k.startswith("_")} for s in sources))
    assert set(rep["names"]) == brought | {"np"} | set(ints) | set(names.split())
    for k, v in ints.items():
        assert type(rep["values"][k]) is int and rep["values"][k] == v, k
    if name == "pellory":
        assert {"CNN_SimpleScanningMLP", "CNN_DistributedScanningMLP", "Lintrel", "Flatten", "os"} <= brought


@pytest.mark.parametrize("name, fn, shape, fill", INITS)
def test_initialisers_are_module_functions(name, fn, shape, fill, run):
    is_callable, fn_name, value, same = run(name)[2]["exprs"][fn]
    assert is_callable and fn_name == fn and not same  # a fresh array per call
    assert type(value) is np.ndarray and value.dtype == np.float64 and value.shape == shape and (value == fill).all()


@pytest.mark.parametrize("name", ["tressel", "wyncott", "dunmere", "halvard", "orbisk"])
def test_results_match_replay(name, run):
    rep, ref = run(name)[2], replay(name)
    for k, expected in ref.items():
        v = rep["values"][k] if k in rep["values"] else rep["exprs"][k]
        assert type(v) is np.ndarray and v.dtype == np.float64 and v.shape == expected.shape, k
        assert_allclose(v, expected, rtol=1e-12, atol=1e-12, err_msg=k)
    assert_array_equal(rep["values"]["x"], ref["x"])  # the seeded draw itself is bit-identical


def test_tressel_layer(run):
    rep = run("tressel")[2]
    kind, W, b, stored = rep["exprs"]["layer"]
    assert kind == "Lintrel_stride1" and stored
    assert_array_equal(W, np.full((2, 2, 2), 0.5))
    assert_array_equal(b, np.ones(2))
    assert_array_equal(rep["values"]["y"][0, 0], rep["values"]["y"][0, 1])  # identical kernels, identical channels


def test_wyncott_transposed_convolution(run):
    rep = run("wyncott")[2]
    x, y, res = rep["values"]["x"], rep["values"]["y"], rep["values"]["conv_backward_res"]
    assert y.shape == (1, 2, 6) and res.shape == x.shape
    j = -(-np.arange(6) // 2)  # ceil(i / 2): the one placed sample under each window
    assert_allclose(y[0], np.broadcast_to(x[0, 0, j] + x[0, 1, j], (2, 6)), rtol=1e-12, atol=1e-12)
    assert_array_equal(res, [[[2, 4, 4, 2], [2, 4, 4, 2]]])  # windows over each placed sample, times two channels
    kind, W, b = rep["exprs"]["layer"]
    assert kind == "Unfurlet1d" and W.shape == (2, 2, 2) and (W == 1).all() and not b.any()
    assert_array_equal(rep["exprs"]["dLdb"], [6, 6])


def test_dunmere_mean_pool(run):
    rep = run("dunmere")[2]
    fwd, bwd = rep["values"]["forward_res"], rep["values"]["backward_res"]
    assert rep["exprs"]["layer"] == ("MeanPool2d_stride1", 2, True)
    padded = np.pad(fwd, ((0, 0), (0, 0), (1, 1), (1, 1)))
    covering = padded[:, :, :-1, :-1] + padded[:, :, 1:, :-1] + padded[:, :, :-1, 1:] + padded[:, :, 1:, 1:]
    assert_allclose(bwd, covering / 4, rtol=1e-12, atol=1e-15)
    assert_allclose(bwd[:, :, 3, 3], fwd[:, :, 2, 2] / 4, rtol=1e-12)  # a corner: one window
    assert_allclose(bwd[:, :, 0, 1], (fwd[:, :, 0, 0] + fwd[:, :, 0, 1]) / 4, rtol=1e-12)  # border: two
    assert_allclose(bwd[:, :, 2, 1], fwd[:, :, 1:3, 0:2].sum(axis=(2, 3)) / 4, rtol=1e-12)  # centre: four


def test_halvard_upsample(run):
    rep = run("halvard")[2]
    x, fwd, bwd = (rep["values"][k] for k in ("x", "forward_res", "backward_res"))
    assert rep["exprs"]["layer"] == ("Upsample1d", 2, True)
    assert fwd.shape == (1, 2, 7) and not fwd[:, :, 1::2].any()
    assert_array_equal(fwd[:, :, ::2], x)
    assert_array_equal(bwd, x)
    assert rep["exprs"]["shared"] == [False] * 3  # both directions build new arrays


def test_orbisk_cnn(run):
    rep = run("orbisk")[2]
    v = rep["values"]
    assert v["num_channels"] == [4, 4, 4] and v["kernel_sizes"] == [2, 2, 2]
    assert v["y"].shape == (1, 4) and v["dx"].shape == (1, 2, 8) and v["delta"].shape == (1, 4)
    kind, acts, crit, lr, linW, linb, convW, loss = rep["exprs"]["model"]
    assert (kind, acts, crit, lr) == ("CNN", ["ReLU"] * 3, "CrossEntropyLoss", 0.1)
    assert linW.shape == (4, 20) and linW.dtype == np.float64 and (linW == 1).all()
    assert_array_equal(linb, np.zeros(4))
    assert [w.shape for w in convW] == [(4, 2, 2), (4, 4, 2), (4, 4, 2)] and all((w == 1).all() for w in convW)
    assert (v["y"] == v["y"][0, 0]).all()  # all-one linear weights: every class gets the same score
    assert loss == pytest.approx(4 * np.log(4))  # uniform softmax against four unit targets


@pytest.mark.parametrize("name", ["models.mlp", *(f"sandbox.{m}" for m in MODULES)])
def test_running_as_a_program_is_importing_once(name, tmp_path):
    """python -m runs the module as a program: a demonstration prints its output exactly once,
    the MLP module prints nothing."""
    run = [sys.executable, "-m", name]
    imported = [sys.executable, "-c", f"import {name}"]
    ran, once = (subprocess.run(c, capture_output=True, text=True, cwd=tmp_path, check=True) for c in (run, imported))
    assert ran.stdout == once.stdout and ran.stderr == once.stderr == ""
    assert (ran.stdout == "") == (name in ("models.mlp", "sandbox.wyncott", "sandbox.pellory"))


def test_mlp_as_a_program_builds_the_example_network():
    import runpy

    from models.mlp import MLP

    names = runpy.run_module("models.mlp", run_name="__main__", alter_sys=True)
    assert names["D"] == 24 and names["layer_sizes"] == [192, 8, 16, 4]
    assert type(names["mlp"]) is MLP and [type(l).__name__ for l in names["mlp"].layers] == [
        "Linear",
        "ReLU",
        "Linear",
        "ReLU",
        "Linear",
    ]
