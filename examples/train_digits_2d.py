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

With --batchnorm every convolution is followed by batch normalisation (before
its ReLU), and --dropout P zeroes a fraction P of the features the linear layer
reads, at random, while training.  The network trains in training mode (batch
statistics, dropout) and is put in evaluation mode (net.eval(): running
statistics, no dropout) for every accuracy measured; the saved weights include
the running statistics.

Everything random (the split, the weights, the order of the batches, the
dropout masks) follows from --seed, so two runs with the same flags print the
same numbers.
"""

import argparse
import contextlib
import copy
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
    output_path,
    plot,
    precision,
    record_epoch,
    require_extras,
    split_digits,
)


def probability(text):
    """A dropout probability: a number in [0, 1)."""
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a number, got {text!r}") from None
    if not 0.0 <= value < 1.0:  # NaN fails too
        raise argparse.ArgumentTypeError(f"must be at least 0 and less than 1, got {text}")
    return value


def build_parser():
    p = _build_parser(
        __doc__,
        epochs=20,
        lr=3e-3,
        lr_help="Adam's learning rate in the first epoch, decayed to 0",
        plot="digits_2d_training.png",
    )
    p.add_argument(
        "--weights",
        type=output_path((".npz",)),
        default=os.path.join("out", "digits_2d.npz"),
        help="where to save the trained weights; missing folders are created",
    )
    p.add_argument("--check", action="store_true", help="check the network's gradients first")
    p.add_argument(
        "--batchnorm", action="store_true", help="batch normalisation after each convolution, before its ReLU"
    )
    p.add_argument(
        "--dropout",
        type=probability,
        default=0.0,
        metavar="P",
        help="probability P in [0, 1) of dropout before the linear layer; 0 for none",
    )
    return p


def parse_args(argv=None):
    return build_parser().parse_args(argv)


def load(seed):
    """The split digits as images of one channel, (n, 1, 8, 8) in [0, 1]."""
    X_train, X_test, y_train, y_test = split_digits(seed)
    return X_train[:, None], X_test[:, None], y_train, y_test


def build_network(rng, batchnorm=False, dropout=0.0):
    """The network, its weights drawn from `rng`; with `batchnorm`, a BatchNorm2d
    after each convolution (before its ReLU), and with `dropout` > 0 a Dropout
    of that probability before the linear layer."""
    from quillet.flatten import Flatten
    from quillet.nn.activation import ReLU
    from quillet.nn.batchnorm import BatchNorm2d
    from quillet.nn.dropout import Dropout
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

    # Normalising before the ReLU keeps about half of each channel above zero
    # whatever the scale of the weights; the convolution's bias, cancelled by
    # the normalisation's mean, stays at zero.
    def block(in_channels, out_channels, kernel_size, padding):
        conv = Plantrel(in_channels, out_channels, kernel_size, 1, padding, weight_init_fn=he, bias_init_fn=np.zeros)
        return [conv, BatchNorm2d(out_channels), ReLU()] if batchnorm else [conv, ReLU()]

    return Sequential(
        *block(1, 32, 5, 2),  # (n, 32, 8, 8)
        MaxPool2d(2, 2),  # (n, 32, 4, 4)
        *block(32, 64, 3, 1),  # (n, 64, 4, 4)
        MaxPool2d(2, 2),  # (n, 64, 2, 2)
        Flatten(),  # (n, 256)
        *([Dropout(dropout)] if dropout > 0 else []),
        Linear(256, 10, weight_init_fn=linear_init, bias_init_fn=np.zeros),  # (n, 10)
    )


def describe(batchnorm, dropout):
    """The layers, in a few words."""
    norm = ", batch norm" if batchnorm else ""
    drop = f"dropout {dropout:g}, " if dropout > 0 else ""
    return f"conv 32 (5x5){norm}, pool, conv 64 (3x3){norm}, pool, {drop}linear"


def accuracy(net, X, y):
    """The fraction of `X` classified as `y`, in evaluation mode (where the
    network is left): running statistics, no dropout."""
    net.eval()
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


@contextlib.contextmanager
def global_generator(seed):
    """numpy's global generator (Dropout's masks come from it) seeded with
    `seed`, and put back as it was on the way out."""
    saved = np.random.get_state()
    np.random.seed(seed)
    try:
        yield
    finally:
        np.random.set_state(saved)


def train(
    epochs, batch_size, lr, seed, data=None, bar=None, report=None, check_first=False, batchnorm=False, dropout=0.0
):
    """Train a fresh network; return it and the per-epoch history.

    `data` is what load() returns (loaded afresh if None); `bar`, if given, is
    a progress bar over the epochs (tqdm-like); `report` is called with each
    epoch's summary line; `check_first` runs the gradient check before training
    (on a copy, so that the training is the same with or without it);
    `batchnorm` and `dropout` are build_network's.
    """
    from quillet.nn.loss import CrossEntropyLoss
    from quillet.optim import Adam

    rng = np.random.default_rng(seed)
    X_train, X_test, y_train, y_test = load(seed) if data is None else data
    Y_train = one_hot(y_train)
    net = build_network(rng, batchnorm, dropout)
    if check_first:
        check(copy.deepcopy(net), X_train, seed)
    optimizer, criterion = Adam(net, lr=lr), CrossEntropyLoss()

    history = {"loss": [], "train": [], "test": []}
    with global_generator(seed):
        for epoch in range(1, epochs + 1):
            # Cosine decay: full steps early, small ones to settle at the end.
            optimizer.lr = lr * 0.5 * (1.0 + np.cos(np.pi * (epoch - 1) / epochs))
            order = rng.permutation(len(X_train))
            losses = []
            net.train()  # batch statistics, dropout on
            for begin in range(0, len(order), batch_size):
                batch = order[begin : begin + batch_size]
                optimizer.zero_grad()  # the 2-D convolutions add to their gradients
                loss = criterion(net(X_train[batch]), Y_train[batch])
                net.backward(criterion.backward())
                optimizer.step()
                losses.append(float(loss))
            history["loss"].append(float(np.mean(losses)))
            history["train"].append(accuracy(net, X_train, y_train))
            history["test"].append(accuracy(net, X_test, y_test))
            record_epoch(history, epoch, bar, report)
    return net, history


def main(argv=None):
    args = parse_args(argv)
    require_extras()
    from tqdm import tqdm

    import quillet
    from quillet import state

    start = time.perf_counter()
    data = load(args.seed)
    layers = describe(args.batchnorm, args.dropout)
    print(
        f"{len(data[0])} training and {len(data[1])} test images of 8x8 pixels, 10 classes; "
        f"{args.epochs} epochs of batches of {args.batch_size}, Adam with learning rate {args.lr:g} "
        f"(cosine decay), seed {args.seed}{precision(args.dtype)}; {layers}"
    )
    # The network is made, trained, saved, reloaded and measured in one dtype.
    with quillet.default_dtype(args.dtype):
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
                batchnorm=args.batchnorm,
                dropout=args.dropout,
            )
        elapsed = time.perf_counter() - start
        print(net)

        # Keep the weights (and running statistics), and measure what was kept: a
        # fresh network (other random weights) loaded from the file.
        os.makedirs(os.path.dirname(os.path.abspath(args.weights)), exist_ok=True)
        state.save(net, args.weights)
        fresh = build_network(np.random.default_rng(args.seed + 1), args.batchnorm, args.dropout)
        state.load(fresh, args.weights)
        final = accuracy(fresh, data[1], data[3])
    print(f"weights saved to {os.path.abspath(args.weights)}")
    print(
        f"final test accuracy: {final * 100:.1f}% ({len(data[1])} held-out images, chance is 10%; "
        f"of a fresh network loaded from the saved weights); loaded and trained in {elapsed:.1f} s"
    )
    plot(
        history,
        args.plot,
        f"quillet Sequential CNN on 8x8 digits: final test accuracy {history['test'][-1] * 100:.1f}%\n"
        f"{args.epochs} epochs, batch {args.batch_size}, Adam lr {args.lr:g} with cosine decay, "
        f"seed {args.seed}{precision(args.dtype)}; "
        f"{layers}",
    )
    print(f"plot written to {os.path.abspath(args.plot)}")


if __name__ == "__main__":
    main()
