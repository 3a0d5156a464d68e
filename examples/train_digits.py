"""Train quillet's CNN on the 8x8 handwritten digits that ship with scikit-learn.

Each image is read as a signal of 8 channels (its rows) over a width of 8 (its
columns), so the network's one-dimensional convolutions slide along the
columns.  The script splits the data into training and test sets, trains with
mini-batch gradient descent, shows a progress bar and per-epoch loss and
accuracy, and writes a plot of the curves.
"""
import argparse
import contextlib
import io
import os
import time

import numpy as np


def parse_args():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--epochs", type=int, default=40, help="passes over the training set (default 40)")
    p.add_argument("--batch-size", type=int, default=32, help="mini-batch size (default 32)")
    p.add_argument("--lr", type=float, default=0.05, help="initial learning rate, decayed to 0 (default 0.05)")
    p.add_argument("--seed", type=int, default=0, help="seed for the split, the weights and the batches (default 0)")
    p.add_argument("--plot", default="digits_training.png", help="where to write the PNG plot (default %(default)s)")
    return p.parse_args()


def load(seed):
    from sklearn.datasets import load_digits
    from sklearn.model_selection import train_test_split

    digits = load_digits()
    X = digits.images.astype(np.float64) / 16.0  # (n, 8 rows, 8 columns) in [0, 1]
    y = digits.target
    return train_test_split(X, y, test_size=0.25, random_state=seed, stratify=y)


def one_hot(labels, classes=10):
    out = np.zeros((len(labels), classes))
    out[np.arange(len(labels)), labels] = 1.0
    return out


def build_model(rng, lr):
    from models.cnn import CNN
    from quillet.nn.activation import ReLU
    from quillet.nn.loss import CrossEntropyLoss

    def he_conv(out_channels, in_channels, kernel_size):
        return rng.normal(0.0, np.sqrt(2.0 / (in_channels * kernel_size)), (out_channels, in_channels, kernel_size))

    def he_linear(out_features, in_features):
        return rng.normal(0.0, np.sqrt(1.0 / in_features), (out_features, in_features))

    # The constructor prints each convolution's output width; keep the console
    # for the training report.
    with contextlib.redirect_stdout(io.StringIO()):
        return CNN(input_width=8, num_input_channels=8, num_channels=[32, 32, 32], kernel_sizes=[3, 3, 2],
                   strides=[1, 1, 1], num_linear_neurons=10, activations=[ReLU(), ReLU(), ReLU()],
                   conv_weight_init_fn=he_conv, bias_init_fn=np.zeros, linear_weight_init_fn=he_linear,
                   criterion=CrossEntropyLoss(), lr=lr)


def accuracy(model, X, y):
    return float(np.mean(np.argmax(model.forward(X), axis=1) == y))


def main():
    args = parse_args()
    from tqdm import tqdm

    rng = np.random.default_rng(args.seed)
    X_train, X_test, y_train, y_test = load(args.seed)
    Y_train = one_hot(y_train)
    model = build_model(rng, args.lr)
    print(f"{len(X_train)} training and {len(X_test)} test images of 8x8 pixels, 10 classes")

    history = {"loss": [], "train": [], "test": []}
    start = time.perf_counter()
    for epoch in range(1, args.epochs + 1):
        # Cosine decay: large steps early, small ones to settle at the end.
        model.lr = args.lr * 0.5 * (1.0 + np.cos(np.pi * (epoch - 1) / args.epochs))
        order = rng.permutation(len(X_train))
        losses = []
        model.train()
        bar = tqdm(range(0, len(order), args.batch_size), desc=f"epoch {epoch:2d}/{args.epochs}", leave=False)
        for begin in bar:
            batch = order[begin:begin + args.batch_size]
            model.zero_grads()
            model.forward(X_train[batch])
            model.backward(Y_train[batch])
            model.step()
            losses.append(float(model.loss))
            bar.set_postfix(loss=f"{losses[-1]:.3f}", refresh=False)
        model.eval()
        history["loss"].append(float(np.mean(losses)))
        history["train"].append(accuracy(model, X_train, y_train))
        history["test"].append(accuracy(model, X_test, y_test))
        print(f"epoch {epoch:2d}: loss {history['loss'][-1]:.4f}  train accuracy {history['train'][-1]:.3f}  "
              f"test accuracy {history['test'][-1]:.3f}")
    elapsed = time.perf_counter() - start

    print(f"final test accuracy: {history['test'][-1] * 100:.1f}% ({len(X_test)} held-out images, "
          f"chance is 10%); trained in {elapsed:.1f} s")
    plot(history, args.plot)
    print(f"plot written to {os.path.abspath(args.plot)}")


def plot(history, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    epochs = np.arange(1, len(history["loss"]) + 1)
    fig, (left, right) = plt.subplots(1, 2, figsize=(10, 4))
    left.plot(epochs, history["loss"], marker="o")
    left.set(title="training loss", xlabel="epoch", ylabel="mean cross-entropy")
    right.plot(epochs, history["train"], marker="o", label="train")
    right.plot(epochs, history["test"], marker="o", label="test")
    right.set(title="accuracy", xlabel="epoch", ylabel="fraction correct", ylim=(0, 1.02))
    right.legend()
    fig.tight_layout()
    fig.savefig(path, dpi=100)


if __name__ == "__main__":
    main()
