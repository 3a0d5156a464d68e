"""quillet.state: weights by dotted path, the .npz round trip, and every
refusal leaving the model exactly as it was."""

import io
import os
import pickle
import re
import subprocess
import sys
import zipfile

import numpy as np
import pytest

from conftest import make
from quillet.optim import parameters
from quillet.state import load, load_state_dict, save, state_dict


def snapshot(model):
    return [(id(getattr(o, n)), getattr(o, n).copy()) for o, n in parameters(model)]


def same(a, b):
    return len(a) == len(b) and all(i == j and np.array_equal(x, y) for (i, x), (j, y) in zip(a, b))


@pytest.fixture
def cnn(capsys):
    return make("CNN")


class Norm:
    """A layer with running statistics (buffers) beside its parameters."""

    def __init__(self, n):
        self.W, self.dLdW = np.ones(n), np.zeros(n)
        self.running_mean = np.arange(n, dtype=float)
        self.running_count = np.zeros(n, int)  # not floating: not a buffer


def test_names_are_dotted_paths_and_values_are_copies(cnn):
    sd = state_dict(cnn)
    assert list(sd) == [f"convolutional_layers.{i}.lintrel_stride1.{n}" for i in range(3) for n in "Wb"] + [
        "linear_layer.W",
        "linear_layer.b",
    ]
    sd["linear_layer.W"][...] = 99
    assert not (cnn.linear_layer.W == 99).any()
    assert list(state_dict([Norm(2)])) == ["0.W", "0.running_mean"]


def test_round_trip_through_a_file_keeps_references(cnn, tmp_path, capsys):
    path = tmp_path / "cnn.npz"
    save(cnn, path)
    assert os.listdir(tmp_path) == ["cnn.npz"]
    other = make("CNN")
    for o, n in parameters(other):
        getattr(o, n)[...] = 0
    held = other.convolutional_layers[0].lintrel_stride1.W
    other.linear_layer.b = other.linear_layer.b.astype(np.float32)  # not float64: replaced
    load(other, str(path))
    assert other.convolutional_layers[0].lintrel_stride1.W is held
    assert other.linear_layer.b.dtype == np.float64
    for (k, a), (_, b) in zip(state_dict(cnn).items(), state_dict(other).items()):
        np.testing.assert_array_equal(a, b, err_msg=k)
    with np.load(path, allow_pickle=False) as z:
        assert sorted(z.files) == sorted(state_dict(cnn))


def test_buffers_round_trip(tmp_path):
    from quillet.nn.batchnorm import BatchNorm2d
    from quillet.nn.sequential import Sequential

    a, b = Norm(3), Norm(3)
    a.running_mean[:] = [4, 5, 6]
    save(a, tmp_path / "n.npz")
    load(b, tmp_path / "n.npz")
    np.testing.assert_array_equal(b.running_mean, [4, 5, 6])
    net, other = Sequential(BatchNorm2d(2)), Sequential(BatchNorm2d(2))
    net.forward(np.random.default_rng(5).standard_normal((3, 2, 4, 4)))
    assert list(state_dict(net)) == [f"layers.0.{n}" for n in ("W", "b", "running_mean", "running_var")]
    load_state_dict(other, state_dict(net))
    np.testing.assert_array_equal(other.layers[0].running_var, net.layers[0].running_var)


def state_with(cnn, **changes):
    sd = state_dict(cnn)
    for k, v in changes.items():
        k = k.replace("__", ".")
        if v is None:
            del sd[k]
        else:
            sd[k] = v
    return sd


@pytest.mark.parametrize(
    "change, error, words",
    [
        (dict(linear_layer__W=np.zeros((3, 3))), ValueError, ["linear_layer.W", "shape (3, 3)"]),
        (dict(linear_layer__b=None), ValueError, ["missing", "linear_layer.b"]),
        (dict(extra__W=np.zeros(2)), ValueError, ["unexpected", "extra.W"]),
        (dict(linear_layer__b=np.zeros(3, complex)), TypeError, ["linear_layer.b", "complex"]),
        (dict(linear_layer__b=np.array(["1", "2", "3"])), TypeError, ["linear_layer.b"]),
        (dict(linear_layer__b=np.array([1.0, None, 2.0], dtype=object)), TypeError, ["linear_layer.b", "object"]),
    ],
)
def test_refusals_leave_the_model_unchanged(cnn, change, error, words):
    sd = state_with(cnn, **change)
    for k in sd:  # the valid entries differ from the model, so a partial load would show
        if np.asarray(sd[k]).dtype == np.float64:
            sd[k] = sd[k] + 1
    before = snapshot(cnn)
    with pytest.raises(error) as e:
        load_state_dict(cnn, sd)
    assert all(w in str(e.value) for w in words)
    assert same(before, snapshot(cnn))


def test_non_strict_loads_what_matches(cnn):
    sd = state_with(cnn, linear_layer__b=None, extra=np.zeros(1))
    sd["linear_layer.W"] = sd["linear_layer.W"] + 1
    missing, unexpected = load_state_dict(cnn, sd, strict=False)
    assert (missing, unexpected) == (["linear_layer.b"], ["extra"])
    np.testing.assert_array_equal(cnn.linear_layer.W, sd["linear_layer.W"])


def test_files_that_could_run_code_are_refused(cnn, tmp_path):
    before = snapshot(cnn)
    pickled = tmp_path / "pickled.npz"
    pickled.write_bytes(pickle.dumps(state_dict(cnn)))
    objects = tmp_path / "objects.npz"
    np.savez(objects, **state_with(cnn, linear_layer__b=np.array([1.0, 2.0, 3.0], dtype=object)))
    single = tmp_path / "single.npy"
    np.save(single, np.zeros(3))
    for path, word in ((pickled, "not an .npz archive"), (objects, "linear_layer.b"), (single, "single array")):
        with pytest.raises(ValueError, match=word):
            load(cnn, path)
    assert same(before, snapshot(cnn))
    with pytest.raises(FileNotFoundError):
        load(cnn, tmp_path / "absent.npz")


@pytest.mark.parametrize("stage", ["write_array", "replace"])
def test_an_interrupted_save_keeps_the_good_file(cnn, tmp_path, monkeypatch, stage):
    path = tmp_path / "model.npz"
    save(cnn, path)
    good = path.read_bytes()
    cnn.linear_layer.W = cnn.linear_layer.W + 1

    def fail(*args, **kwargs):
        raise KeyboardInterrupt

    monkeypatch.setattr(*((np.lib.format, "write_array") if stage == "write_array" else (os, "replace")), fail)
    with pytest.raises(KeyboardInterrupt):
        save(cnn, path)
    monkeypatch.undo()
    assert path.read_bytes() == good and os.listdir(tmp_path) == ["model.npz"]
    assert zipfile.is_zipfile(path)


def test_bad_arguments(cnn, tmp_path):
    with pytest.raises(TypeError, match="mapping"):
        load_state_dict(cnn, [("linear_layer.W", 1)])
    with pytest.raises(TypeError, match="str"):
        load_state_dict(cnn, {1: np.zeros(1)})
    with pytest.raises(TypeError):
        save(cnn, 3.5)
    with pytest.raises(FileNotFoundError, match="no_such_folder"):
        save(cnn, tmp_path / "no_such_folder" / "m.npz")


# ---------------------------------------------------------------- tied weights, optimizers


def test_a_tied_array_has_one_name_and_loading_keeps_the_tie(tmp_path):
    from quillet.nn.linear import Linear
    from quillet.nn.sequential import Sequential

    def tied():
        a, b = Linear(4, 4, lambda o, i: np.random.standard_normal((o, i))), Linear(4, 4)
        b.W = a.W
        return Sequential(a, b)

    net, other = tied(), tied()
    assert list(state_dict(net)) == ["layers.0.W", "layers.0.b", "layers.1.b"]
    other.layers[0].W = other.layers[1].W = other.layers[0].W.astype(np.float32)  # replaced, not copied into
    save(net, tmp_path / "t.npz")
    load(other, tmp_path / "t.npz")
    assert other.layers[0].W is other.layers[1].W
    np.testing.assert_array_equal(other.layers[1].W, net.layers[0].W)


def small_net(seed):
    from quillet.flatten import Flatten
    from quillet.nn.activation import ReLU
    from quillet.nn.linear import Linear
    from quillet.nn.Plantrel import Plantrel
    from quillet.nn.sequential import Sequential

    rng = np.random.default_rng(seed)
    return Sequential(
        Plantrel(2, 3, 3, 1, 1, weight_init_fn=lambda *s: rng.standard_normal(s) * 0.3),
        ReLU(),
        Flatten(),
        Linear(3 * 5 * 5, 4, lambda o, i: rng.standard_normal((o, i)) * 0.1),
    )


@pytest.mark.parametrize(
    "make_opt",
    [
        lambda n: __import__("quillet.optim").optim.SGD(n, lr=0.05, momentum=0.9, nesterov=True, weight_decay=1e-3),
        lambda n: __import__("quillet.optim").optim.Adam(n, lr=1e-2, betas=(0.8, 0.99)),
        lambda n: __import__("quillet.optim").optim.AdamW(n, lr=1e-2),
    ],
    ids=["SGD", "Adam", "AdamW"],
)
def test_training_resumed_from_files_continues_bit_identically(tmp_path, make_opt):
    from quillet.nn.loss import MSELoss

    rng = np.random.default_rng(9)
    X, Y = rng.standard_normal((6, 2, 5, 5)), rng.standard_normal((6, 4))
    loss = MSELoss()

    def steps(net, opt, n):
        for _ in range(n):
            opt.zero_grad()
            loss(net(X), Y)
            net.backward(loss.backward())
            opt.step()

    net = small_net(0)
    opt = make_opt(net)
    steps(net, opt, 3)
    save(net, tmp_path / "net.npz")
    save(opt, tmp_path / "opt.npz")
    steps(net, opt, 4)

    resumed = small_net(1)  # other weights, a fresh optimizer with other state
    ropt = make_opt(resumed)
    load(resumed, tmp_path / "net.npz")
    load(ropt, tmp_path / "opt.npz")
    steps(resumed, ropt, 4)
    for k, v in state_dict(net).items():
        np.testing.assert_array_equal(state_dict(resumed)[k], v, err_msg=k)


def test_optimizer_files_are_checked_against_the_optimizer(tmp_path):
    from quillet.optim import SGD, Adam

    net = small_net(0)
    adam = Adam(net)
    for o, n in parameters(net):
        getattr(o, "dLd" + n)[...] = 1.0
    adam.step()
    save(adam, tmp_path / "adam.npz")
    with pytest.raises(ValueError, match="state is that of Adam, not of SGD"):
        load(SGD(net, lr=0.1), tmp_path / "adam.npz")
    with pytest.raises(ValueError, match="unexpected 'state.layers.0.plantrel_stride1.W.exp_avg'"):
        load(Adam(net.layers[:1]), tmp_path / "adam.npz")
    sd = state_dict(adam)
    sd["lr"] = np.array(-1.0)
    with pytest.raises(ValueError, match="lr"):
        load_state_dict(adam, sd)
    assert adam.lr == 1e-3 and adam.state["layers.0.plantrel_stride1.W"]["step"] == 1


# ---------------------------------------------------------------- hostile and damaged files

# Each is loaded into a fresh CNN in a child process whose address space is
# limited to what it uses plus LIMIT_MB: reading a bomb's data would not fit.
LIMIT_MB = 150
CHILD = r"""
import resource, sys
import numpy as np
sys.path.insert(0, {tests!r})
from conftest import make
from quillet.optim import parameters
from quillet.state import StateFileError, load
model = make("CNN")
before = [getattr(o, n).copy() for o, n in parameters(model)]
with open("/proc/self/statm") as f:
    used = int(f.read().split()[0]) * resource.getpagesize()
resource.setrlimit(resource.RLIMIT_AS, (used + {limit} * 2**20, resource.RLIM_INFINITY))
try:
    load(model, {path!r})
except StateFileError as e:
    print("REFUSED", e)
else:
    print("LOADED")
assert all(np.array_equal(getattr(o, n), b) for (o, n), b in zip(parameters(model), before))
"""


def npy_bytes(array, header_shape=None):
    buf = io.BytesIO()
    np.lib.format.write_array(buf, array)
    data = buf.getvalue()
    if header_shape is not None:  # the same header, claiming another shape
        data = data.replace(repr(array.shape).encode(), repr(header_shape).encode().ljust(len(repr(array.shape))))
    return data


ZEROS = bytes(2**24)


def hostile(kind, path, good):
    """Writes the hostile variant `kind` of the good file's bytes to `path`."""
    if kind in ("truncated", "empty", "flipped_byte", "random_bytes"):
        data = bytearray(good)
        if kind == "flipped_byte":
            data[len(data) // 3] ^= 0x40
        data = {"truncated": data[: len(data) // 2], "empty": b"", "random_bytes": os.urandom(5000)}.get(kind, data)
        path.write_bytes(bytes(data))
        return path
    with zipfile.ZipFile(io.BytesIO(good)) as src:
        members = {n: src.read(n) for n in src.namelist()}
    target = "linear_layer.W.npy"
    shape = np.load(io.BytesIO(members[target])).shape
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
        for n, data in members.items():
            if n == target and kind == "huge_shape":
                z.writestr(n, npy_bytes(np.zeros(shape), header_shape=(10**9,))[:200])
            elif n == target and kind == "bomb_known_name":  # 512 MiB more than its header declares
                with z.open(n, "w", force_zip64=True) as m:
                    m.write(npy_bytes(np.zeros(shape)))
                    for _ in range(32):
                        m.write(ZEROS)
            else:
                z.writestr(n, data)
        if kind == "duplicate":
            with pytest.warns(UserWarning, match="Duplicate"):
                z.writestr(target, members[target])
        elif kind == "not_npy":
            z.writestr("README.txt", b"hello")
        elif kind == "bomb_unknown_name":  # 512 MiB of zeros, a few hundred KiB compressed
            with z.open("bomb.npy", "w", force_zip64=True) as m:
                for _ in range(32):
                    m.write(ZEROS)
    return path


HOSTILE = {
    "truncated": "not an .npz archive",
    "empty": "empty",
    "flipped_byte": "damaged|CRC|header",
    "random_bytes": "not an .npz archive",
    "duplicate": "two members",
    "not_npy": "not an .npy array",
    "bomb_unknown_name": "unexpected 'bomb'",
    "bomb_known_name": "linear_layer.W",
    "huge_shape": "shape",
}


@pytest.mark.parametrize("kind", sorted(HOSTILE))
def test_hostile_files_are_refused_in_bounded_memory_leaving_the_model_unchanged(kind, tmp_path, capsys):
    good_path = tmp_path / "good.npz"
    save(make("CNN"), good_path)
    path = hostile(kind, tmp_path / f"{kind}.npz", good_path.read_bytes())
    script = CHILD.format(tests=os.path.dirname(__file__), limit=LIMIT_MB, path=str(path))
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr[-2000:]
    assert run.stdout.startswith("REFUSED"), run.stdout
    message = run.stdout
    assert str(path) in message and re.search(HOSTILE[kind], message), message


# ---------------------------------------------------------------- what a save keeps and leaves


def test_a_save_keeps_permissions_and_follows_symlinks(tmp_path):
    model = Norm(2)
    private = tmp_path / "private.npz"
    save(model, private)
    private.chmod(0o600)
    save(model, private)
    assert private.stat().st_mode & 0o777 == 0o600
    target, link = tmp_path / "target.npz", tmp_path / "link.npz"
    save(model, target)
    link.symlink_to(target.name)
    model.W[:] = 7
    save(model, link)
    assert link.is_symlink() and np.load(target)["W"].tolist() == [7, 7]
    assert sorted(os.listdir(tmp_path)) == ["link.npz", "private.npz", "target.npz"]


def test_a_save_through_a_link_to_another_filesystem_lands_where_the_system_says(tmp_path):
    shm = "/dev/shm"
    if not os.path.isdir(shm) or os.stat(shm).st_dev == os.stat(tmp_path).st_dev:
        pytest.skip("no second filesystem at /dev/shm")
    import tempfile

    with tempfile.TemporaryDirectory(dir=shm) as other:
        os.mkdir(os.path.join(other, "inner"))
        (tmp_path / "lnk").symlink_to(os.path.join(other, "inner"))
        save(Norm(2), tmp_path / "lnk" / ".." / "w.npz")
        assert os.listdir(other) == ["inner", "w.npz"] or sorted(os.listdir(other)) == ["inner", "w.npz"]


def test_a_destination_open_could_not_write_is_refused(tmp_path):
    folder = tmp_path / "shared"
    folder.mkdir()
    (folder / "w.npz").write_bytes(b"old")
    (folder / "w.npz").chmod(0o444)
    script = f"""
import os, sys
sys.path.insert(0, {os.path.dirname(__file__)!r})
from test_state import Norm
from quillet.state import save
if os.getuid() == 0:
    os.setgid(65534); os.setuid(65534)
path = {str(folder / "w.npz")!r}
try:
    open(path, "r+b")
except PermissionError:
    pass
else:
    raise SystemExit("open could write it")
try:
    save(Norm(2), path)
except PermissionError as e:
    print("REFUSED", e)
"""
    if os.getuid() == 0:  # the unprivileged child must reach the folder
        for p in [folder, *folder.parents][:-1]:
            os.chmod(p, os.stat(p).st_mode | 0o711)
        folder.chmod(0o777)
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert run.stdout.startswith("REFUSED") and "w.npz" in run.stdout, run.stdout + run.stderr
    assert (folder / "w.npz").read_bytes() == b"old" and os.listdir(folder) == ["w.npz"]


def test_leftovers_of_killed_saves_are_removed_but_live_ones_are_not(tmp_path):
    import fcntl
    import signal
    import time

    path = tmp_path / "w.npz"
    script = f"""
import sys
import numpy as np
sys.path.insert(0, {os.path.dirname(__file__)!r})
from test_state import Norm
from quillet.state import save
model = Norm(2_000_000)
print("ready", flush=True)
while True:
    save(model, {str(path)!r})
"""
    for delay in (0.05, 0.15, 0.3):
        child = subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE, text=True)
        assert child.stdout.readline() == "ready\n"
        time.sleep(delay)
        child.send_signal(signal.SIGKILL)
        child.wait()
        child.stdout.close()
    for token in ("0123456789ab", "ba9876543210"):  # what a killed save leaves, for certain
        (tmp_path / f".w.npz.{token}.tmp").write_bytes(b"partial")
    live = tmp_path / ".w.npz.00000000abcd.tmp"
    with open(live, "wb") as f:
        fcntl.flock(f, fcntl.LOCK_EX)  # a save running in another process
        other = tmp_path / ".other.npz.0123456789ab.tmp"  # another destination's
        other.write_bytes(b"")
        save(Norm(2), path)
        assert sorted(os.listdir(tmp_path)) == sorted([live.name, other.name, "w.npz"])


# ---------------------------------------------------------------- names and values that cannot be kept


def test_names_and_values_that_cannot_be_loaded_are_refused_by_name(cnn, tmp_path):
    odd = Norm(2)
    setattr(odd, "a\x00b", np.zeros(2))
    setattr(odd, "dLda\x00b", np.zeros(2))
    with pytest.raises(ValueError, match="NUL"):
        save(odd, tmp_path / "odd.npz")
    assert os.listdir(tmp_path) == []
    sd = state_dict(cnn)
    sd["linear_layer.b"] = [[1.0, 2.0], [3.0]]
    with pytest.raises((ValueError, TypeError), match="linear_layer.b"):
        load_state_dict(cnn, sd)
    sd = state_dict(cnn)
    sd["\udcff"] = np.zeros(1)
    with pytest.raises(ValueError, match="unexpected"):
        load_state_dict(cnn, sd)


class Guarded(Norm):
    """A layer that refuses new arrays for W once it is built."""

    def __init__(self, n):
        super().__init__(n)
        self.W = self.W.astype(np.float32)
        self.built = True

    def __setattr__(self, name, value):
        if name == "W" and "built" in self.__dict__:
            raise AttributeError("W is fixed")
        super().__setattr__(name, value)


def test_a_failing_assignment_leaves_every_parameter_as_it_was():
    first, second = Norm(2), Guarded(2)
    first.W = first.W.astype(np.float32)  # replaced on load, as second's would be
    model = [first, second]
    held = first.W
    with pytest.raises(AttributeError, match="fixed"):
        load_state_dict(model, {k: v + 1 for k, v in state_dict(model).items()})
    assert first.W is held and first.running_mean.tolist() == [0, 1]
