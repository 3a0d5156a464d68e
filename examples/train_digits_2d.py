"""Train a two-dimensional CNN, composed layer by layer, on scikit-learn's 8x8 digits.

Each image is one channel of 8x8 pixels.  The network is a Sequential of
quillet's own layers (convolution, ReLU and max pooling, twice, then flatten and
a linear layer), trained with Adam on the softmax cross-entropy.  The script
splits the data into training and test sets, shows a progress bar over the
epochs and the loss and accuracy of each, writes a plot of the curves, saves
the trained weights with quillet.state.save and reports the final test
accuracy of a fresh network loaded from that file (both under out/ by
default).  With --check it first compares the network's backward pass with
central differences (quillet.gradcheck).

Everything random (the split, the weights, the order of the batches) follows
from --seed, so two runs with the same flags print the same numbers.
"""

import argparse
import math
import os
import sys
import time

import numpy as np

# Formats the plot can be written in (matplotlib's Agg backend and Pillow).
PLOT_FORMATS = (".png", ".pdf", ".svg", ".jpg", ".jpeg", ".tif", ".tiff", ".webp", ".eps", ".ps")


def positive_int(text):
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a whole number, got {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, got {value}")
    return value


def positive_float(text):
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a number, got {text!r}") from None
    if not (math.isfinite(value) and value > 0):
        raise argparse.ArgumentTypeError(f"must be a positive finite number, got {text}")
    return value


def seed_int(text):
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a whole number, got {text!r}") from None
    if not 0 <= value < 2**32:
        raise argparse.ArgumentTypeError(f"must be between 0 and 2**32 - 1, got {value}")
    return value


def output_path(suffixes):
    """A validator for a file name with one of `suffixes` whose folder exists or
    can be made.  Nothing is created here: folders are made when the file is written."""

    def check(text):
        if not text:
            raise argparse.ArgumentTypeError("expected a file name")
        if os.path.splitext(text)[1].lower() not in suffixes:
            raise argparse.ArgumentTypeError(f"{text!r} does not end in one of {', '.join(suffixes)}")
        path = os.path.abspath(text)
        if os.path.isdir(path):
            raise argparse.ArgumentTypeError(f"{text!r} is a folder; give a file name inside it")
        # The nearest ancestor that exists must be a folder we may create entries in.
        folder = os.path.dirname(path)
        existing = folder
        while not os.path.exists(existing):
            existing = os.path.dirname(existing)
        if existing == folder and not os.path.isdir(folder):
            raise argparse.ArgumentTypeError(f"{folder} is a file, not a folder")
        if not os.path.isdir(existing):
            raise argparse.ArgumentTypeError(f"cannot create the folder {folder}: {existing} is a file")
        if not os.access(existing, os.W_OK | os.X_OK):
            raise argparse.ArgumentTypeError(f"cannot write in {existing}: permission denied")
        return text

    return check


def build_parser():
    p = argparse.ArgumentParser(
        description=__doc__.splitlines()[0], formatter_class=argparse.ArgumentDefaultsHelpFormatter
    )
    p.add_argument("--epochs", type=positive_int, default=20, help="passes over the training set")
    p.add_argument("--batch-size", type=positive_int, default=32, help="images per gradient step")
    p.add_argument(
        "--lr", type=positive_float, default=3e-3, help="Adam's learning rate in the first epoch, decayed to 0"
    )
    p.add_argument("--seed", type=seed_int, default=0, help="seed for the split, the weights and the batches")
    p.add_argument(
        "--plot",
        type=output_path(PLOT_FORMATS),
        default=os.path.join("out", "digits_2d_training.png"),
        help="where to write the plot of the curves; missing folders are created",
    )
    p.add_argument(
        "--weights",
        type=output_path((".npz",)),
        default=os.path.join("out", "digits_2d.npz"),
        help="where to save the trained weights; missing folders are created",
    )
    p.add_argument("--check", action="store_true", help="check the network's gradients first")
    return p


def parse_args(argv=None):
    return build_parser().parse_args(argv)


def require_extras():
    """Stop before any work if the example's own dependencies are missing."""
    missing = []
    for module, package in (("sklearn", "scikit-learn"), ("matplotlib", "matplotlib"), ("tqdm", "tqdm")):
        try:
            __import__(module)
        except ImportError:
            missing.append(package)
    if missing:
        sys.exit(
            f'this example needs {", ".join(missing)}: install them with  pip install ".[examples]"  '
            f"(from quillet's folder) or  pip install {' '.join(missing)}"
        )


def load(seed):
    from sklearn.datasets import load_digits
    from sklearn.model_selection import train_test_split

    digits = load_digits()
    X = digits.images.astype(np.float64)[:, None] / 16.0  # (n, 1 channel, 8, 8) in [0, 1]
    return train_test_split(X, digits.target, test_size=0.25, random_state=seed, stratify=digits.target)


def one_hot(labels, classes=10):
    out = np.zeros((len(labels), classes))
    out[np.arange(len(labels)), labels] = 1.0
    return out


def build_network(rng):
    from quillet.flatten import Flatten
    from quillet.nn.activation import ReLU
    from quillet.nn.linear import Linear
    from quillet.nn.Plantrel import Plantrel
    from quillet.nn.pool import MaxPool2d
    from quillet.nn.sequential import Sequential

    # He initialisation: the layers' default N(0, 1) weights would make the
    # activations grow with every layer, and Linear starts at zero.
    def he(out_channels, in_channels, kernel_height, kernel_width):
        fan_in = in_channels * kernel_height * kernel_width
        return rng.normal(0.0, np.sqrt(2.0 / fan_in), (out_channels, in_channels, kernel_height, kernel_width))

    def linear_init(out_features, in_features):
        return rng.normal(0.0, np.sqrt(1.0 / in_features), (out_features, in_features))

    return Sequential(
        Plantrel(1, 32, 5, 1, 2, weight_init_fn=he, bias_init_fn=np.zeros),  # (n, 32, 8, 8)
        ReLU(),
        MaxPool2d(2, 2),  # (n, 32, 4, 4)
        Plantrel(32, 64, 3, 1, 1, weight_init_fn=he, bias_init_fn=np.zeros),  # (n, 64, 4, 4)
        ReLU(),
        MaxPool2d(2, 2),  # (n, 64, 2, 2)
        Flatten(),  # (n, 256)
        Linear(256, 10, weight_init_fn=linear_init, bias_init_fn=np.zeros),  # (n, 10)
    )


def accuracy(net, X, y):
    return float(np.mean(np.argmax(net.forward(X), axis=1) == y))


def check(net, X, seed):
    """The whole network's gradients against central differences, on a few
    images with a little noise (their exact zeros would put ReLUs on their kinks)."""
    from quillet.gradcheck import GradcheckError, gradcheck

    noisy = X[:4] + 0.05 * np.random.default_rng(seed).standard_normal(X[:4].shape)
    start = time.perf_counter()
    try:
        gradcheck(net, noisy)
    except GradcheckError as e:
        sys.exit(f"gradient check failed:\n{e}")
    print(
        "gradient check passed: the input and every parameter agree with central differences "
        f"({time.perf_counter() - start:.1f} s)"
    )


def train(epochs, batch_size, lr, seed, data=None, bar=None, report=None, check_first=False):
    """Train a fresh network; return it and the per-epoch history.

    `data` is what load() returns (loaded afresh if None); `bar`, if given, is
    a progress bar over the epochs (tqdm-like); `report` is called with each
    epoch's summary line; `check_first` runs the gradient check before training.
    """
    from quillet.nn.loss import CrossEntropyLoss
    from quillet.optim import Adam

    rng = np.random.default_rng(seed)
    X_train, X_test, y_train, y_test = load(seed) if data is None else data
    Y_train = one_hot(y_train)
    net = build_network(rng)
    if check_first:
        check(net, X_train, seed)
    optimizer, criterion = Adam(net, lr=lr), CrossEntropyLoss()

    history = {"loss": [], "train": [], "test": []}
    for epoch in range(1, epochs + 1):
        # Cosine decay: full steps early, small ones to settle at the end.
        optimizer.lr = lr * 0.5 * (1.0 + np.cos(np.pi * (epoch - 1) / epochs))
        order = rng.permutation(len(X_train))
        losses = []
        net.train()
        for begin in range(0, len(order), batch_size):
            batch = order[begin : begin + batch_size]
            optimizer.zero_grad()  # the 2-D convolutions add to their gradients
            loss = criterion(net(X_train[batch]), Y_train[batch])
            net.backward(criterion.backward())
            optimizer.step()
            losses.append(float(loss))
        net.eval()
        history["loss"].append(float(np.mean(losses)))
        history["train"].append(accuracy(net, X_train, y_train))
        history["test"].append(accuracy(net, X_test, y_test))
        if bar is not None:
            bar.set_postfix(
                {
                    "loss": f"{history['loss'][-1]:.4f}",
                    "train_acc": f"{history['train'][-1]:.3f}",
                    "test_acc": f"{history['test'][-1]:.3f}",
                },
                refresh=False,
            )
            bar.update()
        if report is not None:
            report(
                f"epoch {epoch:2d}: loss {history['loss'][-1]:.4f}  train accuracy {history['train'][-1]:.3f}  "
                f"test accuracy {history['test'][-1]:.3f}"
            )
    return net, history


def main(argv=None):
    args = parse_args(argv)
    require_extras()
    from tqdm import tqdm

    from quillet import state

    start = time.perf_counter()
    data = load(args.seed)
    print(
        f"{len(data[0])} training and {len(data[1])} test images of 8x8 pixels, 10 classes; "
        f"{args.epochs} epochs of batches of {args.batch_size}, Adam with learning rate {args.lr:g} "
        f"(cosine decay), seed {args.seed}"
    )
    with tqdm(total=args.epochs, desc="training", unit="epoch") as bar:
        net, history = train(
            args.epochs,
            args.batch_size,
            args.lr,
            args.seed,
            data=data,
            bar=bar,
            report=tqdm.write,
            check_first=args.check,
        )
    elapsed = time.perf_counter() - start
    print(net)

    # Keep the weights, and measure what was kept: a fresh network (other
    # random weights) loaded from the file.
    os.makedirs(os.path.dirname(os.path.abspath(args.weights)), exist_ok=True)
    state.save(net, args.weights)
    fresh = build_network(np.random.default_rng(args.seed + 1))
    state.load(fresh, args.weights)
    final = accuracy(fresh, data[1], data[3])
    print(f"weights saved to {os.path.abspath(args.weights)}")
    print(
        f"final test accuracy: {final * 100:.1f}% ({len(data[1])} held-out images, chance is 10%; "
        f"of a fresh network loaded from the saved weights); loaded and trained in {elapsed:.1f} s"
    )
    plot(history, args)
    print(f"plot written to {os.path.abspath(args.plot)}")


def plot(history, args):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    epochs = np.arange(1, len(history["loss"]) + 1)
    fig, (left, right) = plt.subplots(1, 2, figsize=(10, 4.4))
    left.plot(epochs, history["loss"], marker="o", markersize=3)
    left.set(title="training loss", xlabel="epoch", ylabel="mean cross-entropy")
    right.plot(epochs, history["train"], marker="o", markersize=3, label="train")
    right.plot(epochs, history["test"], marker="o", markersize=3, label="test")
    lowest = min(history["train"] + history["test"])
    right.set(
        title="accuracy",
        xlabel="epoch",
        ylabel="fraction correct",
        ylim=(max(0.0, np.floor(lowest * 10 - 0.2) / 10), 1.005),
    )
    right.legend(loc="lower right")
    fig.suptitle(
        f"quillet Sequential CNN on 8x8 digits: final test accuracy {history['test'][-1] * 100:.1f}%\n"
        f"{args.epochs} epochs, batch {args.batch_size}, Adam lr {args.lr:g} with cosine decay, seed {args.seed}; "
        "conv 32 (5x5), pool, conv 64 (3x3), pool, linear",
        fontsize=11,
    )
    fig.tight_layout()
    os.makedirs(os.path.dirname(os.path.abspath(args.plot)), exist_ok=True)
    fig.savefig(args.plot, dpi=100)
    plt.close(fig)


if __name__ == "__main__":
    main()
