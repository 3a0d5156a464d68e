"""Train a GRU on the 8x8 handwritten digits of scikit-learn, read one row at a time.

Each image is a sequence of 8 time steps of 8 pixels (its rows, top to
bottom).  A GRU with 128 hidden units reads the sequence and a linear layer
classifies its last hidden state.  The script splits the data into training
and test sets, standardises every pixel with the training set's statistics,
trains with Adam, shows a progress bar over the epochs and the loss and
accuracy of each, and writes a plot of the curves (under out/ by default).

Everything random (the split, the weights, the order of the batches) follows
from --seed, so two runs with the same flags print the same numbers.
"""

import os
import sys
import time

import numpy as np

# The helpers the digits examples share live beside them, in _common.py.
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

HIDDEN = 128


def build_parser():
    return _build_parser(
        __doc__, epochs=40, lr=3e-3, lr_help="Adam's learning rate, decayed to 0 along a cosine", plot="sequences.png"
    )


def parse_args(argv=None):
    return build_parser().parse_args(argv)


def load(seed):
    """The split digits as (n, 8 steps, 8 pixels), every pixel standardised."""
    X_train, X_test, y_train, y_test = split_digits(seed)
    mean, scale = X_train.mean(axis=0), X_train.std(axis=0) + 0.1
    return (X_train - mean) / scale, (X_test - mean) / scale, y_train, y_test


class SequenceClassifier:
    """A GRU over the rows, then a linear layer on its last hidden state."""

    def __init__(self, rng):
        from quillet.nn.linear import Linear
        from quillet.nn.rnn import GRU

        self.gru = GRU(8, HIDDEN, batch_first=True)  # weights from np.random, seeded by train()
        self.fc = Linear(HIDDEN, 10, lambda o, i: rng.normal(0.0, np.sqrt(1.0 / i), (o, i)))

    def forward(self, X):
        self.Y, h_n = self.gru.forward(X)  # Y (batch, 8, HIDDEN), h_n (1, batch, HIDDEN)
        return self.fc.forward(h_n[0])

    def backward(self, dLdZ):
        dLdh = self.fc.backward(dLdZ)
        return self.gru.backward(np.zeros(self.Y.shape), dLdh_n=dLdh[None])


def accuracy(model, X, y):
    return float(np.mean(np.argmax(model.forward(X), axis=1) == y))


def train(epochs, batch_size, lr, seed, data=None, bar=None, report=None):
    """Train a fresh model; return it and the per-epoch history."""
    from quillet.nn.loss import CrossEntropyLoss
    from quillet.optim import Adam

    rng = np.random.default_rng(seed)
    np.random.seed(seed)  # the GRU's default weights
    X_train, X_test, y_train, y_test = load(seed) if data is None else data
    Y_train = one_hot(y_train)
    model, criterion = SequenceClassifier(rng), CrossEntropyLoss()
    optimizer = Adam(model, lr=lr)
    history = {"loss": [], "train": [], "test": []}
    for epoch in range(1, epochs + 1):
        optimizer.lr = lr * 0.5 * (1.0 + np.cos(np.pi * (epoch - 1) / epochs))
        order = rng.permutation(len(X_train))
        losses = []
        for begin in range(0, len(order), batch_size):
            batch = order[begin : begin + batch_size]
            optimizer.zero_grad()  # the GRU adds to its gradients
            losses.append(float(criterion(model.forward(X_train[batch]), Y_train[batch])))
            model.backward(criterion.backward())
            optimizer.step()
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
        f"{len(data[0])} training and {len(data[1])} test images read as 8 steps of 8 pixels, 10 classes; "
        f"{args.epochs} epochs of batches of {args.batch_size}, Adam at {args.lr:g} (cosine decay), seed {args.seed}"
        f"{precision(args.dtype)}"
    )
    with quillet.default_dtype(args.dtype), tqdm(total=args.epochs, desc="training", unit="epoch") as bar:
        model, history = train(args.epochs, args.batch_size, args.lr, args.seed, data=data, bar=bar, report=tqdm.write)
    elapsed = time.perf_counter() - start
    print(
        f"final test accuracy: {history['test'][-1] * 100:.1f}% ({len(data[1])} held-out images, "
        f"chance is 10%); loaded and trained in {elapsed:.1f} s"
    )
    plot(
        history,
        args.plot,
        f"quillet GRU on 8x8 digits read row by row: final test accuracy {history['test'][-1] * 100:.1f}%\n"
        f"{args.epochs} epochs, batch {args.batch_size}, Adam lr {args.lr:g} with cosine decay, "
        f"seed {args.seed}{precision(args.dtype)}; "
        f"{HIDDEN} hidden units",
    )
    print(f"plot written to {os.path.abspath(args.plot)}")


if __name__ == "__main__":
    main()
