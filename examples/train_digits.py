"""Train quillet's CNN on the 8x8 handwritten digits that ship with scikit-learn.

Each image is read as a signal of 8 channels (its rows) over a width of 8 (its
columns), so the network's one-dimensional convolutions slide along the
columns.  The script splits the data into training and test sets, standardises
every pixel with the training set's statistics, trains with mini-batch gradient
descent, shows a progress bar over the epochs and the loss and accuracy of
each, and writes a plot of the curves (under out/ by default).

Everything random (the split, the weights, the order of the batches) follows
from --seed, so two runs with the same flags print the same numbers.
"""

import argparse
import contextlib
import io
import math
import os
import sys
import time

import numpy as np

# The network: two convolutions of kernel 3 and stride 1 (widths 8 -> 6 -> 4),
# each followed by a ReLU, then a linear layer over the 64 x 4 features.
CHANNELS = [64, 64]
KERNELS = [3, 3]
STRIDES = [1, 1]

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


def plot_path(text):
    """A file name whose format is known and whose folder exists or can be made.

    Nothing is created here: the folder is made only when the plot is written.
    """
    if not text:
        raise argparse.ArgumentTypeError("expected a file name")
    suffix = os.path.splitext(text)[1].lower()
    if suffix not in PLOT_FORMATS:
        raise argparse.ArgumentTypeError(
            f"{text!r} does not end in one of {', '.join(PLOT_FORMATS)} (the format follows the extension)"
        )
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


def build_parser():
    p = argparse.ArgumentParser(
        description=__doc__.splitlines()[0], formatter_class=argparse.ArgumentDefaultsHelpFormatter
    )
    p.add_argument("--epochs", type=positive_int, default=60, help="passes over the training set")
    p.add_argument("--batch-size", type=positive_int, default=32, help="images per gradient step")
    p.add_argument(
        "--lr", type=positive_float, default=0.02, help="learning rate of the first epoch, decayed to 0 along a cosine"
    )
    p.add_argument("--seed", type=seed_int, default=0, help="seed for the split, the weights and the batches")
    p.add_argument(
        "--plot",
        type=plot_path,
        default=os.path.join("out", "digits_training.png"),
        help="where to write the plot of the curves; missing folders are created",
    )
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
    X = digits.images.astype(np.float64) / 16.0  # (n, 8 rows, 8 columns) in [0, 1]
    X_train, X_test, y_train, y_test = train_test_split(
        X, digits.target, test_size=0.25, random_state=seed, stratify=digits.target
    )
    # Standardise each pixel with the training set's mean and spread.  The
    # floor of 0.1 keeps the border pixels, blank in nearly every image, from
    # being divided by almost nothing.
    mean, scale = X_train.mean(axis=0), X_train.std(axis=0) + 0.1
    return (X_train - mean) / scale, (X_test - mean) / scale, y_train, y_test


def one_hot(labels, classes=10):
    out = np.zeros((len(labels), classes))
    out[np.arange(len(labels)), labels] = 1.0
    return out


def build_model(rng, lr):
    from models.cnn import CNN
    from quillet.nn.activation import ReLU
    from quillet.nn.loss import CrossEntropyLoss

    # He initialisation: weights scaled to the number of inputs each output
    # sums over, so the activations keep their size from layer to layer.
    def he_conv(out_channels, in_channels, kernel_size):
        return rng.normal(0.0, np.sqrt(2.0 / (in_channels * kernel_size)), (out_channels, in_channels, kernel_size))

    def he_linear(out_features, in_features):
        return rng.normal(0.0, np.sqrt(1.0 / in_features), (out_features, in_features))

    # The constructor prints each convolution's output width; keep the console
    # for the training report.
    with contextlib.redirect_stdout(io.StringIO()):
        return CNN(
            input_width=8,
            num_input_channels=8,
            num_channels=CHANNELS,
            kernel_sizes=KERNELS,
            strides=STRIDES,
            num_linear_neurons=10,
            activations=[ReLU() for _ in CHANNELS],
            conv_weight_init_fn=he_conv,
            bias_init_fn=np.zeros,
            linear_weight_init_fn=he_linear,
            criterion=CrossEntropyLoss(),
            lr=lr,
        )


def accuracy(model, X, y):
    return float(np.mean(np.argmax(model.forward(X), axis=1) == y))


def train(epochs, batch_size, lr, seed, data=None, bar=None, report=None):
    """Train a fresh model; return it and the per-epoch history.

    `data` is what load() returns (loaded afresh if None); `bar`, if given, is
    a progress bar over the epochs (tqdm-like); `report` is called with each
    epoch's summary line.
    """
    rng = np.random.default_rng(seed)
    X_train, X_test, y_train, y_test = load(seed) if data is None else data
    Y_train = one_hot(y_train)
    model = build_model(rng, lr)

    history = {"loss": [], "train": [], "test": []}
    for epoch in range(1, epochs + 1):
        # Cosine decay: full steps early, small ones to settle at the end.
        model.lr = lr * 0.5 * (1.0 + np.cos(np.pi * (epoch - 1) / epochs))
        order = rng.permutation(len(X_train))
        losses = []
        model.train()
        for begin in range(0, len(order), batch_size):
            batch = order[begin : begin + batch_size]
            model.zero_grads()
            model.forward(X_train[batch])
            model.backward(Y_train[batch])
            model.step()
            losses.append(float(model.loss))
        model.eval()
        history["loss"].append(float(np.mean(losses)))
        history["train"].append(accuracy(model, X_train, y_train))
        history["test"].append(accuracy(model, X_test, y_test))
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
    return model, history


def main(argv=None):
    args = parse_args(argv)
    require_extras()
    from tqdm import tqdm

    start = time.perf_counter()
    data = load(args.seed)
    print(
        f"{len(data[0])} training and {len(data[1])} test images of 8x8 pixels, 10 classes; "
        f"{args.epochs} epochs of batches of {args.batch_size}, learning rate {args.lr:g} (cosine decay), "
        f"seed {args.seed}"
    )
    with tqdm(total=args.epochs, desc="training", unit="epoch") as bar:
        model, history = train(args.epochs, args.batch_size, args.lr, args.seed, data=data, bar=bar, report=tqdm.write)
    elapsed = time.perf_counter() - start

    print(
        f"final test accuracy: {history['test'][-1] * 100:.1f}% ({len(data[1])} held-out images, "
        f"chance is 10%); loaded and trained in {elapsed:.1f} s"
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
    layers = ", ".join(f"{c} channels of kernel {k}" for c, k in zip(CHANNELS, KERNELS))
    fig.suptitle(
        f"quillet CNN on 8x8 digits: final test accuracy {history['test'][-1] * 100:.1f}%\n"
        f"{args.epochs} epochs, batch {args.batch_size}, lr {args.lr:g} with cosine decay, seed {args.seed}; "
        f"convolutions: {layers}",
        fontsize=11,
    )
    fig.tight_layout()
    folder = os.path.dirname(os.path.abspath(args.plot))
    os.makedirs(folder, exist_ok=True)
    fig.savefig(args.plot, dpi=100)
    plt.close(fig)


if __name__ == "__main__":
    main()
