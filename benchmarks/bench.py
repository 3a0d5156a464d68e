"""Forward+backward timings of quillet against baselines measured in the same run.

Every row times one forward and one backward pass (or a training step) and
prints the best of several repeats (or the median, with --stat median), in
float64 and in float32: quillet and, when it is installed (the ``bench``
extra), PyTorch on the CPU in the same precision, and in float64 a plain
numpy formulation of the same computation.  quillet and PyTorch take turns,
so that their ratio compares the same seconds of the machine.  Ratios above 1
mean quillet is faster.

    python benchmarks/bench.py                    # every row, both precisions
    python benchmarks/bench.py conv pool          # rows whose name contains a word
    python benchmarks/bench.py --isa avx2         # quillet, PyTorch and NumPy's BLAS at AVX2
    python benchmarks/bench.py --dtype float32    # one precision only
"""

import argparse
import contextlib
import io
import json
import os
import statistics
import sys
import time

import numpy as np
from numpy.lib.stride_tricks import sliding_window_view

try:
    import torch
    import torch.nn.functional as F

    torch.set_num_threads(2)
except ImportError:  # the bench extra is optional
    torch = None

import quillet
from quillet.nn.Lintrel import Lintrel, Lintrel_stride1
from quillet.nn.Plantrel import Plantrel
from quillet.nn.pool import MaxPool2d, MaxPool2d_stride1, MeanPool2d, MeanPool2d_stride1
from quillet.nn.resampling import Downsample1d, Upsample1d
from quillet.nn.Unfurlet import Unfurlet1d, Unfurlet2d

RNG = np.random.default_rng(0)
F64, F32 = np.float64, np.float32
TORCH_DTYPE = {F64: torch.float64, F32: torch.float32} if torch else {}
# Environment variables that make quillet, PyTorch and NumPy's BLAS run at one
# instruction-set level (read by each at import, hence the re-run of the script).
# PyTorch's own kernels follow ATEN_CPU_CAPABILITY, but its convolutions, fused
# LSTM and matrix products come from oneDNN and MKL, which take their own caps.
ISA_ENV = {
    "avx2": {
        "QUILLET_ISA": "avx2",
        "ATEN_CPU_CAPABILITY": "avx2",
        "ONEDNN_MAX_CPU_ISA": "AVX2",
        "MKL_ENABLE_INSTRUCTIONS": "AVX2",
        "OPENBLAS_CORETYPE": "Haswell",
    },
    "avx512": {
        "QUILLET_ISA": "avx512",
        "ATEN_CPU_CAPABILITY": "avx512",
        "ONEDNN_MAX_CPU_ISA": "AVX512_CORE",
        "MKL_ENABLE_INSTRUCTIONS": "AVX512",
        "OPENBLAS_CORETYPE": "SkylakeX",
    },
}
STAT = [min]  # how the repeats of a measurement are summarised (--stat)
_GEMM = {}


def gemm_products(dt):
    """Callables for the machine's GEMM in one dtype: NumPy's BLAS and, when it is
    installed, PyTorch on a 1024x1024 product."""
    a, b = (RNG.standard_normal((1024, 1024)).astype(dt) for _ in range(2))
    fns = [lambda: a @ b]
    if torch:
        ta, tb = torch.from_numpy(a), torch.from_numpy(b)
        fns.append(lambda: ta @ tb)
    return fns


def gemm_rate(times):
    """GFLOP/s of the faster of the 1024x1024 products timed in `times`."""
    return 2 * 1024**3 / min(times) / 1e9


def machine_gemm(dt):
    """The machine's GEMM throughput in GFLOP/s for one dtype: the faster of NumPy's
    BLAS and PyTorch on a 1024x1024 product."""
    if dt not in _GEMM:
        _GEMM[dt] = gemm_rate([best_time(fn) for fn in gemm_products(dt)])
    return _GEMM[dt]


def randn(shape, dt):
    return RNG.standard_normal(shape).astype(dt)


def settle():
    """Let thread pools that spin after use (OpenMP, OpenBLAS) go idle, so they
    do not run on the cores of the next measurement.  OpenBLAS's threads spin
    for 2**28 cycles, a tenth of a second at 2.7 GHz."""
    time.sleep(0.15)


def best_time(fn, budget=0.25, repeats=5):
    """Per-call time in seconds over `repeats` runs of about budget/repeats each:
    the best run, or the median one under --stat median."""
    return interleaved_times([fn], budget, repeats)[0]


def interleaved_times(fns, budget=0.25, repeats=5):
    """best_time of each of `fns`, their runs taken in turn, so that the times
    compare moments a second apart on a machine whose speed drifts.  The pools
    of one settle before the next one runs."""
    settle()
    loops = []
    for fn in fns:
        fn()
        start = time.perf_counter()
        fn()
        once = max(time.perf_counter() - start, 1e-7)
        loops.append(max(1, int(budget / repeats / once)))
    runs = [[] for _ in fns]
    for _ in range(repeats):
        for fn, n, r in zip(fns, loops, runs):
            if len(fns) > 1:
                settle()
            start = time.perf_counter()
            for _ in range(n):
                fn()
            r.append((time.perf_counter() - start) / n)
    return [STAT[0](r) for r in runs]


def against_torch(quillet_pass, torch_pass=None, budget=0.25, repeats=5):
    """Times of quillet's pass and, when PyTorch is installed, of its twin made by
    torch_pass() (called only then), taken in turns."""
    if not torch or torch_pass is None:
        return {"quillet": best_time(quillet_pass, budget, repeats)}
    q, t = interleaved_times([quillet_pass, torch_pass()], budget, repeats)
    return {"quillet": q, "torch": t}


# ---------------------------------------------------------------- numpy baselines


def np_conv(A, W, b, stride, pad, dZ):
    """Strided, padded convolution forward and backward with im2col in plain numpy.
    A is (N, C, *spatial); works for one and two spatial axes."""
    nd = A.ndim - 2
    Ap = np.pad(A, [(0, 0), (0, 0)] + [(pad, pad)] * nd)
    win = sliding_window_view(Ap, W.shape[2:], axis=tuple(range(2, 2 + nd)))
    win = win[(slice(None), slice(None)) + (slice(None, None, stride),) * nd]
    letters = "hw"[:nd]
    kl = "pq"[:nd]
    Z = np.einsum(f"nc{letters}{kl},oc{kl}->no{letters}", win, W, optimize=True) + b.reshape((-1,) + (1,) * nd)
    dW = np.einsum(f"no{letters},nc{letters}{kl}->oc{kl}", dZ, win, optimize=True)
    db = dZ.sum(axis=(0,) + tuple(range(2, 2 + nd)))
    cols = np.einsum(f"no{letters},oc{kl}->nc{letters}{kl}", dZ, W, optimize=True)
    dAp = np.zeros(Ap.shape)
    for offset in np.ndindex(*W.shape[2:]):
        index = (slice(None), slice(None)) + tuple(
            slice(o, o + stride * (n - 1) + 1, stride) for o, n in zip(offset, dZ.shape[2:])
        )
        dAp[index] += cols[(Ellipsis,) + offset]
    dA = dAp[(slice(None), slice(None)) + tuple(slice(pad, Ap.shape[2 + i] - pad) for i in range(nd))] if pad else dAp
    return Z, dA, dW, db


def np_pool(A, k, s, kind, dZ):
    win = sliding_window_view(A, (k, k), axis=(2, 3))[:, :, ::s, ::s]
    Z = win.max(axis=(4, 5)) if kind == "max" else win.mean(axis=(4, 5))
    dA = np.zeros(A.shape)
    ho, wo = Z.shape[2:]
    for p in range(k):
        for q in range(k):
            share = (win[..., p, q] == Z) * dZ if kind == "max" else dZ / (k * k)
            dA[:, :, p : p + s * (ho - 1) + 1 : s, q : q + s * (wo - 1) + 1 : s] += share
    return Z, dA


# ---------------------------------------------------------------- rows
#
# A row is a function of the dtype, called inside quillet.default_dtype(dt):
# it returns the times of its measurements by name ("quillet", "torch",
# "numpy"; the NumPy baselines are measured in float64 only) and a note.

ROWS = []


def row(name):
    def register(fn):
        ROWS.append((name, fn))
        return fn

    return register


def torch_args(*arrays, grad=()):
    """Tensors sharing the arrays' dtype; those at the positions in `grad` require gradients."""
    return [torch.tensor(a, requires_grad=i in grad) for i, a in enumerate(arrays)]


def conv_row(name, cls, N, C, O, K, spatial, stride, pad):
    @row(name)
    def bench(dt):
        A = randn((N, C) + spatial, dt)
        layer = cls(C, O, K, stride, pad)
        inner = layer.lintrel_stride1 if hasattr(layer, "lintrel_stride1") else layer.plantrel_stride1
        Z = layer.forward(A)
        dZ = randn(Z.shape, dt)
        W, b = inner.W, inner.b
        fns = [lambda: (layer.forward(A), layer.backward(dZ))]
        if torch:
            conv = F.conv1d if len(spatial) == 1 else F.conv2d
            x, w, bb, g = torch_args(A, W, b, dZ, grad=(0, 1, 2))
            fns.append(lambda: conv(x, w, bb, stride=stride, padding=pad).backward(g))
        # PyTorch and the GEMM rate of the note are measured in turns with the layer.
        measured = interleaved_times(fns + gemm_products(dt))
        times = dict(zip(("quillet", "torch"), measured[: len(fns)]))
        products = measured[len(fns) :]
        if dt == F64:
            times["numpy"] = best_time(lambda: np_conv(A, W, b, stride, pad, dZ), budget=0.15, repeats=3)
        macs = np.prod(Z.shape) * C * K ** len(spatial)
        rate = 3 * 2 * macs / times["quillet"] / 1e9
        gemm_now = gemm_rate(products)
        note = f"{rate:.0f} GFLOP/s = {rate / gemm_now:.0%} of GEMM ({gemm_now:.0f} GFLOP/s in the same seconds)"
        if len(spatial) == 2 and K == 3 and stride == 1:
            # float64 rows of 16 outputs or more take 4x4 tiles in the forward pass and dA
            wide = dt == F64 and Z.shape[-1] >= 16
            if wide and min(C, O) >= 8:
                note += " (the direct sums' flops: the forward pass and the input gradient take minimal filtering"
                note += " on 4x4 tiles, 1/4 of the multiplications"
                note += ", the weight gradient on 2x2 tiles, 4/9" if min(C, O) >= 32 else ""
                note += ")"
            elif min(C, O) >= (8 if dt == F32 else 16):
                note += " (the direct sums' flops: the forward pass takes minimal filtering, 4/9 of the multiplications"
                note += ", and so do the gradients" if min(C, O) >= 32 else ""
                note += ")"
        return times, note


conv_row("conv1d s1 b32 16->32 w256 k5", Lintrel, 32, 16, 32, 5, (256,), 1, 0)
conv_row("conv1d b64 24->32 w512 k8 s4 p2", Lintrel, 64, 24, 32, 8, (512,), 4, 2)
conv_row("conv2d b16 16->32 32x32 k3 p1", Plantrel, 16, 16, 32, 3, (32, 32), 1, 1)
conv_row("conv2d b16 3->16 64x64 k5 s2 p2", Plantrel, 16, 3, 16, 5, (64, 64), 2, 2)


def transposed_row(name, cls, N, C, O, K, spatial, factor):
    @row(name)
    def bench(dt):
        A = randn((N, C) + spatial, dt)
        layer = cls(C, O, K, factor)
        inner = layer.lintrel_stride1 if hasattr(layer, "lintrel_stride1") else layer.plantrel_stride1
        with contextlib.redirect_stdout(io.StringIO()):  # Unfurlet2d announces its factor
            Z = layer.forward(A)
            dZ = randn(Z.shape, dt)
        nd = len(spatial)

        def twin():
            x, w, bb, g = torch_args(A, inner.W, inner.b, dZ, grad=(0, 1, 2))
            flip = tuple(range(2, 2 + nd))
            convt = F.conv_transpose1d if nd == 1 else F.conv_transpose2d
            return lambda: convt(x, w.flip(flip).transpose(0, 1), bb, stride=factor, padding=K - 1).backward(g)

        with contextlib.redirect_stdout(io.StringIO()):
            times = against_torch(lambda: (layer.forward(A), layer.backward(dZ)), twin)
        if dt == F64:
            up = np.zeros((N, C) + tuple((n - 1) * factor + 1 for n in spatial))
            up[(slice(None), slice(None)) + (slice(None, None, factor),) * nd] = A
            times["numpy"] = best_time(lambda: np_conv(up, inner.W, inner.b, 1, 0, dZ), 0.15, 3)
        return times, ""


transposed_row("transposed1d b16 16->16 w128 k3 x2", Unfurlet1d, 16, 16, 16, 3, (128,), 2)
transposed_row("transposed2d b16 16->16 16x16 k3 x2", Unfurlet2d, 16, 16, 16, 3, (16, 16), 2)


@row("conv overhead (1,2,4) k2 stride 1")
def overhead(dt):
    A = randn((1, 2, 4), dt)
    layer = Lintrel_stride1(2, 2, 2)
    dZ = randn((1, 2, 3), dt)
    W, b = layer.W, layer.b

    def twin():
        x, w, bb, g = torch_args(A, W, b, dZ, grad=(0, 1, 2))
        return lambda: F.conv1d(x, w, bb).backward(g)

    times = against_torch(lambda: (layer.forward(A), layer.backward(dZ)), twin)
    if dt == F64:
        times["numpy"] = best_time(lambda: np_conv(A, W, b, 1, 0, dZ))
    return times, f"{times['quillet'] * 1e6:.1f} us per forward+backward"


@row("sequential of 10 ReLUs (1,4), vs a Python loop")
def sequential_overhead(dt):
    from quillet.nn.activation import ReLU
    from quillet.nn.sequential import Sequential

    A = randn((1, 4), dt)
    relus = [ReLU() for _ in range(10)]
    net = Sequential(*relus)

    def loop():  # the same layers chained by hand
        x = A
        for r in relus:
            x = r.forward(x)
        for r in reversed(relus):
            x = r.backward(x)

    def one():  # one layer's own work, for the chaining cost
        relus[0].forward(A)
        relus[0].backward(A)

    def twin():
        tnet = torch.nn.Sequential(*[torch.nn.ReLU() for _ in range(10)])
        x, g = torch_args(A, np.ones_like(A), grad=(0,))
        return lambda: tnet(x).backward(g)

    # Microseconds apart on a shared machine: more repeats, to take the quietest.
    times = against_torch(lambda: net.backward(net.forward(A)), twin, 0.5, 15)
    if dt == F64:
        times["numpy"] = best_time(loop, 0.5, 15)
    per_layer = (times["quillet"] - 10 * best_time(one, 0.5, 15)) / 10
    return times, f"chaining adds {per_layer * 1e6:.2f} us per layer" + (" (numpy: a Python loop)" if dt == F64 else "")


@row("resampling overhead Downsample1d.forward (1,2,4)")
def resample_overhead(dt):
    A = randn((1, 2, 4), dt)
    layer = Downsample1d(2)
    times = {"quillet": best_time(lambda: layer.forward(A))}
    if dt == F64:
        times["numpy"] = best_time(lambda: A[:, :, ::2])
    return times, ""


def copy_rate(nbytes):
    """The machine's copy bandwidth in GB/s (read + write) on buffers of about `nbytes`."""
    src = np.ones(nbytes // 8)
    dst = np.empty_like(src)
    return 2 * nbytes / best_time(lambda: np.copyto(dst, src)) / 1e9


def resampling_row(name, cls, shape, factor):
    @row(name)
    def bench(dt):
        A = randn(shape, dt)
        layer = cls(factor)
        Z = layer.forward(A)
        dZ = randn(Z.shape, dt)
        up = cls is Upsample1d

        def twin():
            x, g = torch_args(A, dZ, grad=(0,))
            if up:  # a stride-`factor` transposed convolution with a one-hot kernel, per channel

                def tpass():
                    out = x.new_zeros(Z.shape)
                    out[:, :, ::factor] = x
                    out.backward(g)

            else:

                def tpass():
                    x[:, :, ::factor].contiguous().backward(g)

            return tpass

        times = against_torch(lambda: (layer.forward(A), layer.backward(dZ)), twin)
        if dt == F64:

            def plain():
                if up:
                    out = np.zeros(Z.shape)
                    out[:, :, ::factor] = A
                    return out, dZ[:, :, ::factor].copy()
                back = np.zeros(A.shape)
                back[:, :, ::factor] = dZ
                return A[:, :, ::factor].copy(), back

            times["numpy"] = best_time(plain)
        # Bytes that must move: each pass reads its input and writes its output.
        moved = 2 * (A.nbytes + Z.nbytes)
        rate = moved / times["quillet"] / 1e9
        return times, f"{rate:.0f} GB/s = {rate / copy_rate(A.nbytes + Z.nbytes):.0%} of copy"


resampling_row("resampling Upsample1d x3 b64 32ch w1024", Upsample1d, (64, 32, 1024), 3)
resampling_row("resampling Upsample1d x2 b64 16ch w1024", Upsample1d, (64, 16, 1024), 2)
resampling_row("resampling Downsample1d x2 b64 16ch w1024", Downsample1d, (64, 16, 1024), 2)


def pool_row(name, make, k, s, kind):
    @row(name)
    def bench(dt):
        A = randn((32, 16, 32, 32), dt)
        layer = make()
        Z = layer.forward(A)
        dZ = randn(Z.shape, dt)

        def twin():
            x, g = torch_args(A, dZ, grad=(0,))
            fn = F.max_pool2d if kind == "max" else F.avg_pool2d
            return lambda: fn(x, k, s).backward(g)

        times = against_torch(lambda: (layer.forward(A), layer.backward(dZ)), twin)
        if dt == F64:
            times["numpy"] = best_time(lambda: np_pool(A, k, s, kind, dZ), 0.15, 3)
        return times, ""


for k in (2, 3):
    pool_row(f"maxpool stride1 k{k} b32 16ch 32x32", lambda k=k: MaxPool2d_stride1(k), k, 1, "max")
    pool_row(f"meanpool stride1 k{k} b32 16ch 32x32", lambda k=k: MeanPool2d_stride1(k), k, 1, "mean")
for k in (2, 3):
    pool_row(f"maxpool k{k} s2 b32 16ch 32x32", lambda k=k: MaxPool2d(k, 2), k, 2, "max")
    pool_row(f"meanpool k{k} s2 b32 16ch 32x32", lambda k=k: MeanPool2d(k, 2), k, 2, "mean")


@row("batchnorm2d train b32 16ch 32x32")
def batchnorm(dt):
    from quillet.nn.batchnorm import BatchNorm2d

    A, G = randn((32, 16, 32, 32), dt), randn((32, 16, 32, 32), dt)
    layer = BatchNorm2d(16)

    def numpy_pass():
        mean, var = A.mean(axis=(0, 2, 3), keepdims=True), A.var(axis=(0, 2, 3), keepdims=True)
        xhat = (A - mean) / np.sqrt(var + 1e-5)
        Z = xhat  # W = 1, b = 0
        m = A.size / A.shape[1]
        dA = (m * G - G.sum(axis=(0, 2, 3), keepdims=True) - xhat * (G * xhat).sum(axis=(0, 2, 3), keepdims=True)) / (
            m * np.sqrt(var + 1e-5)
        )
        return Z, dA, (G * xhat).sum(axis=(0, 2, 3)), G.sum(axis=(0, 2, 3))

    def twin():
        bn = torch.nn.BatchNorm2d(16).to(TORCH_DTYPE[dt])
        x, g = torch_args(A, G, grad=(0,))
        return lambda: bn(x).backward(g)

    times = against_torch(lambda: (layer.forward(A), layer.backward(G)), twin)
    if dt == F64:
        times["numpy"] = best_time(numpy_pass)
    return times, "training mode, forward+backward"


@row("dropout p0.5 b32 16ch 32x32")
def dropout(dt):
    from quillet.nn.dropout import Dropout

    A, G = randn((32, 16, 32, 32), dt), randn((32, 16, 32, 32), dt)
    layer = Dropout(0.5)

    def numpy_pass():
        mask = np.random.random(A.shape) >= 0.5
        return A * mask / 0.5, G * mask / 0.5

    def twin():
        d = torch.nn.Dropout(0.5)
        x, g = torch_args(A, G, grad=(0,))
        return lambda: d(x).backward(g)

    times = against_torch(lambda: (layer.forward(A), layer.backward(G)), twin)
    if dt == F64:
        times["numpy"] = best_time(numpy_pass)
    return times, "training mode, the mask drawn each pass"


@row("cnn training step b64 24ch w128 56/28/14 k5/6/2 s1/2/2")
def cnn_step(dt):
    from models.cnn import CNN
    from quillet.init import fan_in_uniform
    from quillet.nn.activation import ReLU
    from quillet.nn.loss import CrossEntropyLoss

    # PyTorch's default scale.  The layers' own default, unit normal weights,
    # saturates the softmax from the first step: the gradients then fall to
    # 1e-20 and below, float32's subnormal range, where both libraries slow
    # down many times over on some CPUs.
    with contextlib.redirect_stdout(io.StringIO()):
        model = CNN(
            128,
            24,
            [56, 28, 14],
            [5, 6, 2],
            [1, 2, 2],
            10,
            [ReLU(), ReLU(), ReLU()],
            fan_in_uniform,
            None,
            fan_in_uniform,
            CrossEntropyLoss(),
            1e-3,
        )
    A = randn((64, 24, 128), dt)
    Y = np.eye(10, dtype=dt)[RNG.integers(0, 10, 64)]
    # PyTorch's twin starts from the same weights (and zero biases).
    start = [layer.lintrel_stride1.W.copy() for layer in model.convolutional_layers] + [model.linear_layer.W.copy()]

    def step():
        model.zero_grads()
        model.forward(A)
        model.backward(Y)
        model.step()

    def twin():
        tdt = TORCH_DTYPE[dt]
        convs = [torch.nn.Conv1d(i, o, k, s).to(tdt) for i, o, k, s in ((24, 56, 5, 1), (56, 28, 6, 2), (28, 14, 2, 2))]
        widths = 128
        for k, s in ((5, 1), (6, 2), (2, 2)):
            widths = (widths - k) // s + 1
        net = torch.nn.Sequential(
            convs[0],
            torch.nn.ReLU(),
            convs[1],
            torch.nn.ReLU(),
            convs[2],
            torch.nn.ReLU(),
            torch.nn.Flatten(),
            torch.nn.Linear(14 * widths, 10).to(tdt),
        )
        with torch.no_grad():
            for layer, W in zip((*convs, net[-1]), start):
                layer.weight.copy_(torch.tensor(W))
                layer.bias.zero_()
        opt = torch.optim.SGD(net.parameters(), lr=1e-3)
        x, y = torch.tensor(A), torch.tensor(Y.argmax(1))

        def torch_step():
            opt.zero_grad()
            F.cross_entropy(net(x), y).backward()
            opt.step()

        return torch_step

    return against_torch(step, twin), ""


@row("scanning network forward+backward b64 w128")
def scanning(dt):
    from models.trawlix import CNN_DistributedScanningMLP, CNN_SimpleScanningMLP

    w = [randn(s, dt) for s in ((192, 8), (8, 16), (16, 4))]
    A = randn((64, 24, 128), dt)
    nets = {}
    for name, cls in (("simple", CNN_SimpleScanningMLP), ("distributed", CNN_DistributedScanningMLP)):
        nets[name] = cls()
        nets[name].init_weights(w)
    dZ = randn(nets["simple"].forward(A).shape, dt)

    def twin():
        ws = torch_args(
            w[0].T.reshape(8, 8, 24).transpose(0, 2, 1),
            w[1].T.reshape(16, 8, 1),
            w[2].T.reshape(4, 16, 1),
            grad=(0, 1, 2),
        )
        x, g = torch_args(A, dZ, grad=(0,))

        def torch_pass():
            h = F.relu(F.conv1d(x, ws[0], stride=4))
            h = F.relu(F.conv1d(h, ws[1]))
            F.conv1d(h, ws[2]).flatten(1).backward(g)

        return torch_pass

    simple, distributed = nets["simple"], nets["distributed"]
    times = against_torch(lambda: (simple.forward(A), simple.backward(dZ)), twin)
    distributed_time = best_time(lambda: (distributed.forward(A), distributed.backward(dZ)))
    return times, f"distributed network {distributed_time * 1e3:.3f} ms"


def recurrent_row(kind, T, N, I, H):
    @row(f"{kind} seq{T} b{N} {I}->{H} forward+backward")
    def bench(dt):
        from quillet.nn import rnn

        layer = getattr(rnn, kind)(I, H)
        X = randn((T, N, I), dt)
        dY = randn((T, N, H), dt)

        def twin():
            net = getattr(torch.nn, kind)(I, H, dtype=TORCH_DTYPE[dt])
            x, g = torch_args(X, dY, grad=(0,))
            return lambda: net(x)[0].backward(g)

        return against_torch(lambda: (layer.forward(X), layer.backward(dY)), twin), ""


for _kind in ("GRU", "LSTM"):
    recurrent_row(_kind, 64, 32, 64, 128)
    recurrent_row(_kind, 200, 8, 16, 32)


@row("machine GEMM (the faster of numpy and torch, 1024x1024)")
def gemm(dt):
    return {}, f"{machine_gemm(dt):.0f} GFLOP/s"


def level_of_torch():
    try:
        return torch.backends.cpu.get_cpu_capability()
    except AttributeError:
        return "?"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("words", nargs="*", help="run only rows whose name contains one of these words")
    parser.add_argument("--threads", type=int, help="threads for quillet (and PyTorch); default: quillet's own")
    parser.add_argument("--dtype", choices=("float64", "float32", "both"), default="both")
    parser.add_argument("--isa", choices=sorted(ISA_ENV), help="run quillet, PyTorch and NumPy's BLAS at this level")
    parser.add_argument("--stat", choices=("best", "median"), default="best", help="summary of the repeats")
    parser.add_argument("--json", metavar="FILE", help="also write the times (seconds) to FILE")
    args = parser.parse_args()
    if args.isa and any(os.environ.get(k) != v for k, v in ISA_ENV[args.isa].items()):
        # The levels are chosen at import: run again with them in the environment.
        os.execve(sys.executable, [sys.executable, *sys.argv], {**os.environ, **ISA_ENV[args.isa]})
    if args.threads is not None:
        if args.threads < 1:
            parser.error("--threads must be at least 1")
        quillet.set_num_threads(args.threads)
        if torch:
            torch.set_num_threads(args.threads)
    STAT[0] = min if args.stat == "best" else statistics.median
    dtypes = {"float64": [F64], "float32": [F32], "both": [F64, F32]}[args.dtype]
    print(
        f"python {sys.version.split()[0]}, numpy {np.__version__}, "
        f"torch {torch.__version__ + ' (' + level_of_torch() + ')' if torch else 'not installed'}, "
        f"quillet {getattr(quillet, '__version__', '?')}"
        + (f" ({quillet._isa()['in_use']}, {quillet.get_num_threads()} threads)" if hasattr(quillet, "_isa") else "")
        + f"; the {args.stat} of the repeats"
    )
    width = 54
    header = f"{'benchmark':<{width}}" + "".join(
        f" {'q ' + np.dtype(dt).name[-2:] + ' ms':>9} {'torch ms':>9} {'x torch':>7}" for dt in dtypes
    )
    header += f" {'numpy ms':>9} {'x numpy':>7}" if F64 in dtypes else ""
    print(header)
    print("-" * len(header))
    results = {}
    for name, fn in ROWS:
        if args.words and not any(w in name for w in args.words):
            continue
        line, notes = f"{name:<{width}}", []
        for dt in dtypes:
            try:
                with quillet.default_dtype(dt):
                    times, note = fn(dt)
            except ImportError as e:  # a row for a layer this build of quillet does not have
                line += f"  skipped: {e}"
                break
            q = times.get("quillet")
            line += f" {q * 1e3:9.3f}" if q else f" {'-':>9}"
            line += (
                f" {times['torch'] * 1e3:9.3f} {times['torch'] / q:7.2f}"
                if "torch" in times and q
                else f" {'-':>9} {'-':>7}"
            )
            if dt == F64:
                numpy_times = times
            if note:
                notes.append(f"{np.dtype(dt).name}: {note}" if len(dtypes) > 1 else note)
            results[name if dt == F64 else f"{name} [float32]"] = times
        else:
            if F64 in dtypes:
                t, q = numpy_times.get("numpy"), numpy_times.get("quillet")
                line += f" {t * 1e3:9.3f} {t / q:7.2f}" if t and q else f" {'-':>9} {'-':>7}"
        print(line + ("  " + "; ".join(notes) if notes else ""), flush=True)
    if args.json:
        with open(args.json, "w") as f:
            json.dump(results, f, indent=1)


if __name__ == "__main__":
    main()
