"""What the digits examples share: their flags' validators, the data split, the
per-epoch report and the plot of the curves.

Only the standard library and NumPy are imported here, so that bad flags are
refused before the examples' own dependencies are looked for.
"""

import argparse
import math
import os
import sys
import textwrap

import numpy as np

# The precisions the examples train in, the default first.
DTYPES = ("float64", "float32")

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


def build_parser(doc, epochs, lr, lr_help, plot):
    """The flags both examples take, with their own defaults: `doc` is the
    example's docstring (its first line describes the command) and `plot` the
    default name of the plot."""
    p = argparse.ArgumentParser(description=doc.splitlines()[0], formatter_class=argparse.ArgumentDefaultsHelpFormatter)
    p.add_argument("--epochs", type=positive_int, default=epochs, help="passes over the training set")
    p.add_argument("--batch-size", type=positive_int, default=32, help="images per gradient step")
    p.add_argument("--lr", type=positive_float, default=lr, help=lr_help)
    p.add_argument("--seed", type=seed_int, default=0, help="seed for the split, the weights and the batches")
    p.add_argument(
        "--plot",
        type=output_path(PLOT_FORMATS),
        default=os.path.join("out", plot),
        help="where to write the plot of the curves; missing folders are created",
    )
    p.add_argument(
        "--dtype",
        choices=DTYPES,
        default=DTYPES[0],
        help="the precision the whole training computes in and keeps the weights in (quillet.default_dtype)",
    )
    return p


def precision(dtype):
    """A few words for the report when the training is not in float64."""
    return "" if dtype == DTYPES[0] else f", in {dtype}"


def require_extras():
    """Stop before any work if the examples' own dependencies are missing."""
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


def split_digits(seed):
    """scikit-learn's 8x8 digits, (n, 8 rows, 8 columns) in [0, 1], split into a
    training set and a test set of a quarter of the images (450), both with
    every class in the same proportion: X_train, X_test, y_train, y_test."""
    from sklearn.datasets import load_digits
    from sklearn.model_selection import train_test_split

    digits = load_digits()
    X = digits.images.astype(np.float64) / 16.0
    return train_test_split(X, digits.target, test_size=0.25, random_state=seed, stratify=digits.target)


def one_hot(labels, classes=10):
    out = np.zeros((len(labels), classes))
    out[np.arange(len(labels)), labels] = 1.0
    return out


def record_epoch(history, epoch, bar=None, report=None):
    """Show the epoch just ended (the last entries of `history`) on the
    progress bar `bar` (tqdm-like) and through `report` (a function of a line),
    either of which may be None."""
    loss, train, test = history["loss"][-1], history["train"][-1], history["test"][-1]
    if bar is not None:
        bar.set_postfix({"loss": f"{loss:.4f}", "train_acc": f"{train:.3f}", "test_acc": f"{test:.3f}"}, refresh=False)
        bar.update()
    if report is not None:
        report(f"epoch {epoch:2d}: loss {loss:.4f}  train accuracy {train:.3f}  test accuracy {test:.3f}")


def plot(history, path, title):
    """Write the loss and accuracy curves of `history` to `path` (its folders
    made if missing) under `title`."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.ticker import MaxNLocator

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
    for axes in (left, right):  # one tick per whole epoch, never at 2.5
        axes.xaxis.set_major_locator(MaxNLocator(integer=True))
    # A long title is wrapped to the figure's width rather than clipped at
    # both edges, and the plots leave room for its lines.
    lines = textwrap.wrap(title, width=110) or [""]
    fig.suptitle("\n".join(lines), fontsize=11)
    fig.tight_layout(rect=(0, 0, 1, 1 - 0.045 * (len(lines) - 1)))
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    fig.savefig(path, dpi=100)
    plt.close(fig)
