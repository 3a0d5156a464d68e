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

import contextlib
import io
import os
import sys
import time

import numpy as np

# The helpers both digits examples share live beside them, in _common.py:
# importable whichever folder this file is run from, and however it is run.
_HERE = os.path.dirname(os.path.abspath(__file__))
if _HERE not in sys.path:
    sys.path.insert(0, _HERE)
from _common import (  # noqa: E402
    build_parser as _build_parser,
    one_hot,
    plot,
    precision,
    record_epoch,
    require_extras,
    split_digits,
)

# The network: two convolutions of kernel 3 and stride 1 (widths 8 -> 6 -> 4),
# each followed by a ReLU, then a linear layer over the 64 x 4 features.
CHANNELS = [64, 64]
KERNELS = [3, 3]
STRIDES = [1, 1]


def build_parser():
    return _build_parser(
        __doc__,
        epochs=60,
        lr=0.02,
        lr_help="learning rate of the first epoch, decayed to 0 along a cosine",
        plot="digits_training.png",
    )


def parse_args(argv=None):
    return build_parser().parse_args(argv)


def load(seed):
    """The split digits as (n, 8 rows, 8 columns), every pixel standardised."""
    X_train, X_test, y_train, y_test = split_digits(seed)
    # Standardise each pixel with the training set's mean and spread.  The
    # floor of 0.1 keeps the border pixels, blank in nearly every image, from
    # being divided by almost nothing.
    mean, scale = X_train.mean(axis=0), X_train.std(axis=0) + 0.1
    return (X_train - mean) / scale, (X_test - mean) / scale, y_train, y_test


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
        record_epoch(history, epoch, bar, report)
    return model, history


def main(argv=None):
    args = parse_args(argv)
    require_extras()
    from tqdm import tqdm

    import quillet

    start = time.perf_counter()
    data = load(args.seed)
    print(
        f"{len(data[0])} training and {len(data[1])} test images of 8x8 pixels, 10 classes; "
        f"{args.epochs} epochs of batches of {args.batch_size}, learning rate {args.lr:g} (cosine decay), "
        f"seed {args.seed}{precision(args.dtype)}"
    )
    with quillet.default_dtype(args.dtype), tqdm(total=args.epochs, desc="training", unit="epoch") as bar:
        model, history = train(args.epochs, args.batch_size, args.lr, args.seed, data=data, bar=bar, report=tqdm.write)
    elapsed = time.perf_counter() - start

    print(
        f"final test accuracy: {history['test'][-1] * 100:.1f}% ({len(data[1])} held-out images, "
        f"chance is 10%); loaded and trained in {elapsed:.1f} s"
    )
    layers = ", ".join(f"{c} channels of kernel {k}" for c, k in zip(CHANNELS, KERNELS))
    plot(
        history,
        args.plot,
        f"quillet CNN on 8x8 digits: final test accuracy {history['test'][-1] * 100:.1f}%\n"
        f"{args.epochs} epochs, batch {args.batch_size}, lr {args.lr:g} with cosine decay, "
        f"seed {args.seed}{precision(args.dtype)}; "
        f"convolutions: {layers}",
    )
    print(f"plot written to {os.path.abspath(args.plot)}")


if __name__ == "__main__":
    main()
